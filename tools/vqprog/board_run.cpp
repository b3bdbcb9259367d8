#include "board_run.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

#include "app/mainwindow.h"
#include "app/window_driver.h"
#include "console.h"
#include "signal_watch.h"
#include "flash/flash_frames.h"
#include "production.h"
#include "protocol/hex_text.h"

namespace {

constexpr int kRemovalGraceMs = 100;  // for the window to hear of a hang-up after a failure
// A flash update stops within a block of a signal; the MCU update's waits run
// to their end whatever the stop flag says, so one is not waited for longer.
constexpr int kStopGraceMs = 3000;

void say_interrupted(int signal_number)
{
    const QString line = QStringLiteral("vqprog: interrupted by %1; port closed\n").arg(SignalWatch::name(signal_number));
    std::fflush(stdout);
    std::fputs(qPrintable(line), stderr);
}

qint64 file_size(const QString& path)
{
    return path.isEmpty() ? 0 : QFileInfo(path).size();
}

}  // namespace

// Boxes become "error:" lines and are answered as OK would answer them.
class BoardRun::ConsoleDialogs : public Dialogs {
public:
    explicit ConsoleDialogs(Console& console) : console_(console) {}
    void critical(QWidget*, const QString&, const QString& text) override { console_.error(text); }
    void information(QWidget*, const QString&, const QString& text) override { console_.error(text); }

private:
    Console& console_;
};

BoardRun::BoardRun(const Options& options, Console& console, SignalWatch& watch)
    : options_(options), console_(console), watch_(watch), dialogs_(std::make_unique<ConsoleDialogs>(console))
{
    Dialogs::install(dialogs_.get());
}

BoardRun::~BoardRun()
{
    production_.reset();
    driver_.reset();
    window_.reset();
    Dialogs::install(nullptr);
}

int BoardRun::run()
{
    // A script's settings are its options: whatever a window left in
    // config.ini of this folder plays no part, and the file stays as it is.
    window_ = std::make_unique<MainWindow>(nullptr, nullptr, MainWindow::ConfigFile::Ignored);
    driver_ = std::make_unique<WindowDriver>(*window_);
    // What the window logged while it started comes first.
    for (const QString& line : driver_->log_lines())
        console_.log(line);
    connect(window_.get(), &MainWindow::logged, this, [this](const QString& text) { console_.log(text); });
    connect(window_.get(), &MainWindow::progress_changed, this, [this](int percent) { console_.progress(percent); });
    connect(window_.get(), &MainWindow::operation_ended, this, [this](Operation, int result) { result_ = result; });
    connect(&watch_, &SignalWatch::caught, this, &BoardRun::interrupt);

    if (!prepare())
        return kExitUsage;
    production_ = std::make_unique<BoardProduction>(options_, console_, *window_, *driver_);
    // A signal that ended a wait on the records is answered below: no port is opened.
    if (const int refused = production_->begin(); refused != kExitOk && watch_.signal_number() == 0)
        return refused;
    driver_->set_max_timed_out_blocks(options_.max_timeouts);
    driver_->set_skip_unchanged(options_.skip_unchanged);
    if (watch_.signal_number() != 0)
        interrupt(watch_.signal_number());

    int code = kExitOk;
    for (int i = 0; i < options_.actions.size() && code == kExitOk && interrupted_by_ == 0; ++i) {
        const Action& action = options_.actions[i];
        const bool needs_session = action.name != QLatin1String("identify") && action.name != QLatin1String("bootmode");
        if (needs_session && !driver_->port_open() && !run_action(Action{QStringLiteral("identify"), QString()}))
            code = kExitFailed;
        else if (!run_action(action))
            code = kExitFailed;
        if (code != kExitOk && device_gone_)
            code = kExitDeviceGone;
    }
    // Closed as its own button closes it: the port is never left open.
    start(Operation::ClosePort);
    production_->report_lost_records();
    if (code == kExitOk && production_->records_lost())
        code = kExitFailed;
    // Also a signal the event loop had no turn to hear (during the last record's write).
    if (interrupted_by_ == 0)
        interrupted_by_ = watch_.signal_number();
    if (interrupted_by_ != 0) {
        say_interrupted(interrupted_by_);
        return SignalWatch::exit_code(interrupted_by_);
    }
    return code;
}

// The operation running stops as Exit would stop it; the action loop then
// ends, and the port is closed as at every end.
void BoardRun::interrupt(int signal_number)
{
    if (interrupted_by_ != 0)
        return;
    interrupted_by_ = signal_number;
    driver_->request_stop();
    QTimer::singleShot(kStopGraceMs, this, &BoardRun::abandon);
}

// Still inside the operation after the grace: the port is closed under it
// and the program ends here, before the window could touch the port again.
void BoardRun::abandon()
{
    driver_->close_port_now();
    say_interrupted(interrupted_by_);
    std::_Exit(SignalWatch::exit_code(interrupted_by_));
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
    const LinkSettings link = link_settings(options_);
    driver_->set_rate_index(link.rate_index);
    driver_->set_new_rate_index(link.new_rate_index);
    driver_->set_wait_ms(link.wait_ms);
    driver_->set_file_crc(options_.file_crc);

    // The port list the window fills a second after start, filled now.
    driver_->refresh_ports();
    port_ = options_.ports.isEmpty() ? driver_->selected_port() : options_.ports.first();
    if (port_.isEmpty()) {
        console_.error(QStringLiteral("no serial port found; name one with --port"));
        return false;
    }
    driver_->set_port(port_);
    return true;
}

int BoardRun::start(Operation operation)
{
    driver_->start(operation);
    return result_;
}

bool BoardRun::run_action(const Action& given)
{
    // With stamps, the window reads this board's own copy of the image.
    const Action action = production_->for_window(given);
    const bool takes_image = action.name != QLatin1String("bootmode");
    console_.action_started(action.name, takes_image ? file_size(action.arg) : 0);
    QElapsedTimer clock;
    clock.start();
    // The window refills its list when ports come and go while its own is
    // closed; the board's port is chosen again before every action.
    if (!driver_->port_open())
        driver_->set_port(port_);

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
        ok = start(Operation::RunApp) == operation_result::kOk;
    else if (action.name == QLatin1String("bootmode"))
        ok = start(action.arg == QLatin1String("1") ? Operation::BootMode1 : Operation::BootMode2) ==
             operation_result::kOk;
    if (!ok)
        notice_removal();
    device_gone_ = device_gone_ || driver_->device_removed();
    ok = ok && !device_gone_;

    // Committed before the result is reported: a board reported done is recorded.
    production_->record(given, ok, device_gone_, clock.elapsed() / 1000.0);
    const bool update = action.name == QLatin1String("update-mcu") || action.name == QLatin1String("update-flash");
    console_.result(action.name, ok, clock.elapsed() / 1000.0, driver_->chip_model(),
                    update ? driver_->last_update().bytes : std::optional<UpdateBytes>());
    return ok;
}

// A hang-up can still be on its way when a procedure has ended on a time-out;
// a port whose device node is gone was removed even if the window never saw it.
void BoardRun::notice_removal()
{
    QElapsedTimer clock;
    clock.start();
    while (!driver_->device_removed() && clock.elapsed() < kRemovalGraceMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, kRemovalGraceMs);
    if (driver_->device_removed() || (port_.startsWith(QLatin1String("/dev/")) && !QFileInfo::exists(port_)))
        device_gone_ = true;
}

bool BoardRun::identify()
{
    if (driver_->port_open())
        return true;
    const int result = start(Operation::OpenPort);
    if (!driver_->port_open())
        return false;
    if (result != operation_result::kOk) {
        // The window keeps the port open for its operator; a script has none.
        start(Operation::ClosePort);
        console_.note(QStringLiteral("no chip identified on %1").arg(port_));
        return false;
    }
    console_.note(QStringLiteral("chip %1 on %2").arg(driver_->chip_model(), port_));
    return true;
}

bool BoardRun::flash_info()
{
    const int result = start(Operation::FlashInfo);
    // The window shows 0 for what it could not read.
    const bool read = result == flash_id_result::kOk || result == flash_id_result::kNotCatalogued;
    const QString name = read ? driver_->flash_name() : QString();
    console_.note(QStringLiteral("flash ID %1, size %2, name %3")
                      .arg(read ? hex_lower_text(driver_->flash_id()) : QStringLiteral("0"),
                           QString::number(read ? driver_->flash_size() : 0), name.isEmpty() ? "-" : name));
    return result == flash_id_result::kOk;
}

bool BoardRun::update_mcu(const QString& file)
{
    driver_->set_mcu_image(file);
    // The UART0 variant keeps its application in the external flash: its
    // update ends with a flash update's code, 0 for success all the same.
    return start(Operation::UpdateMcu) == 0;
}

bool BoardRun::check_mcu(const QString& file)
{
    if (!file.isEmpty()) {
        driver_->set_mcu_image(file);
        if (start(Operation::InputMcuImage) != operation_result::kOk)
            return false;
    }
    return start(Operation::CheckMcu) == 0;
}

bool BoardRun::update_flash(const QString& file)
{
    driver_->set_flash_image(file);
    return start(Operation::UpdateFlash) == flash_update_result::kOk;
}

bool BoardRun::check_flash(const QString& file)
{
    if (!file.isEmpty()) {
        driver_->set_flash_image(file);
        if (start(Operation::InputFlashImage) != operation_result::kOk)
            return false;
    }
    return start(Operation::CheckFlash) == flash_crc_result::kOk;
}
