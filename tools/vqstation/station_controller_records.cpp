// The station's records: opened once a setup, read every few seconds, on
// StationRecords' thread; the counters, the chart and the line view come
// from what the reads answer.

#include "records.h"
#include "socket_run.h"
#include "station_controller.h"

namespace {
constexpr int kChartSlots = 16;        // eight hours...
constexpr int kChartSlotMinutes = 30;  // ...in half hours
}  // namespace

void StationController::refresh_records()
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (setup_.records.isEmpty()) {
        show_tally(tally_of(session_boards_, start_of_today(now), now));
        return;
    }
    if (records_gate_.boards_wait())
        return;
    if (!records_gate_.were_ready) {
        // Not there at the start (a server down, a folder not yet mounted): tried again.
        prepare_records();
        return;
    }
    const QDateTime today = start_of_today(now);
    const QDateTime chart_start = now.addSecs(-qint64(kChartSlots + 1) * kChartSlotMinutes * 60);
    RecordFilter filter;
    filter.since = qMin(today, chart_start).addSecs(-3600);  // a board's first record may predate its end
    if (!setup_.records.startsWith(QLatin1String("postgres")))
        filter.station = station_name();
    records_->read(filter);
}

void StationController::prepare_records()
{
    records_gate_.preparing();
    records_->prepare(setup_.records, setup_.serial_counter, setup_.serial_start);
}

void StationController::records_prepared(bool ok, const QString& error)
{
    // Only the last setup's answer counts.
    if (!records_gate_.prepared(ok))
        return;
    if (ok)
        emit records_text_changed(QString(), false);
    else
        show_records_problem(error);
    // Boards that came meanwhile run now; without usable records each fails
    // with its own vqprog's reason.
    pump_starts();
    if (ok)
        refresh_records();
}

void StationController::show_records_problem(const QString& error)
{
    emit records_text_changed(QStringLiteral("Records cannot be used: ") + error, true);
}

void StationController::records_read(bool ok, const QVector<BoardRecord>& records, const QString& error)
{
    if (setup_.records.isEmpty() || closing_ || !records_gate_.read_answered(ok))
        return;
    if (!ok) {
        show_records_problem(error);
        emit counters_changed(QStringLiteral("Today: no counters while the records cannot be read"));
        return;
    }
    emit records_text_changed(QString(), false);
    for (int i = serial_lookups_.size() - 1; i >= 0; --i) {
        SerialLookup& l = serial_lookups_[i];
        bool found = false;
        for (const BoardRecord& r : records) {
            if (l.socket && r.port == l.port && r.serial >= 0 && r.time_utc >= l.since && r.station == station_name()) {
                l.socket->set_serial(r.serial);
                found = true;
            }
        }
        if (found || !l.socket || ++l.reads >= 2)
            serial_lookups_.removeAt(i);
    }
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QDateTime today = start_of_today(now);
    // This station's boards whose child runs now have not ended yet; any
    // other without its end record has: its vqprog was killed.
    QSet<QString> running_ports;
    for (const SocketRun* s : sockets_) {
        if (s->running())
            running_ports.insert(s->device());
    }
    const QString me = station_name();
    const QVector<BoardOutcome> all = boards_of(records, [&](const BoardOutcome& b) {
        return b.station != me || running_ports.contains(b.port);
    });
    QVector<BoardOutcome> mine;
    for (const BoardOutcome& b : all) {
        if (b.station == me)
            mine.append(b);
    }
    show_tally(tally_of(mine, today, now));
    // The slots end at the next half hour, so each covers :00 to :30 or :30 to :00.
    const qint64 slot_secs = kChartSlotMinutes * 60;
    const QDateTime chart_end = QDateTime::fromSecsSinceEpoch((now.toSecsSinceEpoch() / slot_secs + 1) * slot_secs, Qt::UTC);
    emit chart_changed(slots_of(mine, chart_end, kChartSlots, kChartSlotMinutes));
    if (setup_.records.startsWith(QLatin1String("postgres")))
        emit line_changed(line_rows(all, today, now));
}

void StationController::show_tally(const StationTally& t)
{
    emit counters_changed(QStringLiteral("Today: passed %1   failed %2   yield %3   boards per hour %4")
                              .arg(t.passed)
                              .arg(t.failed)
                              .arg(t.yield() < 0 ? QStringLiteral("-") : QStringLiteral("%1 %").arg(t.yield(), 0, 'f', 1))
                              .arg(t.last_hour));
}

// A finished board in the counters: at once without records, else from the
// next read, which also brings a PASS tile its serial number.
void StationController::board_counted(SocketRun* socket)
{
    if (setup_.records.isEmpty()) {
        BoardOutcome b;
        b.station = station_name();
        b.time_utc = QDateTime::currentDateTimeUtc();
        b.ok = socket->state() == TileState::Pass;
        session_boards_.append(b);
        show_tally(tally_of(session_boards_, start_of_today(b.time_utc), b.time_utc));
        return;
    }
    if (socket->state() == TileState::Pass)
        serial_lookups_.append({socket, socket->device(),
                                QDateTime::currentDateTimeUtc().addMSecs(-qint64(socket->seconds() * 1000) - 2000)});
    refresh_records();
}
