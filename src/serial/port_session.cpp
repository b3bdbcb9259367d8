// Opening, identifying, closing and the BootMode buttons, members of MainWindow.

#include <QSerialPort>

#ifdef Q_OS_LINUX
#include <linux/serial.h>
#include <sys/ioctl.h>
#endif

#include "app/dialogs.h"
#include "app/mainwindow.h"
#include "app/texts.h"
#include "platform/platform.h"
#include "protocol/catalogue.h"
#include "protocol/connect_frame.h"
#include "serial/port_advice.h"
#include "serial/rates.h"
#include "ui_mainwindow.h"

namespace {
constexpr int kBootSettleMs = 100;  // lets the sequence leave before the port closes

// A USB serial adapter holds a short reply for its latency timer (several
// milliseconds a block) unless its driver is asked to hand bytes over at
// once. Drivers that do not know the request, a pseudo-terminal among
// them, are left as they are; on Windows the adapter's own setting rules.
void request_low_latency(QSerialPort& port)
{
#ifdef Q_OS_LINUX
    serial_struct settings{};
    if (::ioctl(port.handle(), TIOCGSERIAL, &settings) == 0) {
        settings.flags |= ASYNC_LOW_LATENCY;
        ::ioctl(port.handle(), TIOCSSERIAL, &settings);
    }
#else
    Q_UNUSED(port)
#endif
}
}  // namespace

bool MainWindow::open_port_at_selected_rate()
{
    port_name = ui->comboBox_Comm->currentText();
    serial->setPortName(port_name);
    serial->setBaudRate(baud_rate_for_index(ui->comboBox_BAUDRATE->currentIndex()), QSerialPort::AllDirections);
    serial->setDataBits(QSerialPort::Data8);
    serial->setParity(QSerialPort::NoParity);
    serial->setStopBits(QSerialPort::OneStop);
    serial->setFlowControl(QSerialPort::NoFlowControl);
    // A port another program has locked is not opened even where the open
    // would pass: two programs on one line garble each other's frames.
    if (port_lock_holder(port_name) || !serial->open(QIODevice::ReadWrite)) {
        Dialogs::current().information(nullptr, QStringLiteral("Title"), QStringLiteral("Open fail"));
        const QString advice = port_open_advice(gather_port_facts(port_name));
        if (!advice.isEmpty())
            log_line(advice);
        return false;
    }
    request_low_latency(*serial);
    connect(serial, &QSerialPort::readyRead, this, &MainWindow::serial_receiveData, Qt::DirectConnection);
    connect(serial, &QSerialPort::errorOccurred, this, &MainWindow::serial_error, Qt::DirectConnection);
    session_port_removed = false;
    // A new session starts with an empty reply buffer: a partial reply of
    // the last one would be put in front of the first reply of this one.
    rx_len = 0;
    rx_ready = 0;
    return true;
}

void MainWindow::close_port()
{
    discard_input();
    serial->close();
}

int MainWindow::identify_chip(const LinkSettings& link)
{
    for (int i = 0; i < kChipModelCount; ++i) {
        const int result = connect_device(kIdentifyMode, kChipModels[i].chip_id, link);
        if (result < 0)
            return identify_chip_result::kNotIdentified;
        if (result == connect_result::kOk) {
            chip_id = kChipModels[i].chip_id;
            ui->lineEdit_McuType->setText(model_name(i));
            set_action_buttons_enabled(true);
            if (reconnect_state == 1)
                reconnect_state = 2;
            return identify_chip_result::kOk;
        }
    }
    return identify_chip_result::kNotIdentified;
}

int MainWindow::Open_SerialPort()
{
    if (serial->isOpen())
        close_port();
    // A fresh port object each time, so readyRead is never connected twice.
    // The old one may be inside its own signal emission (this can run from
    // the event pumping of the receive slot), so it goes later, not now.
    serial->disconnect(this);
    serial->deleteLater();
    serial = new QSerialPort;

    if (!open_port_at_selected_rate())
        return operation_result::kOpenFailed;
    ui->pushButton_OpenCom->setText(texts::kCloseComm);

    chip_id = 0;
    // The handshake pumps events while it waits: another press of Open or
    // BootMode would close the port under it. Those buttons stay off until
    // it ends; whatever the Open button was set to meanwhile is applied then.
    const bool boot_enabled = ui->pushButton_Boot->isEnabled();
    const bool boot2_enabled = ui->pushButton_BootII->isEnabled();
    open_button_wanted = ui->pushButton_OpenCom->isEnabled();
    identifying = true;
    ui->pushButton_OpenCom->setEnabled(false);
    ui->pushButton_Boot->setEnabled(false);
    ui->pushButton_BootII->setEnabled(false);
    const int identified = identify_chip(read_link_settings());
    identifying = false;
    ui->pushButton_OpenCom->setEnabled(open_button_wanted);
    ui->pushButton_Boot->setEnabled(boot_enabled);
    ui->pushButton_BootII->setEnabled(boot2_enabled);
    if (identified != identify_chip_result::kOk) {
        chip_id = kUnknownChipId;
        ui->lineEdit_McuType->setText(QStringLiteral("unknown"));
    }
    // A device removed during identification stays down.
    if (serial->isOpen())
        link_down = 0;
    return identified == 0 ? operation_result::kOk : operation_result::kNoChip;
}

void MainWindow::Close_SerialPort()
{
    if (!serial || !serial->isOpen())
        return;
    close_port();
    ui->pushButton_OpenCom->setText(texts::kOpenComm);
}

void MainWindow::close_port_offer_open()
{
    close_port();
    ui->pushButton_OpenCom->setText(texts::kOpenComm);
    set_open_button_enabled(true);
}

void MainWindow::set_open_button_enabled(bool on)
{
    if (identifying)
        open_button_wanted = on;
    else
        ui->pushButton_OpenCom->setEnabled(on);
}

int MainWindow::send_boot_sequence(const QByteArray& sequence)
{
    wait_ms = read_link_settings().wait_ms;
    if (serial->isOpen())
        close_port_offer_open();
    // Reuses the port object: its readyRead is connected again below, so
    // drop the connections of the last open first.
    serial->disconnect(this);
    if (!open_port_at_selected_rate())
        return operation_result::kOpenFailed;
    discard_input();
    rx_wait_enabled = 1;
    write_frame(sequence);
    platform::sleep_ms(kBootSettleMs);

    if (serial->isOpen())
        close_port_offer_open();
    return operation_result::kOk;
}
