// The Run Uart Application button.

#include "app/mainwindow.h"
#include "platform/platform.h"
#include "protocol/connect_frame.h"
#include "serial/rates.h"
#include "ui_mainwindow.h"

namespace {
constexpr int kRunSettleMs = 60;  // lets the run frame leave before the port closes
}  // namespace

void MainWindow::on_pushButton_RunApp_clicked()
{
    const int result = run_app_operation();
    emit operation_ended(Operation::RunApp, result);
}

int MainWindow::run_app_operation()
{
    if (session_.refuse_closed_port())
        return operation_result::kPortClosed;
    session_.discard_input();
    const int result = session_.run_application(kAppStartAddress);
    platform::sleep_ms(kRunSettleMs);
    set_action_buttons_enabled(false);
    close_port_offer_open();
    ui->comboBox_BAUDRATE->setCurrentIndex(kDefaultRateIndex);
    return result;
}
