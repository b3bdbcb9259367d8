#include "board_run.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextEdit>

#include "app/mainwindow.h"
#include "console.h"
#include "serial/port_map.h"

namespace {

// The window's own verdict lines.
const QString kUpdateMcuOk = QStringLiteral("Update MCU is OK!!!!!!");
const QString kUpdateMcuFail = QStringLiteral("Update MCU is fail.....");
const QString kUpdateFlashOk = QStringLiteral("Update flash is OK!!!!!!");
const QString kUpdateFlashFail = QStringLiteral("Update flash is fail.....");
const QString kDiffUpdateOk = QStringLiteral("Diff Update flash is OK!!!!!!");
const QString kDiffUpdateFail = QStringLiteral("Diff Update flash is fail.....");
const QString kCheckMcuOk = QStringLiteral("Check MCU CRC is OK...");
const QString kCheckFlashPass = QStringLiteral("Check flash CRC pass.");
const QString kCloseComm = QStringLiteral("Close Comm");
const QString kUnknownChip = QStringLiteral("unknown");
const QString kRemovePrefix = QStringLiteral("Remove ");
constexpr int kRemovalGraceMs = 100;  // for the window to hear of a hang-up after a failure

qint64 file_size(const QString& path)
{
    return path.isEmpty() ? 0 : QFileInfo(path).size();
}

}  // namespace

// Boxes become "error:" lines and are answered as OK would answer them; a
// file dialog is answered with the file named on the command line.
class BoardRun::ConsoleDialogs : public Dialogs {
public:
    explicit ConsoleDialogs(BoardRun& run) : run_(run) {}
    void critical(QWidget*, const QString&, const QString& text) override { box(text); }
    void information(QWidget*, const QString&, const QString& text) override { box(text); }
    QString open_file_name(QWidget*, const QString&, const QString&, const QString&) override
    {
        QString answer;
        answer.swap(file_answer);
        return answer;
    }

    QString file_answer;

private:
    void box(const QString& text)
    {
        ++run_.box_count_;
        run_.console_.error(text);
    }
    BoardRun& run_;
};

BoardRun::BoardRun(const Options& options, Console& console)
    : options_(options), console_(console), dialogs_(std::make_unique<ConsoleDialogs>(*this))
{
    Dialogs::install(dialogs_.get());
}

BoardRun::~BoardRun()
{
    window_.reset();
    Dialogs::install(nullptr);
}

int BoardRun::run()
{
    window_ = std::make_unique<MainWindow>();
    window_->set_config_written_at_exit(false);
    // What the window logged while it started (config.ini) comes first.
    const QString startup = window_->findChild<QTextEdit*>(QStringLiteral("textEdit"))->toPlainText();
    if (!startup.isEmpty()) {
        for (const QString& line : startup.split(QLatin1Char('\n')))
            console_.log(line);
    }
    connect(window_.get(), &MainWindow::logged, this, [this](const QString& text) {
        action_log_ << text;
        if (!port_.isEmpty() && text == kRemovePrefix + port_)
            device_gone_ = true;
        console_.log(text);
    });
    connect(window_.get(), &MainWindow::progress_changed, this, [this](int percent) { console_.progress(percent); });

    if (!prepare())
        return kExitUsage;

    int code = kExitOk;
    for (int i = 0; i < options_.actions.size() && code == kExitOk; ++i) {
        const Action& action = options_.actions[i];
        const bool needs_session = action.name != QLatin1String("identify") && action.name != QLatin1String("bootmode");
        if (needs_session && !port_open() && !run_action(Action{QStringLiteral("identify"), QString()}))
            code = kExitFailed;
        else if (!run_action(action))
            code = kExitFailed;
        if (code != kExitOk && device_gone_)
            code = kExitDeviceGone;
    }
    // The window's own Close Comm: the port is never left open.
    if (port_open())
        press("on_pushButton_OpenCom_clicked");
    return code;
}

bool BoardRun::prepare()
{
    if (!options_.flash_ini.isEmpty()) {
        // The window reads Flash.ini from the working directory at every
        // identification: give it a directory of its own holding a copy.
        catalogue_dir_ = std::make_unique<QTemporaryDir>();
        if (!catalogue_dir_->isValid() ||
            !QFile::copy(options_.flash_ini, catalogue_dir_->filePath(QStringLiteral("Flash.ini"))) ||
            !QDir::setCurrent(catalogue_dir_->path())) {
            console_.error(QStringLiteral("cannot use the flash catalogue %1").arg(options_.flash_ini));
            return false;
        }
    }
    if (console_.log_file_failed()) {
        console_.error(QStringLiteral("cannot append to %1").arg(options_.log_file));
        return false;
    }
    if (options_.baud_index >= 0)
        window_->findChild<QComboBox*>(QStringLiteral("comboBox_BAUDRATE"))->setCurrentIndex(options_.baud_index);
    if (options_.new_rate_index >= 0)
        window_->findChild<QComboBox*>(QStringLiteral("comboBox_NewRate"))->setCurrentIndex(options_.new_rate_index);
    if (options_.wait_ms > 0)
        window_->findChild<QComboBox*>(QStringLiteral("comboBox_WaitTime"))->setCurrentIndex(options_.wait_ms - 1);
    window_->findChild<QCheckBox*>(QStringLiteral("checkBox_FileCRC"))->setChecked(options_.file_crc);

    // The port list the window fills a second after start, filled now.
    press("Timer1_Out_Event");
    QComboBox* ports = window_->findChild<QComboBox*>(QStringLiteral("comboBox_Comm"));
    port_ = options_.ports.isEmpty() ? ports->currentText().trimmed() : options_.ports.first();
    if (port_.isEmpty()) {
        console_.error(QStringLiteral("no serial port found; name one with --port"));
        return false;
    }
    return select_port();
}

// The window refills its list when ports come and go while its own is
// closed; the board's port is chosen again before every action.
bool BoardRun::select_port()
{
    QComboBox* ports = window_->findChild<QComboBox*>(QStringLiteral("comboBox_Comm"));
    int index = ports->findText(port_);
    if (index < 0) {
        // A pty not published by a simulator is not listed; it is still a port.
        ports->addItem(port_);
        index = ports->count() - 1;
    }
    ports->setCurrentIndex(index);
    return true;
}

bool BoardRun::port_open() const
{
    const QPushButton* open = window_->findChild<QPushButton*>(QStringLiteral("pushButton_OpenCom"));
    return open->text() == kCloseComm;
}

void BoardRun::press(const char* slot)
{
    QMetaObject::invokeMethod(window_.get(), slot, Qt::DirectConnection);
}

bool BoardRun::saw(const QStringList& lines) const
{
    for (const QString& line : lines) {
        if (action_log_.contains(line))
            return true;
    }
    return false;
}

void BoardRun::set_line_edit(const char* name, const QString& text)
{
    window_->findChild<QLineEdit*>(QString::fromLatin1(name))->setText(text);
}

bool BoardRun::run_action(const Action& action)
{
    action_log_.clear();
    box_count_ = 0;
    const bool takes_image = action.name != QLatin1String("bootmode");
    console_.action_started(action.name, takes_image ? file_size(action.arg) : 0);
    QElapsedTimer clock;
    clock.start();
    if (!port_open())
        select_port();

    bool ok = false;
    if (action.name == QLatin1String("identify"))
        ok = identify();
    else if (action.name == QLatin1String("flash-info"))
        ok = flash_info();
    else if (action.name == QLatin1String("update-mcu"))
        ok = update_mcu(action.arg);
    else if (action.name == QLatin1String("check-mcu"))
        ok = check_mcu(action.arg);
    else if (action.name == QLatin1String("update-flash"))
        ok = update_flash(action.arg);
    else if (action.name == QLatin1String("check-flash"))
        ok = check_flash(action.arg);
    else if (action.name == QLatin1String("run"))
        ok = run_application();
    else if (action.name == QLatin1String("bootmode"))
        ok = boot_mode(action.arg);
    if (!ok)
        notice_removal();
    ok = ok && !device_gone_;

    const QString chip = window_->findChild<QLineEdit*>(QStringLiteral("lineEdit_McuType"))->text();
    console_.result(action.name, ok, clock.elapsed() / 1000.0, chip);
    return ok;
}

// A hang-up can still be on its way when a procedure has ended on a time-out;
// a port whose device node is gone was removed even if the window never saw it.
void BoardRun::notice_removal()
{
    QElapsedTimer clock;
    clock.start();
    while (!device_gone_ && clock.elapsed() < kRemovalGraceMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, kRemovalGraceMs);
    if (port_.startsWith(QLatin1String("/dev/")) && !QFileInfo::exists(port_))
        device_gone_ = true;
}

bool BoardRun::identify()
{
    if (port_open())
        return true;
    press("on_pushButton_OpenCom_clicked");
    const QString chip = window_->findChild<QLineEdit*>(QStringLiteral("lineEdit_McuType"))->text();
    if (!port_open())
        return false;
    if (chip.isEmpty() || chip == kUnknownChip) {
        // The window keeps the port open for its operator; a script has none.
        press("on_pushButton_OpenCom_clicked");
        console_.note(QStringLiteral("no chip identified on %1").arg(port_));
        return false;
    }
    console_.note(QStringLiteral("chip %1 on %2").arg(chip, port_));
    return true;
}

bool BoardRun::flash_info()
{
    press("on_pushButton_FlashInfo_clicked");
    const QString id = window_->findChild<QLineEdit*>(QStringLiteral("lineEdit_FlashID"))->text();
    const QString size = window_->findChild<QLineEdit*>(QStringLiteral("lineEdit_FlashSize"))->text();
    const QString name = window_->findChild<QLineEdit*>(QStringLiteral("lineEdit_FlashName"))->text();
    console_.note(QStringLiteral("flash ID %1, size %2, name %3").arg(id, size, name.isEmpty() ? "-" : name));
    // An ID missing from Flash.ini leaves the name empty: not identified.
    return box_count_ == 0 && !name.isEmpty() && size != QLatin1String("0");
}

bool BoardRun::update_mcu(const QString& file)
{
    set_line_edit("lineEdit_MCU", file);
    press("on_pushButton_UpdateMCU_clicked");
    // The UART0 variant keeps its application in the external flash.
    return saw({kUpdateMcuOk, kUpdateFlashOk}) && !saw({kUpdateMcuFail, kUpdateFlashFail});
}

bool BoardRun::check_mcu(const QString& file)
{
    if (!file.isEmpty()) {
        dialogs_->file_answer = file;
        press("on_pushButton_InputMCUCode_clicked");
        if (box_count_ > 0)
            return false;
    }
    press("on_pushButton_CheckMCU_clicked");
    return saw({kCheckMcuOk});
}

bool BoardRun::update_flash(const QString& file)
{
    set_line_edit("lineEdit_Flash", file);
    press("on_pushButton_UpdateFlash_clicked");
    return saw({kUpdateFlashOk, kDiffUpdateOk}) && !saw({kUpdateFlashFail, kDiffUpdateFail});
}

bool BoardRun::check_flash(const QString& file)
{
    if (!file.isEmpty()) {
        dialogs_->file_answer = file;
        press("on_pushButton_InputFlashCode_clicked");
        if (box_count_ > 0)
            return false;
    }
    press("on_pushButton_CheckFlash_clicked");
    return saw({kCheckFlashPass});
}

bool BoardRun::run_application()
{
    press("on_pushButton_RunApp_clicked");
    // Nothing comes back from a started application: a box is the only failure.
    return box_count_ == 0;
}

bool BoardRun::boot_mode(const QString& which)
{
    press(which == QLatin1String("1") ? "on_pushButton_Boot_clicked" : "on_pushButton_BootII_clicked");
    return box_count_ == 0;
}
