#include "board_child.h"

#include <QDateTime>
#include <QFile>
#include <QMutex>
#include <QThreadPool>
#include <QProcess>
#include <QTimer>
#include <csignal>
#include <memory>
#include <sys/prctl.h>
#include <unistd.h>

#include "options.h"
#include "records.h"

namespace {

// Where the port library keeps its lock files (LCK..pts_3, naming the pid).
const char* const kLockDirs[] = {"/var/lock", "/etc/locks", "/var/spool/locks", "/var/spool/uucp",
                                 "/tmp",      "/var/tmp",   "/var/lock/lockdev", "/run/lock"};

// A parent that dies without stopping its boards must not leave them running
// behind it, their ports locked: the kernel hands each child a SIGTERM,
// which vqprog answers as a stop.
class OrphanStoppingProcess : public QProcess {
public:
    explicit OrphanStoppingProcess(QObject* parent) : QProcess(parent), parent_pid_(::getpid()) {}

protected:
    void setupChildProcess() override
    {
        // Until exec the child runs the parent's signal handlers: a parent's
        // death heard now would be caught (or, in a test, abort the child)
        // instead of ending it.
        ::signal(SIGTERM, SIG_DFL);
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        // The parent may have gone between the fork and the line above.
        if (::getppid() != parent_pid_)
            ::raise(SIGTERM);
    }

private:
    pid_t parent_pid_;
};

// What a killed child's clean-up needs, apart from the BoardChild, which may go meanwhile.
struct KilledBoard {
    ChildStart start;
    qint64 pid = 0;
    double seconds = 0;
    QString action;
    QString chip;
};

// A killed child leaves what its own ending would have cleared: its port's
// lock file, and the record of the action it was in. Returns why the record
// is missing; empty when it was written or there are no records.
QString clean_up_after_kill(const KilledBoard& k)
{
    QString name = k.start.port.startsWith(QLatin1String("/dev/")) ? k.start.port.mid(5)
                                                                    : k.start.port.section(QLatin1Char('/'), -1);
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    for (const char* dir : kLockDirs) {
        QFile lock(QString::fromLatin1(dir) + QStringLiteral("/LCK..") + name);
        if (!name.isEmpty() && lock.open(QIODevice::ReadOnly) && lock.readLine().trimmed().toLongLong() == k.pid) {
            lock.close();
            lock.remove();
        }
    }
    QString error;
    if (k.start.records.isEmpty())
        return error;
    // The child opened the records before it touched the board; one that
    // cannot be opened now is not created behind the line's back.
    std::unique_ptr<RecordsDb> db = RecordsDb::open(k.start.records, RecordsDb::Access::Existing, &error);
    if (!db)
        return error;
    BoardRecord r;
    r.time_utc = QDateTime::currentDateTimeUtc().addMSecs(-qint64(k.seconds * 1000));
    r.station = k.start.station;
    r.port = k.start.port;
    r.chip_model = k.chip;
    r.action = k.action;
    r.verdict = verdicts::kKilled;
    r.exit_code = kExitKilled;
    r.seconds = k.seconds;
    db->add(r, &error);
    return error;
}

}  // namespace

// Where a killed child's end goes once its clean-up is done: the BoardChild
// while it lives, nowhere after.
struct BoardChild::Mailbox {
    QMutex lock;
    BoardChild* to = nullptr;
};

BoardChild::BoardChild(QObject* parent) : QObject(parent), mailbox_(std::make_shared<Mailbox>())
{
    mailbox_->to = this;
}

BoardChild::~BoardChild()
{
    {
        QMutexLocker hold(&mailbox_->lock);
        mailbox_->to = nullptr;
    }
    if (!running())
        return;
    // Its end is reported to nobody: the owner is going, and waits here for
    // the child and its clean-up.
    blockSignals(true);
    if (!stopping())
        stop(SIGTERM);
    const int left = kChildStopGraceMs - int(clock_.elapsed() - stop_started_ms_);
    if (!process_->waitForFinished(qMax(left, 0)))
        kill_now();
}

void BoardChild::start(const ChildStart& start)
{
    if (process_)
        return;
    start_ = start;
    process_ = new OrphanStoppingProcess(this);
    if (!start.folder.isEmpty())
        process_->setWorkingDirectory(start.folder);
    process_->setProcessEnvironment(start.env);
    connect(process_, &QProcess::readyReadStandardOutput, this, &BoardChild::read_events);
    // What vqprog refuses before any board is touched (an image, the
    // records) it says on stderr only.
    connect(process_, &QProcess::readyReadStandardError, this, &BoardChild::read_errors);
    connect(process_, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            [this](int code, QProcess::ExitStatus status) { finished(code, status == QProcess::CrashExit); });
    connect(process_, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            emit error_line(QStringLiteral("cannot start %1").arg(process_->program()));
            finished(kExitUsage, false);
        }
    });
    clock_.start();
    process_->start(start.program, start.args);
    pid_ = process_->processId();
}

bool BoardChild::running() const
{
    return process_ && !ended_;
}

qint64 BoardChild::pid() const
{
    return running() ? pid_ : 0;
}

double BoardChild::seconds() const
{
    return running() ? clock_.elapsed() / 1000.0 : seconds_;
}

void BoardChild::stop(int signal_number)
{
    if (!running() || stopping())
        return;
    stop_signal_ = signal_number;
    stop_started_ms_ = clock_.elapsed();
    if (pid_ > 0)
        ::kill(pid_t(pid_), signal_number);
    grace_ = new QTimer(this);
    grace_->setSingleShot(true);
    connect(grace_, &QTimer::timeout, this, &BoardChild::kill_in_background);
    grace_->start(kChildStopGraceMs);
}

void BoardChild::kill_now()
{
    if (!running())
        return;
    clean_up_here_ = true;
    killed_ = true;
    process_->kill();
    process_->waitForFinished(3000);
}

void BoardChild::kill_in_background()
{
    if (!running())
        return;
    killed_ = true;
    process_->kill();
}

void BoardChild::read_events()
{
    for (const QByteArray& line : lines_.feed(process_->readAllStandardOutput())) {
        const ChildEvent e = parse_child_event(line);
        if (e.kind == ChildEvent::Kind::Action)
            action_ = e.action;
        else if (e.kind == ChildEvent::Kind::Result && !e.chip.isEmpty())
            chip_ = e.chip;
        emit child_event(e);
    }
}

void BoardChild::read_errors()
{
    stderr_pending_ += process_->readAllStandardError();
    int cut;
    while ((cut = stderr_pending_.indexOf('\n')) >= 0) {
        const QString line = QString::fromUtf8(stderr_pending_.left(cut));
        stderr_pending_.remove(0, cut + 1);
        if (line.startsWith(QLatin1String("error: ")))
            emit error_line(line.mid(7));
    }
}

void BoardChild::finished(int exit_code, bool crashed)
{
    if (ended_)
        return;  // a failed start reports twice
    read_events();
    read_errors();
    ended_ = true;
    seconds_ = clock_.elapsed() / 1000.0;
    if (grace_)
        grace_->stop();
    if (!killed_) {
        emit ended(exit_code, crashed);
        return;
    }
    const KilledBoard killed{start_, pid_, seconds_, action_, chip_};
    if (clean_up_here_) {
        record_error_ = clean_up_after_kill(killed);
        emit ended(exit_code, crashed);
        return;
    }
    QThreadPool::globalInstance()->start([killed, mailbox = mailbox_, exit_code, crashed] {
        const QString error = clean_up_after_kill(killed);
        QMutexLocker hold(&mailbox->lock);
        if (BoardChild* to = mailbox->to) {
            QMetaObject::invokeMethod(
                to,
                [to, error, exit_code, crashed] {
                    to->record_error_ = error;
                    emit to->ended(exit_code, crashed);
                },
                Qt::QueuedConnection);
        }
    });
}
