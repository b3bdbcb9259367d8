// The Run Uart Application button.

#include "app/mainwindow.h"
#include "serial/rates.h"
#include "ui_mainwindow.h"

void MainWindow::on_pushButton_RunApp_clicked()
{
    const int result = run_app_operation();
    emit operation_ended(Operation::RunApp, result);
}

int MainWindow::run_app_operation()
{
    const int result = session_.start_application();
    if (result == operation_result::kPortClosed)
        return result;
    set_action_buttons_enabled(false);
    close_port_offer_open();
    ui->comboBox_BAUDRATE->setCurrentIndex(kDefaultRateIndex);
    return result;
}
