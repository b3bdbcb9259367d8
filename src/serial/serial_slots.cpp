// The serial link's buttons: Open Comm and the two BootMode buttons.

#include <QSerialPort>

#include "app/mainwindow.h"
#include "serial/boot_sequences.h"
#include "serial/rates.h"
#include "ui_mainwindow.h"

void MainWindow::on_pushButton_OpenCom_clicked()
{
    const Operation operation = serial->isOpen() ? Operation::ClosePort : Operation::OpenPort;
    const int result = open_or_close_operation();
    emit operation_ended(operation, result);
}

int MainWindow::open_or_close_operation()
{
    int result = operation_result::kOk;
    wait_ms = read_link_settings().wait_ms;
    if (ui->checkBox_BaudRate->isChecked())
        ui->comboBox_BAUDRATE->setCurrentIndex(kDefaultRateIndex);

    if (serial->isOpen()) {
        set_action_buttons_enabled(false);
        close_port_offer_open();
    } else {
        result = Open_SerialPort();
    }

    if (reconnect_state == 2) {
        // The boot loader now listens at the New Rate.
        close_port();
        ui->comboBox_BAUDRATE->setCurrentIndex(ui->comboBox_NewRate->currentIndex());
        log_line(QStringLiteral("Reconnected with the new baud rate..."));
        result = Open_SerialPort();
    }
    reconnect_state = 0;
    return result;
}

void MainWindow::on_pushButton_Boot_clicked()
{
    const int result = send_boot_sequence(bootupdate_sequence());
    emit operation_ended(Operation::BootMode1, result);
}

void MainWindow::on_pushButton_BootII_clicked()
{
    const int result = send_boot_sequence(bootmode2_sequence());
    emit operation_ended(Operation::BootMode2, result);
}
