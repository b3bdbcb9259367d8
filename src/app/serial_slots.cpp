// The serial link's buttons: Open Comm and the two BootMode buttons, and
// what the window does around the session's port.

#include "app/mainwindow.h"
#include "protocol/texts.h"
#include "serial/boot_sequences.h"
#include "serial/rates.h"
#include "ui_mainwindow.h"

void MainWindow::on_pushButton_OpenCom_clicked()
{
    const Operation operation = session_.port_open() ? Operation::ClosePort : Operation::OpenPort;
    const int result = open_or_close_operation();
    emit operation_ended(operation, result);
}

int MainWindow::open_or_close_operation()
{
    int result = operation_result::kOk;
    session_.link().reply().set_wait_ms(read_link_settings().wait_ms);
    if (ui->checkBox_BaudRate->isChecked())
        ui->comboBox_BAUDRATE->setCurrentIndex(kDefaultRateIndex);

    if (session_.port_open()) {
        set_action_buttons_enabled(false);
        close_port_offer_open();
        session_.clear_reconnect_state();
    } else {
        result = Open_SerialPort();
    }
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

int MainWindow::Open_SerialPort()
{
    // The handshake pumps events while it waits: another press of Open or
    // BootMode would close the port under it. Those buttons stay off until
    // it ends; whatever the Open button was set to meanwhile is applied then.
    class Steps : public OpenSteps {
    public:
        explicit Steps(MainWindow& w) : w_(w) {}
        void port_opened() override
        {
            w_.ui->pushButton_OpenCom->setText(texts::kCloseComm);
            boot_enabled_ = w_.ui->pushButton_Boot->isEnabled();
            boot2_enabled_ = w_.ui->pushButton_BootII->isEnabled();
            w_.open_button_wanted = w_.ui->pushButton_OpenCom->isEnabled();
            w_.identifying = true;
            w_.ui->pushButton_OpenCom->setEnabled(false);
            w_.ui->pushButton_Boot->setEnabled(false);
            w_.ui->pushButton_BootII->setEnabled(false);
        }
        void chip_asked() override
        {
            w_.identifying = false;
            w_.ui->pushButton_OpenCom->setEnabled(w_.open_button_wanted);
            w_.ui->pushButton_Boot->setEnabled(boot_enabled_);
            w_.ui->pushButton_BootII->setEnabled(boot2_enabled_);
        }
        void rate_moved(int rate_index) override { w_.ui->comboBox_BAUDRATE->setCurrentIndex(rate_index); }

    private:
        MainWindow& w_;
        bool boot_enabled_ = false;
        bool boot2_enabled_ = false;
    } steps(*this);
    LinkSettings link = read_link_settings();
    return session_.open_and_identify(ui->comboBox_Comm->currentText(), &link, &steps);
}

void MainWindow::Close_SerialPort()
{
    if (!session_.port_open())
        return;
    session_.close_port();
    ui->pushButton_OpenCom->setText(texts::kOpenComm);
}

void MainWindow::close_port_offer_open()
{
    session_.close_port();
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
    session_.link().reply().set_wait_ms(read_link_settings().wait_ms);
    if (session_.port_open())
        close_port_offer_open();
    const int result =
        session_.send_boot_sequence(ui->comboBox_Comm->currentText(), ui->comboBox_BAUDRATE->currentIndex(), sequence);
    if (result == operation_result::kOk && session_.port_open())
        close_port_offer_open();
    return result;
}
