#pragma once

// Boards out of the production records. vqprog writes one record per action
// of a board; a station counts boards. A board's records are the ones of one
// station and port from its identification (every run starts with one) up
// to the next, or those that share its serial number, and vqprog's "board"
// record closes them. It passed when that record is there and every one of
// them says ok: a board whose vqprog was killed has none and did not pass.

#include <QDateTime>
#include <QString>
#include <QVector>
#include <functional>

#include "records.h"

struct BoardOutcome {
    QString station;
    QString port;
    QDateTime time_utc;  // of its last record
    bool ok = true;
    QString verdict;  // "ok", or the first record's that was not, or kUnfinished
    bool ended = true;  // false: still running, not counted yet
    qint64 serial = -1;
};

// The verdict of a board whose vqprog ended without its "board" record.
constexpr char kUnfinished[] = "unfinished";

// records in the order they were written (by id). A port's last board
// without its "board" record is still running when still_running says so
// (none given: never); otherwise it, like any such board followed by
// another, failed as unfinished.
QVector<BoardOutcome> boards_of(const QVector<BoardRecord>& records,
                                const std::function<bool(const BoardOutcome&)>& still_running = {});

struct StationTally {
    int passed = 0;
    int failed = 0;
    int last_hour = 0;  // boards that ended in the hour before now
    int total() const { return passed + failed; }
    // Share passed, in percent; -1 before the first board.
    double yield() const { return total() > 0 ? 100.0 * passed / total() : -1.0; }
};

// The boards that ended (see BoardOutcome::ended) at or after since, and the hour before now.
StationTally tally_of(const QVector<BoardOutcome>& boards, const QDateTime& since, const QDateTime& now);

// Boards passed and failed in each of `bins` slots of `slot_minutes`, the
// last one ending at now; [0] is the oldest.
struct SlotCount {
    QDateTime start;
    int passed = 0;
    int failed = 0;
};
QVector<SlotCount> slots_of(const QVector<BoardOutcome>& boards, const QDateTime& now, int bins, int slot_minutes);

// One row per station of the line, by name.
struct LineRow {
    QString station;
    StationTally tally;
    QDateTime last_time;
    QString last_verdict;
};
QVector<LineRow> line_rows(const QVector<BoardOutcome>& boards, const QDateTime& since, const QDateTime& now);

// Midnight of today, local time: where "today's" counters start.
QDateTime start_of_today(const QDateTime& now);
