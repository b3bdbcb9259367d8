#include "socket_run.h"

#include <csignal>

#include "options.h"
#include "protocol/texts.h"

QString failure_reason(const BoardEnd& e)
{
    if (e.exit_code == kExitKilled)
        return QStringLiteral("killed: vqprog did not stop within %1 s").arg(kChildStopGraceMs / 1000);
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
    if (child_) {
        // Its end is reported to nobody: the socket is going.
        disconnect(child_, nullptr, this, nullptr);
        stopped_ = true;
        delete child_;  // stops it, and kills it after the grace period
    }
}

QString SocketRun::progress_text() const
{
    return percent_ >= 0 ? meter_.text(percent_).trimmed() : QString();
}

double SocketRun::seconds() const
{
    return child_ ? child_->seconds() : seconds_;
}

qint64 SocketRun::child_pid() const
{
    return child_ ? child_->pid() : 0;
}

void SocketRun::board_arrived(const QString& port)
{
    device_ = port;
    returned_while_ending_ = child_ && removed_while_running_;
    if (!child_) {
        state_ = TileState::Ready;
        detail_.clear();  // the last board's result left with it
    }
    emit changed();
}

void SocketRun::board_removed()
{
    device_.clear();
    if (child_)
        removed_while_running_ = true;
    // A board that ended while present leaves with its result; one that was
    // taken out under its update keeps "board removed" until the next arrives.
    else if (!(state_ == TileState::Fail && removed_while_running_))
        state_ = TileState::Waiting;
    emit changed();
}

void SocketRun::start(ChildStart child)
{
    if (child_ || device_.isEmpty())
        return;
    state_ = TileState::Programming;
    action_.clear();
    percent_ = -1;
    detail_.clear();
    end_ = BoardEnd();
    action_error_.clear();
    action_log_.clear();
    removed_while_running_ = false;
    stopped_ = false;
    exit_code_ = -1;
    child_ = new BoardChild(this);
    connect(child_, &BoardChild::child_event, this, &SocketRun::take_event);
    connect(child_, &BoardChild::error_line, this, [this](const QString& text) { end_.last_error = text; });
    connect(child_, &BoardChild::ended, this, &SocketRun::ended);
    child.port = device_;
    child_->start(child);
    emit changed();
}

void SocketRun::stop(int signal_number)
{
    if (!child_)
        return;
    stopped_ = true;
    child_->stop(signal_number);
}

bool SocketRun::take_returned_board()
{
    const bool returned = returned_while_ending_ && !child_ && !device_.isEmpty();
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
    if (child_)
        return;
    state_ = TileState::Fail;
    detail_ = reason;
    emit changed();
}

void SocketRun::hold(const QString& why)
{
    if (child_ || device_.isEmpty())
        return;
    state_ = TileState::Ready;
    detail_ = why;
    emit changed();
}

void SocketRun::take_event(const ChildEvent& e)
{
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
    emit changed();
}

void SocketRun::ended(int exit_code, bool crashed)
{
    if (child_->killed())
        exit_code = kExitKilled;
    exit_code_ = exit_code;
    seconds_ = child_->seconds();
    child_->deleteLater();
    child_ = nullptr;
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
