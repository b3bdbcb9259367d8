#include "app/window_driver.h"

#include "app/dialogs.h"
#include "app/mainwindow.h"
#include "ui_mainwindow.h"

namespace {

// An Input File button's dialog answered with the path the front end set,
// as an operator picks it; boxes go on to whatever shows them otherwise.
class FileDialogAnswer : public Dialogs {
public:
    explicit FileDialogAnswer(const QString& path) : outer_(Dialogs::current()), path_(path)
    {
        Dialogs::install(this);
    }
    ~FileDialogAnswer() override { Dialogs::install(&outer_); }

    void critical(QWidget* parent, const QString& title, const QString& text) override
    {
        outer_.critical(parent, title, text);
    }
    void information(QWidget* parent, const QString& title, const QString& text) override
    {
        outer_.information(parent, title, text);
    }
    QString open_file_name(QWidget*, const QString&, const QString&, const QString&) override { return path_; }

private:
    Dialogs& outer_;
    QString path_;
};

}  // namespace

void WindowDriver::refresh_ports()
{
    w_.Timer1_Out_Event();
}

QString WindowDriver::selected_port() const
{
    return w_.ui->comboBox_Comm->currentText().trimmed();
}

void WindowDriver::set_port(const QString& name)
{
    QComboBox* ports = w_.ui->comboBox_Comm;
    int index = ports->findText(name);
    if (index < 0) {
        ports->addItem(name);
        index = ports->count() - 1;
    }
    ports->setCurrentIndex(index);
}

void WindowDriver::set_rate_index(int index)
{
    w_.ui->comboBox_BAUDRATE->setCurrentIndex(index);
}

void WindowDriver::set_new_rate_index(int index)
{
    w_.ui->comboBox_NewRate->setCurrentIndex(index);
}

void WindowDriver::set_wait_ms(int ms)
{
    w_.ui->comboBox_WaitTime->setCurrentIndex(ms - 1);
    w_.on_comboBox_WaitTime_activated(w_.ui->comboBox_WaitTime->currentText());
}

void WindowDriver::set_file_crc(bool on)
{
    w_.ui->checkBox_FileCRC->setChecked(on);
}

void WindowDriver::set_mcu_image(const QString& path)
{
    w_.ui->lineEdit_MCU->setText(path);
}

void WindowDriver::set_flash_image(const QString& path)
{
    w_.ui->lineEdit_Flash->setText(path);
}

void WindowDriver::start(Operation operation)
{
    switch (operation) {
    case Operation::OpenPort:
    case Operation::ClosePort:
        if (port_open() == (operation == Operation::OpenPort))
            emit w_.operation_ended(operation, operation_result::kNothingToDo);
        else
            w_.on_pushButton_OpenCom_clicked();
        break;
    case Operation::BootMode1:
        w_.on_pushButton_Boot_clicked();
        break;
    case Operation::BootMode2:
        w_.on_pushButton_BootII_clicked();
        break;
    case Operation::InputMcuImage: {
        const FileDialogAnswer answer(w_.ui->lineEdit_MCU->text());
        w_.on_pushButton_InputMCUCode_clicked();
        break;
    }
    case Operation::UpdateMcu:
        last_update_ = w_.session_.update_mcu(w_.ui->lineEdit_MCU->text(), update_options());
        emit w_.operation_ended(operation, last_update_.code);
        break;
    case Operation::CheckMcu:
        w_.on_pushButton_CheckMCU_clicked();
        break;
    case Operation::InputFlashImage: {
        const FileDialogAnswer answer(w_.ui->lineEdit_Flash->text());
        w_.on_pushButton_InputFlashCode_clicked();
        break;
    }
    case Operation::UpdateFlash:
        last_update_ = w_.update_flash_operation(update_options());
        emit w_.operation_ended(operation, last_update_.code);
        break;
    case Operation::FlashInfo:
        w_.on_pushButton_FlashInfo_clicked();
        break;
    case Operation::CheckFlash:
        w_.on_pushButton_CheckFlash_clicked();
        break;
    case Operation::RunApp:
        w_.on_pushButton_RunApp_clicked();
        break;
    }
}

UpdateOptions WindowDriver::update_options() const
{
    UpdateOptions options = w_.read_update_options();
    options.skip_unchanged = skip_unchanged_;
    options.max_timed_out_blocks = max_timed_out_blocks_;
    return options;
}

void WindowDriver::request_stop()
{
    w_.session_.request_stop();
}

void WindowDriver::close_port_now()
{
    w_.session_.close_port();
}

bool WindowDriver::port_open() const
{
    return w_.session_.port_open();
}

uint32_t WindowDriver::chip_id() const
{
    return w_.session_.chip_id();
}

QString WindowDriver::chip_model() const
{
    return w_.ui->lineEdit_McuType->text();
}

uint32_t WindowDriver::boot_version() const
{
    return w_.session_.boot_version_now();
}

uint32_t WindowDriver::flash_id() const
{
    return w_.session_.flash_id_now();
}

int WindowDriver::flash_size() const
{
    return w_.session_.flash_size_now();
}

QString WindowDriver::flash_name() const
{
    return w_.session_.flash_name_now();
}

bool WindowDriver::device_removed() const
{
    return w_.session_.device_removed();
}

QStringList WindowDriver::log_lines() const
{
    const QString text = w_.ui->textEdit->toPlainText();
    return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}
