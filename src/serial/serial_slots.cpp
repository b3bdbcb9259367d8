// The serial link's buttons: Open Comm and the two BootMode buttons.

#include <QSerialPort>

#include "app/mainwindow.h"
#include "serial/boot_sequences.h"
#include "serial/rates.h"
#include "ui_mainwindow.h"

void MainWindow::on_pushButton_OpenCom_clicked()
{
    wait_ms = read_link_settings().wait_ms;
    if (ui->checkBox_BaudRate->isChecked())
        ui->comboBox_BAUDRATE->setCurrentIndex(kDefaultRateIndex);

    if (serial->isOpen()) {
        set_action_buttons_enabled(false);
        close_port_offer_open();
    } else {
        Open_SerialPort();
    }

    if (reconnect_state == 2) {
        // The boot loader now listens at the New Rate.
        close_port();
        ui->comboBox_BAUDRATE->setCurrentIndex(ui->comboBox_NewRate->currentIndex());
        log_line(QStringLiteral("Reconnected with the new baud rate..."));
        Open_SerialPort();
    }
    reconnect_state = 0;
}

void MainWindow::on_pushButton_Boot_clicked()
{
    send_boot_sequence(bootupdate_sequence());
}

void MainWindow::on_pushButton_BootII_clicked()
{
    send_boot_sequence(bootmode2_sequence());
}
