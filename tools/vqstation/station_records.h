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

// The records target of the setup in force, as far as its boards go: they
// wait while it is being opened (a board's vqprog only opens what exists).
// Reads go out only once it is ready, so a read answered while a new setup's
// target is being opened is the old setup's and changes nothing.
struct RecordsGate {
    enum class State { None, Preparing, Ready, Unusable };
    State state = State::None;
    bool were_ready = false;  // opened once in this setup: never created again
    int prepares_pending = 0;

    // A new setup, whose target is then prepared; the prepares of earlier
    // setups still under way stay counted.
    void new_setup()
    {
        state = State::None;
        were_ready = false;
    }
    void preparing()
    {
        state = State::Preparing;
        ++prepares_pending;
    }
    // false: the answer of an earlier setup's prepare, which changes nothing.
    bool prepared(bool ok)
    {
        if (--prepares_pending > 0 || state == State::None)
            return false;
        state = ok ? State::Ready : State::Unusable;
        were_ready = were_ready || ok;
        return true;
    }
    bool read_answered(bool ok)
    {
        if (state == State::Preparing || state == State::None)
            return false;
        state = ok ? State::Ready : State::Unusable;
        return true;
    }
    bool boards_wait() const { return state == State::Preparing; }
};

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
