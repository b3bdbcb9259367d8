#pragma once

// One socket of the station: the board in it, run by a child vqprog with
// --json, read back as the gang's parent reads its boards. A board that
// hangs or crashes ends its own child and no other.

#include <QHash>
#include <QObject>
#include <QString>

#include "board_child.h"
#include "progress_text.h"

// How a board's child ended, as far as a failure's reason goes.
struct BoardEnd {
    int exit_code = -1;  // kExitKilled: killed after the grace period
    bool crashed = false;
    bool removed = false;  // its port went away while it ran
    bool stopped = false;  // the station stopped it
    QString failed_action;
    QString failed_line;  // the failed action's box, else its last log line
    QString failed_log;   // the failed action's last log line (the advice after "Open fail")
    QString last_error;   // the last "error:" vqprog printed, also before any action
};

enum class TileState {
    Waiting,      // no board in the socket
    Ready,        // a board that was there before the station looked: a click starts it
    Programming,  // its child runs
    Pass,
    Fail,
};

class SocketRun : public QObject {
    Q_OBJECT

public:
    SocketRun(QString key, QString label, QObject* parent);
    ~SocketRun() override;

    const QString& key() const { return key_; }    // what makes it this socket (a name, a simulator's entry)
    const QString& label() const { return label_; }
    const QString& device() const { return device_; }  // the board's port now; empty while none
    TileState state() const { return state_; }
    const QString& action() const { return action_; }
    int percent() const { return percent_; }
    QString progress_text() const;  // percent, kB/s, time left
    const QString& detail() const { return detail_; }  // PASS: the serial; FAIL: the reason
    double seconds() const;  // of the run going on, or of the last one
    bool running() const { return child_ != nullptr; }
    qint64 child_pid() const;  // 0 while none runs
    int exit_code() const { return exit_code_; }
    bool stopped_by_station() const { return stopped_; }

    // A board appeared on port; auto: start it (else it waits for a click).
    void board_arrived(const QString& port);
    void board_removed();

    // Runs the board on device(): child's port is taken from it.
    void start(ChildStart child);
    // As a signal to the gang: the child stops its operation and closes its
    // port, or is killed after the grace period.
    void stop(int signal_number);
    void set_serial(qint64 serial);
    // The board is not started: why, on its tile (FAIL, or READY while held).
    void refuse(const QString& reason);
    void hold(const QString& why);
    // Files the child was given under other names (the station's snapshots):
    // its reasons name the operator's files.
    void set_shown_names(const QHash<QString, QString>& given_for_taken) { shown_names_ = given_for_taken; }
    // Where this board's vqprog writes its log; empty while none.
    const QString& log_file() const { return log_file_; }
    void set_log_file(const QString& path) { log_file_ = path; }
    // A board came back while the child of the one pulled out was still
    // ending: true once, for the station to start it.
    bool take_returned_board();

signals:
    void changed();
    void finished();

private:
    void take_event(const ChildEvent& e);
    void ended(int exit_code, bool crashed);

    QString key_;
    QString label_;
    QString device_;
    TileState state_ = TileState::Waiting;
    QString action_;
    int percent_ = -1;
    ProgressMeter meter_;
    QString detail_;
    BoardEnd end_;          // what the board's events said, for the reason of a failure
    QString action_error_;  // the box of the action running
    QString action_log_;    // its last log line: the window's verdict
    double seconds_ = 0;
    bool removed_while_running_ = false;
    bool returned_while_ending_ = false;
    bool stopped_ = false;
    int exit_code_ = -1;
    BoardChild* child_ = nullptr;  // while one runs
    QHash<QString, QString> shown_names_;
    QString log_file_;
};

// The one line a failed board's tile shows.
QString failure_reason(const BoardEnd& end);
