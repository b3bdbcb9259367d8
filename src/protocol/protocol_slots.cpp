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
    if (!serial->isOpen()) {
        show_error(texts::kPleaseOpenPort);
        return;
    }
    discard_input();
    run_application(kAppStartAddress);
    platform::sleep_ms(kRunSettleMs);
    set_action_buttons_enabled(false);
    close_port_offer_open();
    ui->comboBox_BAUDRATE->setCurrentIndex(kDefaultRateIndex);
}

int MainWindow::run_application(uint32_t start_address)
{
    exchange(build_run_request(start_address), kRunSend);
    return run_application_result::kSent;
}
