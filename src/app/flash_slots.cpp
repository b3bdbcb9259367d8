// The Flash Info and Check Flash CRC buttons.

#include "app/mainwindow.h"
#include "ui_mainwindow.h"

namespace {
constexpr int kFlashInfoRetryPauseMs = 50;  // between Flash Info's two attempts
}  // namespace

void MainWindow::on_pushButton_FlashInfo_clicked()
{
    session_.discard_input();
    ui->pushButton_FlashInfo->setEnabled(false);
    const int result = session_.identify_flash(kFlashInfoRetryPauseMs);
    ui->pushButton_FlashInfo->setEnabled(true);
    emit operation_ended(Operation::FlashInfo, result);
}

void MainWindow::on_pushButton_CheckFlash_clicked()
{
    const int result = session_.check_flash(ui->checkBox_FileCRC->isChecked());
    emit operation_ended(Operation::CheckFlash, result);
}
