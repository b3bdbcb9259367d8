// The MCU image buttons: Input File (choose), Update MCU and Check Mcu CRC.

#include "app/dialogs.h"
#include "app/mainwindow.h"
#include "ui_mainwindow.h"

void MainWindow::on_pushButton_InputMCUCode_clicked()
{
    const int result = input_mcu_image_operation();
    emit operation_ended(Operation::InputMcuImage, result);
}

void MainWindow::on_pushButton_UpdateMCU_clicked()
{
    const UpdateReport report = session_.update_mcu(ui->lineEdit_MCU->text(), read_update_options());
    emit operation_ended(Operation::UpdateMcu, report.code);
}

void MainWindow::on_pushButton_CheckMCU_clicked()
{
    const int result = session_.check_mcu();
    emit operation_ended(Operation::CheckMcu, result);
}

int MainWindow::input_mcu_image_operation()
{
    const QString name =
        Dialogs::current().open_file_name(this, tr("Select Mcu Code"), mcu_image_path, tr("file(*.bin)"));
    if (name.isEmpty())
        return operation_result::kCancelled;
    mcu_image_path = name;
    ui->lineEdit_MCU->setText(name);
    return session_.load_mcu_image(name);
}
