// The Run Uart Application button and the run command it sends.

#include <QSerialPort>

#include "app/mainwindow.h"
#include "app/texts.h"
#include "platform/platform.h"
#include "protocol/connect_frame.h"
#include "serial/rates.h"
#include "ui_mainwindow.h"

namespace {
constexpr int kRunSettleMs = 60;  // lets the run frame leave before the port closes
// The boot loader hands over to the application and answers nothing.
constexpr ReplyWait kRunSend{0, 0, 0, false, false};
}  // namespace

void MainWindow::on_pushButton_RunApp_clicked()
{
    const int result = run_app_operation();
    emit operation_ended(Operation::RunApp, result);
}

int MainWindow::run_app_operation()
{
    if (!serial->isOpen()) {
        show_error(texts::kPleaseOpenPort);
        return operation_result::kPortClosed;
    }
    discard_input();
    const int result = run_application(kAppStartAddress);
    platform::sleep_ms(kRunSettleMs);
    set_action_buttons_enabled(false);
    close_port_offer_open();
    ui->comboBox_BAUDRATE->setCurrentIndex(kDefaultRateIndex);
    return result;
}

int MainWindow::run_application(uint32_t start_address)
{
    exchange(build_run_request(start_address), kRunSend);
    return run_application_result::kSent;
}
