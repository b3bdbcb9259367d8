#include "socket_run.h"

#include <QProcess>
#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

#include "options.h"
#include "protocol/texts.h"

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

QString failure_reason(const BoardEnd& e)
{
    if (e.stopped)
        return QStringLiteral("stopped: the station closed");
    if (e.removed || e.exit_code == kExitDeviceGone)
        return QStringLiteral("board removed");
    if (e.crashed)
        return QStringLiteral("vqprog crashed");
    // The handshake timed out: the port opened and nothing answered in it.
    if (e.failed_action == QLatin1String("identify") && e.failed_line == QLatin1String(texts::kTimeOver))
        return QStringLiteral("no chip answered");
    // The port's own trouble ("not a serial port") comes as the line after the box.
    if (e.failed_line == QLatin1String(texts::kOpenFail) && !e.failed_log.isEmpty() && e.failed_log != e.failed_line)
        return e.failed_line + QStringLiteral(": ") + e.failed_log;
    if (!e.failed_line.isEmpty())
        return e.failed_line;
    if (!e.last_error.isEmpty())
        return e.last_error;
    if (!e.failed_action.isEmpty())
        return QStringLiteral("%1 failed").arg(e.failed_action);
    return QStringLiteral("vqprog ended with %1").arg(e.exit_code);
}

SocketRun::SocketRun(QString key, QString label, QObject* parent)
    : QObject(parent), key_(std::move(key)), label_(std::move(label))
{
}

SocketRun::~SocketRun()
{
    if (process_) {
        // Its end is reported to nobody: the socket is going.
        disconnect(process_, nullptr, this, nullptr);
        if (!stopped_)
            stop(SIGTERM);
        if (!process_->waitForFinished(kBoardStopGraceMs))
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
    returned_while_ending_ = process_ && removed_while_running_;
    if (!process_) {
        state_ = TileState::Ready;
        detail_.clear();  // the last board's result left with it
    }
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
    end_ = BoardEnd();
    action_error_.clear();
    action_log_.clear();
    stderr_pending_.clear();
    removed_while_running_ = false;
    stopped_ = false;
    exit_code_ = -1;
    lines_ = ChildLines();
    clock_.start();
    process_ = new BoardProcess(this);
    process_->setWorkingDirectory(folder);
    connect(process_, &QProcess::readyReadStandardOutput, this, &SocketRun::read_events);
    // What vqprog refuses before any board is touched (an image, the
    // records) it says on stderr only.
    connect(process_, &QProcess::readyReadStandardError, this, [this] {
        stderr_pending_ += process_->readAllStandardError();
        int cut;
        while ((cut = stderr_pending_.indexOf('\n')) >= 0) {
            const QString line = QString::fromUtf8(stderr_pending_.left(cut));
            stderr_pending_.remove(0, cut + 1);
            if (line.startsWith(QLatin1String("error: ")))
                end_.last_error = line.mid(7);
        }
    });
    connect(process_, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            [this](int code, QProcess::ExitStatus status) { ended(code, status == QProcess::CrashExit); });
    connect(process_, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            end_.last_error = QStringLiteral("cannot start %1").arg(process_->program());
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

bool SocketRun::take_returned_board()
{
    const bool returned = returned_while_ending_ && !process_ && !device_.isEmpty();
    returned_while_ending_ = false;
    return returned;
}

void SocketRun::set_serial(qint64 serial)
{
    if (state_ == TileState::Pass && serial >= 0) {
        detail_ = QStringLiteral("SN %1").arg(serial);
        emit changed();
    }
}

void SocketRun::refuse(const QString& reason)
{
    if (process_)
        return;
    state_ = TileState::Fail;
    detail_ = reason;
    emit changed();
}

void SocketRun::hold(const QString& why)
{
    if (process_ || device_.isEmpty())
        return;
    state_ = TileState::Ready;
    detail_ = why;
    emit changed();
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
            action_error_.clear();
            action_log_.clear();
            break;
        case ChildEvent::Kind::Progress:
            percent_ = e.percent;
            break;
        case ChildEvent::Kind::Log:
            if (!e.text.trimmed().isEmpty())
                action_log_ = e.text.trimmed();
            break;
        case ChildEvent::Kind::Result:
            if (!e.ok && end_.failed_action.isEmpty()) {
                end_.failed_action = e.action;
                end_.failed_line = action_error_.isEmpty() ? action_log_ : action_error_;
                end_.failed_log = action_log_;
            }
            break;
        case ChildEvent::Kind::Error:
            action_error_ = e.text;
            end_.last_error = e.text;
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
    end_.exit_code = exit_code;
    end_.crashed = crashed;
    end_.removed = removed_while_running_;
    end_.stopped = stopped_;
    detail_ = ok ? QString() : failure_reason(end_);
    for (auto i = shown_names_.cbegin(); i != shown_names_.cend(); ++i)
        detail_.replace(i.key(), i.value());
    if (!ok && (removed_while_running_ || exit_code == kExitDeviceGone))
        removed_while_running_ = true;
    if (state_ == TileState::Pass && device_.isEmpty())
        state_ = TileState::Waiting;
    emit changed();
    emit finished();
}
