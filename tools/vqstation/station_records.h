#pragma once

// The station's side of the records, on a thread of its own: the window
// asks and is answered by a signal, so a database that is slow, lost or
// silent never stops it painting, hearing its boards or closing. Each call
// is bounded by RecordsDb (its answer limit, and the close of the window).

#include <QObject>
#include <QThread>
#include <QVector>

#include "records.h"

class StationRecordsWorker;

class StationRecords : public QObject {
    Q_OBJECT

public:
    explicit StationRecords(QObject* parent = nullptr);
    ~StationRecords() override;

    // Opens the target, creating it and the counter (at start, when the
    // counter is new) where missing: the one thing the station creates, once
    // per setup, before its boards' vqprog only open what exists.
    void prepare(const QString& target, const QString& counter, qint64 start);
    // Reads the records; a read asked for while one is under way follows it.
    void read(const RecordFilter& filter);

signals:
    void prepared(bool ok, const QString& error);
    void read_done(bool ok, const QVector<BoardRecord>& records, const QString& error);

private:
    void finished_call();
    void read_waiting_one();

    QThread thread_;
    StationRecordsWorker* worker_ = nullptr;
    int calls_ = 0;
    bool read_waiting_ = false;
    RecordFilter waiting_filter_;
};
