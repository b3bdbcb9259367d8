#include "board_run.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimer>
#include <atomic>
#include <csignal>
#include <cstdio>

#include "console.h"
#include "flash/flash_frames.h"
#include "production.h"
#include "protocol/hex_text.h"
#include "serial/boot_sequences.h"
#include "serial/port_map.h"
#include "serial/port_url.h"
#include "session/boot_session.h"
#include "signal_watch.h"

namespace {

constexpr int kRemovalGraceMs = 100;        // for a hang-up to be heard after a failure
constexpr int kPortPollMs = 1000;           // as often as the window looks at its port list

// A signal ends the session's waits from inside its handler: a store to the
// stop flag, then the signal watch's own handler, which the event loop hears
// only once the procedure has returned.
std::atomic<StopFlag*> g_stop{nullptr};
static_assert(StopFlag::is_always_lock_free && std::atomic<StopFlag*>::is_always_lock_free,
              "a signal handler may only store to lock-free atomics");
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction g_passed_on[3];

extern "C" void stop_and_pass_on(int signal_number)
{
    for (int i = 0; i < 3; ++i) {
        if (kStopSignals[i] != signal_number || g_passed_on[i].sa_handler == SIG_IGN)
            continue;
        if (StopFlag* stop = g_stop.load())
            stop->store(true);
        if (g_passed_on[i].sa_handler != SIG_DFL) {
            g_passed_on[i].sa_handler(signal_number);
        } else {
            // Nobody watches for it: it does what it would have done.
            ::signal(signal_number, SIG_DFL);
            ::raise(signal_number);
        }
    }
}

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

// The port the window's list pre-selects: the USB serial device, or else the first listed.
QString preselected_port(PortMap& map)
{
    const QList<PortMapEntry> entries = map.entries();
    const int pre = preselected_entry(entries);
    return entries.isEmpty() ? QString() : entries.at(pre >= 0 ? pre : 0).port_name.trimmed();
}

}  // namespace

// What the session reports, on the console: log lines to stdout, boxes to
// stderr as "error:" lines (answered at once, as OK would answer them).
class BoardRun::ConsoleSink : public SessionSink {
public:
    ConsoleSink(Console& console, BoardRun& run) : console_(console), run_(run) {}

    void log_line(const QString& text) override { console_.log(text); }
    void clear_log() override {}
    void error_box(const QString&, const QString& text) override { console_.error(text); }
    void notice_box(const QString&, const QString& text) override { console_.error(text); }
    void progress(int percent) override { console_.progress(percent); }
    void chip_identified(uint32_t, const QString&) override {}
    void flash_fields(const QString&, const QString&, const QString&) override {}
    void mcu_label(const QString&) override {}
    void flash_label(const QString&) override {}
    void actions_enabled(bool) override {}
    void port_failed(const QString& name) override
    {
        run_.port_present_ = false;  // reported here, not again when its node goes
        run_.port_removed(name);
    }

private:
    Console& console_;
    BoardRun& run_;
};

BoardRun::BoardRun(const Options& options, Console& console, SignalWatch& watch)
    : options_(options), console_(console), watch_(watch), sink_(std::make_unique<ConsoleSink>(console, *this)),
      session_(std::make_unique<BootSession>(sink_.get())), link_(link_settings(options))
{
}

BoardRun::~BoardRun()
{
    if (g_stop.load() == &session_->link().stop().flag()) {
        for (int i = 0; i < 3; ++i)
            ::sigaction(kStopSignals[i], &g_passed_on[i], nullptr);
        g_stop.store(nullptr);
    }
    production_.reset();
    // A device that goes away while the port closes reports to nobody.
    static NullSessionSink nobody;
    session_->set_sink(&nobody);
    session_.reset();
}

int BoardRun::run()
{
    // The first line of every session log since the window's own: logs of
    // scripts and of the window read alike.
    console_.log(QStringLiteral("BL_SET = 0"));
    connect(&watch_, &SignalWatch::caught, this, &BoardRun::interrupt);
    g_stop.store(&session_->link().stop().flag());
    struct sigaction action = {};
    action.sa_handler = stop_and_pass_on;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < 3; ++i)
        ::sigaction(kStopSignals[i], &action, &g_passed_on[i]);
    // A signal caught before this one was installed stops the waits too.
    if (watch_.signal_number() != 0)
        session_->link().stop().request();

    if (!prepare())
        return kExitUsage;
    production_ = std::make_unique<BoardProduction>(options_, console_, *session_, port_, last_update_);
    // A signal that ended a wait on the records is answered below: no port is opened.
    if (const int refused = production_->begin(); refused != kExitOk && watch_.signal_number() == 0)
        return refused;
    if (watch_.signal_number() != 0)
        interrupt(watch_.signal_number());

    QElapsedTimer board_clock;
    board_clock.start();
    int code = kExitOk;
    for (int i = 0; i < options_.actions.size() && code == kExitOk && interrupted_by_ == 0 &&
                    !session_->link().stop().requested();
         ++i) {
        const Action& action = options_.actions[i];
        const bool needs_session = action.name != QLatin1String("identify") && action.name != QLatin1String("bootmode");
        if (needs_session && !session_->port_open() && !run_action(Action{QStringLiteral("identify"), QString()}))
            code = kExitFailed;
        else if (!run_action(action))
            code = kExitFailed;
        if (code != kExitOk && device_gone_)
            code = kExitDeviceGone;
    }
    close_port();  // never left open
    // A stop between two actions leaves code ok: the board was stopped all the same.
    const int stopped_by = interrupted_by_ != 0 ? interrupted_by_ : watch_.signal_number();
    production_->record_board(stopped_by != 0 ? SignalWatch::exit_code(stopped_by) : code,
                              board_clock.elapsed() / 1000.0);
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

// Every wait for the device ends at once; the procedure running returns
// "stopped" through its normal path, the action loop ends and the port is
// closed as at every end.
void BoardRun::interrupt(int signal_number)
{
    if (interrupted_by_ != 0)
        return;
    interrupted_by_ = signal_number;
    session_->link().stop().request();
}

void BoardRun::port_removed(const QString& name)
{
    console_.log(QStringLiteral("Remove ") + name);
    if (session_->port_open() && name == port_)
        session_->link().mark_down();
}

bool BoardRun::prepare()
{
    if (!options_.flash_ini.isEmpty()) {
        // The session reads Flash.ini from the working directory at every
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
    session_->link().reply().set_wait_ms(link_.wait_ms);
    session_->set_busy_connect_retry_ms(options_.busy_retry_ms);
    // A stalled link's late reply would shift every answer after it by one
    // and fail a good board at its CRC.
    session_->set_drop_late_replies(true);
    session_->set_loss_ends_waits(true);
    port_ = options_.ports.isEmpty() ? preselected_port(*PortMap::create_default()) : options_.ports.first();
    if (port_.isEmpty()) {
        console_.error(QStringLiteral("no serial port found; name one with --port"));
        return false;
    }
    // Hot-plug of this board's port, in the window's words. Only its own:
    // listing every port of the system each second cost a board a fifth of
    // its CPU, and a board's log has no use for another board's cable.
    // A port served over the network has no node to watch: its loss is the
    // connection's, which the session reports.
    if (is_remote_port(port_))
        return true;
    port_present_ = QFileInfo::exists(port_);
    auto* poll = new QTimer(this);
    connect(poll, &QTimer::timeout, this, &BoardRun::watch_port);
    poll->start(kPortPollMs);
    return true;
}

void BoardRun::watch_port()
{
    const bool present = QFileInfo::exists(port_);
    if (present == port_present_)
        return;
    port_present_ = present;
    if (present)
        console_.log(QStringLiteral("Insert ") + port_);
    else
        port_removed(port_);
}

bool BoardRun::run_action(const Action& given)
{
    // With stamps, the session reads this board's own copy of the image.
    const Action action = production_->for_session(given);
    const bool takes_image = action.name != QLatin1String("bootmode");
    console_.action_started(action.name, takes_image ? file_size(action.arg) : 0);
    QElapsedTimer clock;
    clock.start();

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
        ok = run_application() == operation_result::kOk;
    else if (action.name == QLatin1String("bootmode"))
        ok = send_boot_sequence(action.arg == QLatin1String("1") ? bootupdate_sequence() : bootmode2_sequence()) ==
             operation_result::kOk;
    // A stopped run exits with the signal's code whatever the port did: no
    // grace to wait for a hang-up to be heard.
    if (!ok && !session_->link().stop().requested())
        notice_removal();
    device_gone_ = device_gone_ || session_->link().removed();
    ok = ok && !device_gone_;

    // Committed before the result is reported: a board reported done is recorded.
    production_->record(given, ok, device_gone_, clock.elapsed() / 1000.0);
    const bool update = action.name == QLatin1String("update-mcu") || action.name == QLatin1String("update-flash");
    console_.result(action.name, ok, action_verdict(ok, device_gone_), clock.elapsed() / 1000.0, session_->chip().model_name(),
                    update ? last_update_.bytes : std::optional<UpdateBytes>());
    return ok;
}

// A hang-up can still be on its way when a procedure has ended on a time-out;
// a port whose device node is gone was removed even if nobody heard of it.
void BoardRun::notice_removal()
{
    QElapsedTimer clock;
    clock.start();
    while (!session_->link().removed() && clock.elapsed() < kRemovalGraceMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, kRemovalGraceMs);
    if (session_->link().removed() || (port_.startsWith(QLatin1String("/dev/")) && !QFileInfo::exists(port_)))
        device_gone_ = true;
}

bool BoardRun::identify()
{
    if (session_->port_open())
        return true;
    // After a switch to the New Rate the link's rate follows, as the window's rate box does.
    const int result = session_->open_and_identify(port_, &link_);
    if (!session_->port_open())
        return false;
    if (result != operation_result::kOk) {
        // The window keeps the port open for its operator; a script has none.
        close_port();
        console_.note(QStringLiteral("no chip identified on %1").arg(port_));
        return false;
    }
    console_.note(QStringLiteral("chip %1 on %2").arg(session_->chip().model_name(), port_));
    return true;
}

void BoardRun::close_port()
{
    if (session_->port_open())
        session_->close_port();
}

int BoardRun::send_boot_sequence(const QByteArray& sequence)
{
    session_->link().reply().set_wait_ms(link_.wait_ms);
    close_port();
    const int result = session_->send_boot_sequence(port_, link_.rate_index, sequence);
    if (result == operation_result::kOk)
        close_port();
    return result;
}

int BoardRun::run_application()
{
    const int result = session_->start_application();
    if (result == operation_result::kPortClosed)
        return result;
    close_port();
    link_.rate_index = kDefaultRateIndex;  // the application talks at the default rate
    return result;
}

UpdateOptions BoardRun::update_options() const
{
    UpdateOptions options;
    options.link = link_;
    options.send_file_crc = options_.file_crc;
    options.skip_unchanged = options_.skip_unchanged;
    options.max_timed_out_blocks = options_.max_timeouts;
    return options;
}

bool BoardRun::flash_info()
{
    const int result = session_->flash_info();
    // Shown as 0 where it could not be read, as the window's fields show it.
    const bool read = result == flash_id_result::kOk || result == flash_id_result::kNotCatalogued;
    const QString name = read ? session_->chip().flash_name : QString();
    console_.note(QStringLiteral("flash ID %1, size %2, name %3")
                      .arg(read ? hex_lower_text(session_->chip().flash_id) : QStringLiteral("0"),
                           QString::number(read ? session_->chip().flash_size : 0), name.isEmpty() ? "-" : name));
    return result == flash_id_result::kOk;
}

bool BoardRun::update_mcu(const QString& file)
{
    last_update_ = session_->update_mcu(file, update_options());
    return last_update_.verdict == Verdict::Passed;
}

bool BoardRun::check_mcu(const QString& file)
{
    if (!file.isEmpty() && session_->load_mcu_image(file) != operation_result::kOk)
        return false;
    return session_->check_mcu() == 0;
}

bool BoardRun::update_flash(const QString& file)
{
    last_update_ = session_->update_flash(file, update_options());
    return last_update_.verdict == Verdict::Passed;
}

bool BoardRun::check_flash(const QString& file)
{
    if (!file.isEmpty() && session_->load_flash_image(file) != operation_result::kOk)
        return false;
    return session_->check_flash(options_.file_crc) == flash_crc_result::kOk;
}
