#include "app/mainwindow.h"

#include <QCoreApplication>
#include <QTimer>

#include "app/dialogs.h"
#include "platform/platform.h"
#include "protocol/catalogue.h"
#include "protocol/config_lines.h"
#include "serial/port_watcher.h"
#include "serial/rates.h"
#include "ui_mainwindow.h"

namespace {

constexpr int kPortListDelayMs = 1000;  // first fill of the port list after start-up

QStringList rate_items()
{
    QStringList items;
    for (int rate : kBaudRates)
        items << QString::number(rate);
    return items;
}

const QStringList kWaitTimes = {"1ms", "2ms", "3ms", "4ms", "5ms", "6ms", "7ms", "8ms"};

}  // namespace

MainWindow::MainWindow(QWidget* parent, std::unique_ptr<PortMap> map, TransportMaker maker)
    : QMainWindow(parent, Qt::WindowFlags()), ui(new Ui_MainWindow), session_(this, std::move(maker)),
      port_map(std::move(map))
{
    ui->setupUi(this);
    // The session never re-enters the event loop by itself: the window's
    // events (removal, Exit, repaint, progress) are served here, between the
    // slices of every wait for the device. The only such call in the program.
    session_.link().set_idle([] { QCoreApplication::processEvents(); });
    setWindowFlags(Qt::Dialog | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setWindowTitle(QStringLiteral("VQ_Uart_GUI_V3.52"));

    ui->comboBox_BAUDRATE->clear();
    ui->comboBox_BAUDRATE->addItems(rate_items());
    ui->comboBox_BAUDRATE->setCurrentIndex(kDefaultRateIndex);
    ui->comboBox_NewRate->clear();
    ui->comboBox_NewRate->addItems(rate_items());
    ui->comboBox_NewRate->setCurrentIndex(kDefaultNewRateIndex);
    ui->comboBox_WaitTime->clear();
    ui->comboBox_WaitTime->addItems(kWaitTimes);
    ui->comboBox_WaitTime->setCurrentIndex(kDefaultWaitIndex);

    ui->label_MCUCRC->setText(QString::asprintf("Mcu code,CRC = 0x%x  Len: %d", 0u, 0));
    ui->label_FlashCRC->setText(
        QString::asprintf("Flash code,CRC = 0x%x  Len: %d", session_.images().flash_crc, session_.images().flash_len));
    ui->progressBar->setValue(0);

    set_action_buttons_enabled(false);
    ui->pushButton_OpenCom->setEnabled(true);

    if (!port_map)
        port_map = PortMap::create_default();
    port_timer = new QTimer(this);
    port_timer->setObjectName(QStringLiteral("port_timer"));
    connect(port_timer, &QTimer::timeout, this, &MainWindow::Timer1_Out_Event);
    // The port chosen, whole, where the box is too narrow for a remote one.
    connect(ui->comboBox_Comm, &QComboBox::currentTextChanged, ui->comboBox_Comm, &QWidget::setToolTip);
    port_timer->start(kPortListDelayMs);
    port_watcher = new PortWatcher(port_map.get(), this);
    connect(port_watcher, &PortWatcher::arrived, this, &MainWindow::port_arrived);
    connect(port_watcher, &PortWatcher::removed, this, &MainWindow::port_removed);

    read_config();
    read_user_settings();
    log_line(QStringLiteral("BL_SET = ") + QString::number(bl_set));
}

MainWindow::~MainWindow()
{
    delete port_watcher;  // it reads port_map, which goes before the children
    port_watcher = nullptr;
    if (config_written_at_exit)
        write_config();
    // A device that went away under the open port reports its error while
    // the port closes; the removal handling it would start is for a window
    // that lives on.
    session_.set_sink(&null_sink_);
    Close_SerialPort();
    port_timer->stop();
    delete port_timer;
    delete ui;
}

void MainWindow::set_action_buttons_enabled(bool on)
{
    set_open_button_enabled(on);
    ui->pushButton_UpdateMCU->setEnabled(on);
    ui->pushButton_CheckMCU->setEnabled(on);
    ui->pushButton_UpdateFlash->setEnabled(on);
    ui->pushButton_FlashInfo->setEnabled(on);
    ui->pushButton_CheckFlash->setEnabled(on);
    // An application kept in the external flash is not started from here.
    ui->pushButton_RunApp->setEnabled(chip_model(session_.chip().chip_id).app == AppStore::ExternalFlash ? false : on);
}

void MainWindow::log_line(const QString& text)
{
    ui->textEdit->append(text);
    emit logged(text);
}

void MainWindow::show_error(const QString& text)
{
    Dialogs::current().critical(this, tr("Message"), text);
}

void MainWindow::error_box(const QString& title, const QString& text)
{
    Dialogs::current().critical(this, title, text);
}

void MainWindow::notice_box(const QString& title, const QString& text)
{
    Dialogs::current().information(nullptr, title, text);
}

void MainWindow::clear_log()
{
    ui->textEdit->clear();
}

void MainWindow::progress(int percent)
{
    ui->progressBar->setValue(percent);
}

void MainWindow::chip_identified(uint32_t, const QString& model_name)
{
    ui->lineEdit_McuType->setText(model_name);
}

void MainWindow::flash_fields(const QString& id, const QString& size, const QString& name)
{
    ui->lineEdit_FlashID->setText(id);
    ui->lineEdit_FlashSize->setText(size);
    ui->lineEdit_FlashName->setText(name);
}

void MainWindow::mcu_label(const QString& text)
{
    ui->label_MCUCRC->setText(text);
}

void MainWindow::flash_label(const QString& text)
{
    ui->label_FlashCRC->setText(text);
}

void MainWindow::actions_enabled(bool on)
{
    set_action_buttons_enabled(on);
}

LinkSettings MainWindow::read_link_settings() const
{
    return LinkSettings{ui->comboBox_BAUDRATE->currentIndex(), ui->comboBox_NewRate->currentIndex(),
                        wait_ms_for_index(ui->comboBox_WaitTime->currentIndex())};
}

UpdateOptions MainWindow::read_update_options() const
{
    UpdateOptions options;
    options.link = read_link_settings();
    options.send_file_crc = ui->checkBox_FileCRC->isChecked();
    options.skip_unchanged = ui->checkBox_SkipUnchanged->isChecked();
    return options;
}
