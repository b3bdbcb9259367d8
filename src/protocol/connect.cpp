// The connect handshake and the run command, members of MainWindow.

#include <QSerialPort>

#include "app/mainwindow.h"
#include "platform/platform.h"
#include "protocol/catalogue.h"
#include "protocol/connect_frame.h"
#include "serial/rates.h"
#include "ui_mainwindow.h"

namespace {
constexpr int kConnectPasses = 51;    // 30 ms each, about 1.5 s
constexpr int kConnectSleepMs = 30;
constexpr int kRunSettleMs = 60;  // lets the run frame leave before the port closes
}  // namespace

int MainWindow::connect_device(char mode, uint32_t expected_chip_id)
{
    const int rate = ui->comboBox_BAUDRATE->currentIndex();
    const int new_rate = ui->comboBox_NewRate->currentIndex();
    uint8_t baud_request = kNoBaudChange;
    if (rate == new_rate) {
        reconnect_state = 0;
    } else {
        baud_request = static_cast<uint8_t>(new_rate);
        reconnect_state = 1;
    }
    const QByteArray request =
        build_connect_request(mode, connect_nonce(platform::local_time()), expected_chip_id, baud_request,
                              static_cast<uint32_t>(mcu_image_len), static_cast<uint32_t>(flash_image_len));

    rx_ready = 0;
    rx_wait_enabled = 1;
    serial->clear(QSerialPort::AllDirections);
    rx_len = 0;  // a partial reply in rx_buf is as stale as the bytes just discarded
    write_frame(request);

    if (!wait_for_reply(kConnectPasses, kConnectSleepMs)) {
        show_error(QStringLiteral("Time over!"));
        return -2;
    }
    if (rx_buf[0] != 'K') {
        log_line(QStringLiteral("Connect device,and return error command"));
        return -1;
    }
    const ConnectReply reply = parse_connect_reply(rx_buf);
    rx_wait_enabled = reply.no_wait ? 0 : 1;
    if (reply.signature != reply_signature(request, expected_chip_id))
        return 1;
    write_pacing_us = pacing_for_link_code(reply.link_code, write_pacing_us);
    if (mode != kIdentifyMode)
        return 0;

    boot_version = reply.boot_version;
    vcom_index = reply.vcom ? 1 : 0;
    log_line(QStringLiteral("vcom_index = ") + QString::number(vcom_index));
    log_line(version_label(expected_chip_id) + QString::number(boot_version, 16));
    return 0;
}

int MainWindow::run_application(uint32_t start_address)
{
    rx_ready = 0;
    write_frame(build_run_request(start_address));
    return 0;
}

void MainWindow::on_pushButton_RunApp_clicked()
{
    if (!serial->isOpen()) {
        show_error(QStringLiteral("Please open the port!"));
        return;
    }
    serial->clear(QSerialPort::AllDirections);
    rx_len = 0;
    rx_ready = 0;
    run_application(kAppStartAddress);
    platform::sleep_ms(kRunSettleMs);
    set_action_buttons_enabled(false);
    close_port_offer_open();
    ui->comboBox_BAUDRATE->setCurrentIndex(kDefaultRateIndex);
}
