// The Flash Info and Check Flash CRC buttons.

#include "app/mainwindow.h"
#include "ui_mainwindow.h"

void MainWindow::on_pushButton_FlashInfo_clicked()
{
    ui->pushButton_FlashInfo->setEnabled(false);
    const int result = session_.flash_info();
    ui->pushButton_FlashInfo->setEnabled(true);
    emit operation_ended(Operation::FlashInfo, result);
}

void MainWindow::on_pushButton_CheckFlash_clicked()
{
    const int result = session_.check_flash(ui->checkBox_FileCRC->isChecked());
    emit operation_ended(Operation::CheckFlash, result);
}
