#include "station_records.h"

#include <QAtomicInt>
#include <memory>

namespace {

// Read by RecordsDb's waits, on the records' threads: set while a window
// closes, so a call on a silent server is given up within a second.
QAtomicInt closing;

}  // namespace

class StationRecordsWorker : public QObject {
    Q_OBJECT

public:
    void prepare(const QString& target, const QString& counter, qint64 start)
    {
        target_ = target;
        QString error;
        db_ = RecordsDb::open(target, RecordsDb::Access::Write, &error);
        if (db_ && !counter.isEmpty() && !db_->add_counter(counter, start, &error))
            db_.reset();
        emit prepared(db_ != nullptr, error);
    }

    void read(const RecordFilter& filter)
    {
        QString error;
        // Opened again after a lost connection, never created: the boards'
        // numbers come from the target that was there at the start.
        if (!db_)
            db_ = RecordsDb::open(target_, RecordsDb::Access::Existing, &error);
        QVector<BoardRecord> records;
        const bool ok = db_ && db_->list(filter, &records, &error);
        // A file has no connection to lose: the one it was is kept, and says
        // it was removed or replaced for as long as it is.
        if (!ok && target_.contains(QLatin1String("://")))
            db_.reset();
        emit read_done(ok, records, error);
    }

    void drop() { db_.reset(); }

signals:
    void prepared(bool ok, const QString& error);
    void read_done(bool ok, const QVector<BoardRecord>& records, const QString& error);

private:
    QString target_;
    std::unique_ptr<RecordsDb> db_;
};

StationRecords::StationRecords(QObject* parent) : QObject(parent), worker_(new StationRecordsWorker)
{
    qRegisterMetaType<QVector<BoardRecord>>("QVector<BoardRecord>");
    closing.storeRelease(0);
    RecordsDb::set_stop_check([] {
        return closing.loadAcquire() ? QStringLiteral("the station is closing") : QString();
    });
    worker_->moveToThread(&thread_);
    connect(&thread_, &QThread::finished, worker_, &QObject::deleteLater);
    connect(worker_, &StationRecordsWorker::prepared, this, [this](bool ok, const QString& error) {
        finished_call();
        emit prepared(ok, error);
        read_waiting_one();
    });
    connect(worker_, &StationRecordsWorker::read_done, this,
            [this](bool ok, const QVector<BoardRecord>& records, const QString& error) {
                finished_call();
                emit read_done(ok, records, error);
                read_waiting_one();
            });
    thread_.start();
}

StationRecords::~StationRecords()
{
    closing.storeRelease(1);
    QMetaObject::invokeMethod(worker_, &StationRecordsWorker::drop, Qt::QueuedConnection);
    thread_.quit();
    thread_.wait();
}

void StationRecords::prepare(const QString& target, const QString& counter, qint64 start)
{
    ++calls_;
    QMetaObject::invokeMethod(worker_, [w = worker_, target, counter, start] { w->prepare(target, counter, start); },
                              Qt::QueuedConnection);
}

void StationRecords::read(const RecordFilter& filter)
{
    if (calls_ > 0) {
        read_waiting_ = true;
        waiting_filter_ = filter;
        return;
    }
    ++calls_;
    QMetaObject::invokeMethod(worker_, [w = worker_, filter] { w->read(filter); }, Qt::QueuedConnection);
}

void StationRecords::read_waiting_one()
{
    if (read_waiting_ && calls_ == 0) {
        read_waiting_ = false;
        read(waiting_filter_);
    }
}

void StationRecords::finished_call()
{
    calls_ = qMax(0, calls_ - 1);
}

#include "station_records.moc"
