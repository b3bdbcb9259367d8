#pragma once

// One board's vqprog, run as a child with --json: its events read back, the
// "error:" lines it prints before any event, a stop as a signal with a kill
// after the grace period, and no life beyond its parent's. The gang's parent
// and the line station run each board through one of these, so a board that
// hangs or crashes ends its own child and no other, and both clean up after
// a killed child the same way.

#include <QElapsedTimer>
#include <QObject>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <csignal>
#include <memory>

#include "child_events.h"

class QProcess;
class QTimer;

// A child told to stop ends its operation and closes its port within a few
// seconds (vqprog gives its operation three); one still running after this
// is killed.
constexpr int kChildStopGraceMs = 10000;
// The exit code a board killed after the grace period ends with, as a shell gives it.
constexpr int kExitKilled = 128 + SIGKILL;

struct ChildStart {
    QString program;
    QStringList args;
    QString port;    // the board's port: a killed child's lock file is named after it
    QString folder;  // the child's working folder; empty: the parent's
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // Where a killed child's board is recorded, as its own records would
    // have been; an empty target: the board is not recorded.
    QString records;
    QString station;
};

class BoardChild : public QObject {
    Q_OBJECT

public:
    explicit BoardChild(QObject* parent = nullptr);
    // A child still running is stopped and, after the grace period, killed:
    // the parent waits for it here.
    ~BoardChild() override;

    // One child a BoardChild.
    void start(const ChildStart& start);
    bool running() const;
    qint64 pid() const;  // 0 while none runs
    double seconds() const;
    bool stopping() const { return stop_signal_ != 0; }
    bool killed() const { return killed_; }
    // Why the killed board's record is missing; empty when it was written or
    // there are no records.
    const QString& record_error() const { return record_error_; }

    // The signal at once, SIGKILL when it has not ended kChildStopGraceMs later.
    void stop(int signal_number);
    // SIGKILL, waiting (up to 3 s) for the kernel to reap it and for its
    // lock file and record; the grace period's kill does not wait: its
    // clean-up runs on a thread of the pool and `ended` follows it, so an
    // owner's thread never waits on the child or the database.
    void kill_now();

signals:
    void child_event(const ChildEvent& event);
    void error_line(const QString& text);  // an "error: " line of its stderr, without the prefix
    // Once, after the events it wrote; a killed child's lock file is gone
    // and its record written by then.
    void ended(int exit_code, bool crashed);

private:
    void kill_in_background();
    void read_events();
    void read_errors();
    void finished(int exit_code, bool crashed);
    struct Mailbox;

    ChildStart start_;
    std::shared_ptr<Mailbox> mailbox_;
    bool clean_up_here_ = false;  // the killed child's clean-up on the caller's thread, waited for
    QProcess* process_ = nullptr;
    QTimer* grace_ = nullptr;
    ChildLines lines_;
    QByteArray stderr_pending_;
    QElapsedTimer clock_;
    double seconds_ = 0;
    qint64 pid_ = 0;
    int stop_signal_ = 0;
    qint64 stop_started_ms_ = 0;  // on clock_
    bool killed_ = false;
    bool ended_ = false;
    QString action_;  // the last action it announced, for a killed board's record
    QString chip_;
    QString record_error_;
};

