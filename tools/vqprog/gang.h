#pragma once

// Gang programming: one child vqprog per port, run in parallel, their JSON
// streams read back into one progress line per board and a summary table.
// A board that fails or goes away never stops the others. A signal to the
// parent goes on to every running child, which stops and closes its port;
// boards not yet started are not started.

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTemporaryDir>
#include <QVector>

#include "board_child.h"
#include "options.h"
#include "progress_text.h"

class SignalWatch;

struct BoardState {
    QString port;
    QString chip;
    QString action;  // the action running, or the last one that ran
    int percent = -1;
    bool ok = true;  // no action failed so far
    int exit_code = -1;
    bool interrupted = false;  // running when the parent was signalled
    QElapsedTimer clock;
    double seconds = 0;
    ProgressMeter meter;
    BoardChild* child = nullptr;  // null while not started
};

class Gang : public QObject {
    Q_OBJECT

public:
    Gang(const Options& options, const QStringList& ports, SignalWatch& watch);
    // Runs every board to its end; 0 only when every board passed, 128 + the
    // signal's number when a signal stopped the gang.
    int run();

    // "ok", "FAILED", "GONE" or "ERROR" from a child's exit code; "KILLED"
    // for one that did not stop in time; "INTERRUPTED" or "SKIPPED" for a
    // board a signal stopped or kept from starting.
    static QString verdict(const BoardState& board);

private:
    void start_next();
    void handle_event(int board, const ChildEvent& e);
    void finished(int board, int exit_code, bool crashed);
    void interrupt(int signal_number);
    void report_board(const BoardState& b);
    void draw(bool force);
    void print_summary();

    const Options& options_;
    SignalWatch& watch_;
    int interrupted_by_ = 0;  // the signal that stopped the gang, 0 while none
    QVector<BoardState> boards_;
    int next_ = 0;
    int running_ = 0;
    bool tty_;
    int drawn_lines_ = 0;
    QElapsedTimer last_draw_;
    // The children's temporary folders (stamped images, Flash.ini copies)
    // live in here: gone with the gang, also those of a child that was killed.
    QTemporaryDir children_tmp_;
};
