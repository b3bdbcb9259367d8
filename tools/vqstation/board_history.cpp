#include "board_history.h"

#include <QHash>
#include <QMap>

QVector<BoardOutcome> boards_of(const QVector<BoardRecord>& records,
                                const std::function<bool(const BoardOutcome&)>& still_running)
{
    QVector<BoardOutcome> boards;
    QVector<bool> closed;  // by its "board" record
    QHash<QString, int> open;  // station + port: its board still taking records
    for (const BoardRecord& r : records) {
        const QString key = r.station + QLatin1Char('\n') + r.port;
        const auto it = open.constFind(key);
        const bool same_board = it != open.constEnd() && r.action != QLatin1String("identify") &&
                                boards[*it].serial == r.serial;
        if (!same_board) {
            BoardOutcome b;
            b.station = r.station;
            b.port = r.port;
            b.serial = r.serial;
            b.verdict = r.verdict;
            open.insert(key, boards.size());
            boards.append(b);
            closed.append(false);
        }
        const int index = open.value(key);
        BoardOutcome& b = boards[index];
        b.time_utc = r.time_utc.addMSecs(qint64(r.seconds * 1000));
        if (b.ok && r.verdict != QLatin1String(verdicts::kOk)) {
            b.ok = false;
            b.verdict = r.verdict;
        }
        if (r.action == QLatin1String(kBoardAction)) {
            closed[index] = true;
            open.remove(key);
        }
    }
    for (int i = 0; i < boards.size(); ++i) {
        BoardOutcome& b = boards[i];
        if (closed[i])
            continue;
        const bool last_of_port = open.value(b.station + QLatin1Char('\n') + b.port, -1) == i;
        if (last_of_port && still_running && still_running(b)) {
            b.ended = false;
        } else if (b.ok) {
            b.ok = false;
            b.verdict = QLatin1String(kUnfinished);
        }
    }
    return boards;
}

StationTally tally_of(const QVector<BoardOutcome>& boards, const QDateTime& since, const QDateTime& now)
{
    StationTally t;
    const QDateTime hour_ago = now.addSecs(-3600);
    for (const BoardOutcome& b : boards) {
        if (!b.ended || b.time_utc < since || b.time_utc > now)
            continue;
        ++(b.ok ? t.passed : t.failed);
        t.last_hour += b.time_utc >= hour_ago;
    }
    return t;
}

QVector<SlotCount> slots_of(const QVector<BoardOutcome>& boards, const QDateTime& now, int bins, int slot_minutes)
{
    QVector<SlotCount> halves(bins);
    const qint64 slot_ms = qint64(slot_minutes) * 60000;
    const QDateTime first = now.addMSecs(-slot_ms * bins);
    for (int i = 0; i < bins; ++i)
        halves[i].start = first.addMSecs(slot_ms * i);
    for (const BoardOutcome& b : boards) {
        const qint64 since_first = first.msecsTo(b.time_utc);
        if (!b.ended || since_first < 0 || b.time_utc > now)
            continue;
        const int i = qMin(int(since_first / slot_ms), bins - 1);
        ++(b.ok ? halves[i].passed : halves[i].failed);
    }
    return halves;
}

QVector<LineRow> line_rows(const QVector<BoardOutcome>& boards, const QDateTime& since, const QDateTime& now)
{
    QMap<QString, QVector<BoardOutcome>> by_station;
    for (const BoardOutcome& b : boards)
        by_station[b.station].append(b);
    QVector<LineRow> rows;
    for (auto it = by_station.cbegin(); it != by_station.cend(); ++it) {
        LineRow row;
        row.station = it.key();
        row.tally = tally_of(it.value(), since, now);
        for (const BoardOutcome& b : it.value()) {
            if (b.ended && (!row.last_time.isValid() || b.time_utc >= row.last_time)) {
                row.last_time = b.time_utc;
                row.last_verdict = b.verdict;
            }
        }
        rows.append(row);
    }
    return rows;
}

QDateTime start_of_today(const QDateTime& now)
{
    return QDateTime(now.toLocalTime().date(), QTime(0, 0)).toUTC();
}
