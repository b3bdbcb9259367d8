#include "gang.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <unistd.h>

#include "serial/port_url.h"
#include "signal_watch.h"

namespace {

constexpr int kRedrawMs = 200;  // progress lines on a terminal, at most five times a second
// A signalled child stops its operation and closes its port within a few
// seconds; one that has not ended by then is killed.
constexpr int kChildStopGraceMs = 10000;
// Where the port library keeps its lock files (LCK..pts_3, naming the pid).
const char* const kLockDirs[] = {"/var/lock", "/etc/locks", "/var/spool/locks", "/var/spool/uucp",
                                 "/tmp",      "/var/tmp",   "/var/lock/lockdev", "/run/lock"};

void put(FILE* stream, const QString& line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

// A board the signal stopped before it passed, or kept from starting.
bool interrupted_board(const BoardState& b)
{
    return b.interrupted && b.exit_code != kExitOk;
}

}  // namespace

Gang::Gang(const Options& options, const QStringList& ports, SignalWatch& watch)
    : options_(options), watch_(watch), tty_(::isatty(STDOUT_FILENO) == 1 && !options.json && !options.quiet)
{
    for (const QString& port : ports) {
        BoardState b;
        b.port = port;
        boards_.append(b);
    }
}

QString Gang::verdict(const BoardState& board)
{
    if (interrupted_board(board))
        return board.process ? QStringLiteral("INTERRUPTED") : QStringLiteral("SKIPPED");
    switch (board.exit_code) {
    case kExitOk:
        return QStringLiteral("ok");
    case kExitFailed:
        return QStringLiteral("FAILED");
    case kExitDeviceGone:
        return QStringLiteral("GONE");
    default:
        return QStringLiteral("ERROR");
    }
}

int Gang::run()
{
    const int cap = options_.max_parallel > 0 ? options_.max_parallel : boards_.size();
    connect(&watch_, &SignalWatch::caught, this, &Gang::interrupt);
    if (watch_.signal_number() != 0)
        interrupt(watch_.signal_number());
    QEventLoop loop;
    while (next_ < boards_.size() && running_ < cap && interrupted_by_ == 0)
        start_next();
    while (running_ > 0) {
        loop.processEvents(QEventLoop::WaitForMoreEvents);
        while (next_ < boards_.size() && running_ < cap && interrupted_by_ == 0)
            start_next();
    }
    if (interrupted_by_ != 0) {
        for (int i = next_; i < boards_.size(); ++i) {
            boards_[i].interrupted = true;
            report_board(boards_[i]);
        }
    }
    draw(true);
    print_summary();
    if (interrupted_by_ != 0) {
        put(stderr, QStringLiteral("vqprog: interrupted by %1; running boards were stopped")
                        .arg(SignalWatch::name(interrupted_by_)));
        return SignalWatch::exit_code(interrupted_by_);
    }
    for (const BoardState& b : boards_) {
        if (b.exit_code != kExitOk)
            return kExitFailed;
    }
    return kExitOk;
}

void Gang::start_next()
{
    const int i = next_++;
    BoardState& b = boards_[i];
    b.process = new QProcess(this);
    // The children's boxes come back as JSON events; their stderr would only repeat them.
    b.process->setStandardErrorFile(QProcess::nullDevice());
    connect(b.process, &QProcess::readyReadStandardOutput, this, [this, i] { read_child(i); });
    connect(b.process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            [this, i](int code, QProcess::ExitStatus status) { finished(i, code, status == QProcess::CrashExit); });
    connect(b.process, &QProcess::errorOccurred, this, [this, i](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            finished(i, kExitUsage, true);
    });
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QLatin1String(kRecordsOpenedEnv), QStringLiteral("1"));
    if (children_tmp_.isValid())
        env.insert(QStringLiteral("TMPDIR"), children_tmp_.path());
    b.process->setProcessEnvironment(env);
    b.clock.start();
    ++running_;
    b.process->start(QCoreApplication::applicationFilePath(), child_arguments(options_, b.port));
}

// Each running child gets the same signal and stops as it would alone:
// operation stopped, port closed, its summary row marked.
void Gang::interrupt(int signal_number)
{
    if (interrupted_by_ != 0)
        return;
    interrupted_by_ = signal_number;
    for (BoardState& b : boards_) {
        if (!b.process || b.exit_code >= 0)
            continue;
        b.interrupted = true;
        if (b.process->processId() > 0)
            ::kill(pid_t(b.process->processId()), signal_number);
    }
    QTimer::singleShot(kChildStopGraceMs, this, &Gang::kill_late_children);
}

// A child killed leaves what its own ending would have cleared: its port's
// lock file is removed here, and its board named, as its last record may be missing.
void Gang::kill_late_children()
{
    for (BoardState& b : boards_) {
        if (!b.process || b.exit_code >= 0)
            continue;
        const QByteArray pid = QByteArray::number(b.process->processId());
        b.process->kill();
        b.process->waitForFinished();
        put(stderr, QStringLiteral("%1: error: killed after %2 s without stopping; the record of its last action "
                                   "may be missing")
                        .arg(b.port)
                        .arg(kChildStopGraceMs / 1000));
        if (is_remote_port(b.port))
            continue;  // a served port has no lock file here
        QString name = b.port.startsWith(QLatin1String("/dev/")) ? b.port.mid(5) : b.port.section(QLatin1Char('/'), -1);
        name.replace(QLatin1Char('/'), QLatin1Char('_'));
        for (const char* dir : kLockDirs) {
            QFile lock(QString::fromLatin1(dir) + QStringLiteral("/LCK..") + name);
            if (lock.open(QIODevice::ReadOnly) && lock.readLine().trimmed() == pid) {
                lock.close();
                lock.remove();
            }
        }
    }
}

void Gang::read_child(int board)
{
    BoardState& b = boards_[board];
    for (const QByteArray& line : b.lines.feed(b.process->readAllStandardOutput()))
        handle_event(board, line);
    draw(false);
}

void Gang::handle_event(int board, const QByteArray& line)
{
    BoardState& b = boards_[board];
    const ChildEvent e = parse_child_event(line);
    QJsonObject event = e.object;
    switch (e.kind) {
    case ChildEvent::Kind::Action:
        b.action = e.action;
        b.percent = -1;
        b.meter.start(e.bytes);
        break;
    case ChildEvent::Kind::Progress:
        b.percent = e.percent;
        break;
    case ChildEvent::Kind::Result:
        b.chip = e.chip;
        b.ok = b.ok && e.ok;
        if (!options_.json && !options_.quiet && !tty_)
            put(stdout, QStringLiteral("%1: %2 %3").arg(b.port, b.action, e.ok ? "ok" : "FAILED"));
        break;
    case ChildEvent::Kind::Error:
        if (!options_.json) {
            if (tty_ && drawn_lines_ > 0)
                draw(true);
            put(stderr, QStringLiteral("%1: error: %2").arg(b.port, e.text));
        }
        break;
    default:
        break;
    }
    if (options_.json && !event.isEmpty()) {
        event.insert(QStringLiteral("port"), b.port);
        put(stdout, QString::fromUtf8(QJsonDocument(event).toJson(QJsonDocument::Compact)));
    }
}

void Gang::finished(int board, int exit_code, bool crashed)
{
    BoardState& b = boards_[board];
    if (b.exit_code >= 0)
        return;  // a failed start reports twice
    read_child(board);
    b.exit_code = crashed ? kExitUsage + 100 : exit_code;
    b.seconds = b.clock.elapsed() / 1000.0;
    --running_;
    report_board(b);
    draw(true);
}

void Gang::report_board(const BoardState& b)
{
    if (!options_.json)
        return;
    QJsonObject board{{QStringLiteral("event"), QStringLiteral("board")},
                      {QStringLiteral("port"), b.port},
                      {QStringLiteral("chip"), b.chip},
                      {QStringLiteral("action"), b.action},
                      {QStringLiteral("ok"), b.exit_code == kExitOk},
                      {QStringLiteral("exit"), b.exit_code},
                      {QStringLiteral("seconds"), b.seconds}};
    if (interrupted_board(b))
        board.insert(QStringLiteral("interrupted"), true);
    put(stdout, QString::fromUtf8(QJsonDocument(board).toJson(QJsonDocument::Compact)));
}

void Gang::draw(bool force)
{
    if (!tty_ || (!force && last_draw_.isValid() && last_draw_.elapsed() < kRedrawMs))
        return;
    last_draw_.start();
    QString out;
    if (drawn_lines_ > 0)
        out += QStringLiteral("\033[%1A").arg(drawn_lines_);
    for (const BoardState& b : boards_) {
        QString state;
        if (b.exit_code >= 0)
            state = verdict(b);
        else if (!b.process)
            state = QStringLiteral("waiting");
        else if (b.percent >= 0)
            state = b.meter.text(b.percent);
        out += QStringLiteral("\r\033[K%1  %2  %3  %4\n").arg(b.port, -14).arg(b.chip, -12).arg(b.action, -12).arg(state);
    }
    drawn_lines_ = boards_.size();
    const QByteArray bytes = out.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

void Gang::print_summary()
{
    if (options_.json || options_.quiet)
        return;
    put(stdout, QString());
    put(stdout, QStringLiteral("%1  %2  %3  %4  %5")
                    .arg(QStringLiteral("port"), -14)
                    .arg(QStringLiteral("chip"), -12)
                    .arg(QStringLiteral("action"), -12)
                    .arg(QStringLiteral("verdict"), -7)
                    .arg(QStringLiteral("seconds")));
    int passed = 0;
    for (const BoardState& b : boards_) {
        put(stdout, QStringLiteral("%1  %2  %3  %4  %5")
                        .arg(b.port, -14)
                        .arg(b.chip.isEmpty() ? QStringLiteral("-") : b.chip, -12)
                        .arg(b.action.isEmpty() ? QStringLiteral("-") : b.action, -12)
                        .arg(verdict(b), -7)
                        .arg(b.seconds, 7, 'f', 1));
        passed += b.exit_code == kExitOk;
    }
    put(stdout, QStringLiteral("%1 of %2 boards passed").arg(passed).arg(boards_.size()));
}
