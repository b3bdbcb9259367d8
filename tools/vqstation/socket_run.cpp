#include "socket_run.h"

#include <QProcess>
#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

#include "options.h"

namespace {

// A station that dies without closing must not leave boards running behind it
// (their ports locked): the kernel hands each child a SIGTERM, which vqprog
// answers as a stop.
class BoardProcess : public QProcess {
public:
    using QProcess::QProcess;

protected:
    void setupChildProcess() override { ::prctl(PR_SET_PDEATHSIG, SIGTERM); }
};

}  // namespace

QString failure_reason(int exit_code, bool crashed, bool removed, bool stopped, const QString& failed_action,
                       const QString& chip, const QString& last_error)
{
    if (stopped)
        return QStringLiteral("stopped: the station closed");
    if (removed || exit_code == kExitDeviceGone)
        return QStringLiteral("board removed");
    if (crashed)
        return QStringLiteral("vqprog crashed");
    // A port that would not open says why; any other failed identification
    // is a socket with no chip answering in it.
    if (failed_action == QLatin1String("identify") && chip.isEmpty() &&
        !last_error.contains(QLatin1String("Open"), Qt::CaseInsensitive))
        return QStringLiteral("no chip answered");
    if (!last_error.isEmpty())
        return last_error;
    if (!failed_action.isEmpty())
        return QStringLiteral("%1 failed").arg(failed_action);
    return QStringLiteral("vqprog ended with %1").arg(exit_code);
}

SocketRun::SocketRun(QString key, QString label, QObject* parent)
    : QObject(parent), key_(std::move(key)), label_(std::move(label))
{
}

SocketRun::~SocketRun()
{
    if (process_) {
        stop(SIGTERM);
        if (!process_->waitForFinished(10000))
            kill_now();
    }
}

QString SocketRun::progress_text() const
{
    return percent_ >= 0 ? meter_.text(percent_).trimmed() : QString();
}

double SocketRun::seconds() const
{
    return process_ ? clock_.elapsed() / 1000.0 : seconds_;
}

qint64 SocketRun::child_pid() const
{
    return process_ ? process_->processId() : 0;
}

void SocketRun::board_arrived(const QString& port)
{
    device_ = port;
    if (!process_)
        state_ = TileState::Ready;
    emit changed();
}

void SocketRun::board_removed()
{
    device_.clear();
    if (process_)
        removed_while_running_ = true;
    // A board that ended while present leaves with its result; one that was
    // taken out under its update keeps "board removed" until the next arrives.
    else if (!(state_ == TileState::Fail && removed_while_running_))
        state_ = TileState::Waiting;
    emit changed();
}

void SocketRun::start(const QString& program, const QStringList& args, const QString& folder)
{
    if (process_ || device_.isEmpty())
        return;
    state_ = TileState::Programming;
    action_.clear();
    percent_ = -1;
    detail_.clear();
    last_error_.clear();
    failed_action_.clear();
    chip_.clear();
    removed_while_running_ = false;
    stopped_ = false;
    exit_code_ = -1;
    lines_ = ChildLines();
    clock_.start();
    process_ = new BoardProcess(this);
    // Boxes come back as JSON error events; stderr would only repeat them.
    process_->setStandardErrorFile(QProcess::nullDevice());
    process_->setWorkingDirectory(folder);
    connect(process_, &QProcess::readyReadStandardOutput, this, &SocketRun::read_events);
    connect(process_, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            [this](int code, QProcess::ExitStatus status) { ended(code, status == QProcess::CrashExit); });
    connect(process_, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            last_error_ = QStringLiteral("cannot start %1").arg(process_->program());
            ended(kExitUsage, false);
        }
    });
    process_->start(program, args);
    emit changed();
}

void SocketRun::stop(int signal_number)
{
    if (!process_)
        return;
    stopped_ = true;
    if (process_->processId() > 0)
        ::kill(pid_t(process_->processId()), signal_number);
}

void SocketRun::kill_now()
{
    if (process_) {
        process_->kill();
        process_->waitForFinished(3000);
    }
}

void SocketRun::set_serial(qint64 serial)
{
    if (state_ == TileState::Pass && serial >= 0) {
        detail_ = QStringLiteral("SN %1").arg(serial);
        emit changed();
    }
}

void SocketRun::read_events()
{
    if (!process_)
        return;
    for (const QByteArray& line : lines_.feed(process_->readAllStandardOutput())) {
        const ChildEvent e = parse_child_event(line);
        switch (e.kind) {
        case ChildEvent::Kind::Action:
            action_ = e.action;
            percent_ = -1;
            meter_.start(e.bytes);
            break;
        case ChildEvent::Kind::Progress:
            percent_ = e.percent;
            break;
        case ChildEvent::Kind::Result:
            if (!e.chip.isEmpty())
                chip_ = e.chip;
            if (!e.ok && failed_action_.isEmpty())
                failed_action_ = e.action;
            break;
        case ChildEvent::Kind::Error:
            last_error_ = e.text;
            break;
        default:
            break;
        }
    }
    emit changed();
}

void SocketRun::ended(int exit_code, bool crashed)
{
    if (!process_ || exit_code_ >= 0)
        return;  // a failed start reports twice
    read_events();
    exit_code_ = exit_code;
    seconds_ = clock_.elapsed() / 1000.0;
    process_->deleteLater();
    process_ = nullptr;
    const bool ok = !crashed && exit_code == kExitOk && !removed_while_running_;
    state_ = ok ? TileState::Pass : TileState::Fail;
    detail_ = ok ? QString()
                 : failure_reason(exit_code, crashed, removed_while_running_, stopped_, failed_action_, chip_,
                                  last_error_);
    if (!ok && (removed_while_running_ || exit_code == kExitDeviceGone))
        removed_while_running_ = true;
    if (state_ == TileState::Pass && device_.isEmpty())
        state_ = TileState::Waiting;
    emit changed();
    emit finished();
}
