#include "records.h"

#include <QAtomicInt>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QSysInfo>
#include <QSemaphore>
#include <QThread>
#include <QUrl>
#include <QUrlQuery>
#include <QVariant>
#include <cstdio>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A gang of boards queues on the write lock; it never fails for that, but a
// lock held for a minute is another client's fault, and is said.
constexpr int kLockWaitLimitMs = 60000;
// One try's wait for a lock: a signal is looked at between tries.
constexpr int kSqliteBusySliceMs = 250;
constexpr char kPgLockTimeout[] = "500ms";
constexpr char kPgStatementTimeout[] = "10s";  // a server that stalls is refused, not waited on for ever
constexpr int kReadBusyTimeoutMs = 60000;  // reading the records has no signal watch: a signal ends it
constexpr int kPgConnectTimeoutS = 10;       // an unreachable server is refused, not waited on for minutes
// A working server answers every statement within its statement_timeout (and
// connects within connect_timeout): one silent for longer is given up on, also
// with connect_timeout=0 or a server frozen mid-statement.
constexpr int kAnswerLimitMs = 15000;
// A stop is answered by the call itself between its tries (naming the lock it
// waited for); one that has not returned by then is waiting on a silent server.
constexpr int kStopGraceMs = 800;
constexpr int kCallPollMs = 50;
// Serialises the creation of the schema by stations starting at once: the
// server's CREATE ... IF NOT EXISTS is not safe against a concurrent twin.
constexpr int kPgSchemaLock = 0x76710001;

const char kTimeFormat[] = "yyyy-MM-dd'T'HH:mm:ss.zzz'Z'";  // fixed width: text order is time order

struct Column {
    const char* name;
    const char* type;
};
// id first, then the record's fields in BoardRecord's order.
const Column kRecordColumns[] = {
    {"time_utc", "TEXT NOT NULL"},  {"station", "TEXT NOT NULL"}, {"port", "TEXT"},
    {"chip_model", "TEXT"},         {"chip_id", "TEXT"},          {"boot_version", "TEXT"},
    {"flash_id", "TEXT"},           {"flash_name", "TEXT"},       {"action", "TEXT"},
    {"image_file", "TEXT"},         {"image_length", "BIGINT"},   {"image_crc", "TEXT"},
    {"stamps", "TEXT"},             {"verdict", "TEXT NOT NULL"}, {"exit_code", "INTEGER"},
    {"seconds", "DOUBLE PRECISION"}, {"bytes_written", "BIGINT"}, {"bytes_skipped", "BIGINT"},
    {"serial", "BIGINT"},           {"counter", "TEXT"},
};

QStringList field_names()
{
    QStringList names;
    for (const Column& c : kRecordColumns)
        names << QLatin1String(c.name);
    return names;
}

QVariant text_or_null(const QString& s)
{
    return s.isEmpty() ? QVariant() : QVariant(s);
}

QVariant number_or_null(qint64 v)
{
    return v < 0 ? QVariant() : QVariant(v);
}

QString hide_password(QUrl url)
{
    if (!url.password().isEmpty())
        url.setPassword(QStringLiteral("***"));
    return url.toString();
}

bool parse_postgres_url(const QString& text, RecordsTarget* t, QString* error)
{
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid()) {
        *error = QStringLiteral("records target %1: not a valid URL: %2").arg(text, url.errorString());
        return false;
    }
    t->kind = RecordsTarget::Kind::Postgres;
    t->display = hide_password(url);
    t->host = url.host(QUrl::FullyDecoded);
    t->port = url.port(-1);
    t->database = url.path(QUrl::FullyDecoded).mid(1);
    t->user = url.userName(QUrl::FullyDecoded);
    t->password = url.password(QUrl::FullyDecoded);
    if (t->database.isEmpty() || t->database.contains(QLatin1Char('/'))) {
        *error = QStringLiteral("records target %1: name the database: postgresql://USER@HOST:PORT/DATABASE")
                     .arg(t->display);
        return false;
    }
    QStringList options;
    bool timeout_given = false;
    for (const auto& item : QUrlQuery(url).queryItems(QUrl::FullyDecoded)) {
        if (item.first == QLatin1String("host")) {
            t->host = item.second;
            continue;
        }
        if (item.first.contains(QLatin1Char(';')) || item.second.contains(QLatin1Char(';')) ||
            item.second.contains(QLatin1Char(' '))) {
            *error = QStringLiteral("records target %1: option %2 holds a ';' or a blank").arg(t->display, item.first);
            return false;
        }
        timeout_given = timeout_given || item.first == QLatin1String("connect_timeout");
        options << item.first + QLatin1Char('=') + item.second;
    }
    if (!timeout_given)
        options << QStringLiteral("connect_timeout=%1").arg(kPgConnectTimeoutS);
    t->options = options.join(QLatin1Char(';'));
    return true;
}

// Opening a file the operator marked read-only would quietly fail on the
// first record (and root, who may write it anyway, should not either).
QString sqlite_file_problem(const QString& path, RecordsDb::Access access)
{
    const QFileInfo file(path);
    const QFileInfo folder(file.absolutePath());
    if (file.isDir())
        return QStringLiteral("it is a folder");
    if (!folder.isDir())
        return QStringLiteral("the folder %1 does not exist").arg(folder.filePath());
    if (access == RecordsDb::Access::Read) {
        if (!file.exists())
            return QStringLiteral("no such file");
        if (!file.isReadable())
            return QStringLiteral("the file cannot be read");
        return QString();
    }
    if (access == RecordsDb::Access::Existing && !file.exists())
        return QStringLiteral("no such file; it was there when the run started");
    const QFileDevice::Permissions any_write =
        QFileDevice::WriteOwner | QFileDevice::WriteGroup | QFileDevice::WriteOther;
    if (file.exists() && (!file.isWritable() || !(file.permissions() & any_write)))
        return QStringLiteral("the file is read-only");
    // SQLite keeps its journal beside the file.
    if (::access(QFile::encodeName(folder.filePath()).constData(), W_OK | X_OK) != 0)
        return QStringLiteral("the folder %1 is not writable (SQLite keeps its journal there)")
            .arg(folder.filePath());
    return QString();
}

std::function<QString()>& stop_check()
{
    static std::function<QString()> check;
    return check;
}

// Another client holds a lock: worth another try.
bool is_busy(const QSqlError& e, bool sqlite)
{
    if (sqlite) {
        const int code = e.nativeErrorCode().toInt() & 0xff;  // extended codes keep the primary one low
        return code == 5 || code == 6;  // SQLITE_BUSY, SQLITE_LOCKED
    }
    // lock_not_available (lock_timeout), deadlock_detected, serialization_failure
    return e.nativeErrorCode() == QLatin1String("55P03") || e.nativeErrorCode() == QLatin1String("40P01") ||
           e.nativeErrorCode() == QLatin1String("40001");
}

// Positional values. The server plans a statement when it is prepared, and
// may wait for a lock there already: a failed prepare is an error of its own.
QSqlError run_statement(QSqlQuery& q, const QString& sql, const QVariantList& values)
{
    if (!q.prepare(sql))
        return q.lastError();
    for (const QVariant& v : values)
        q.addBindValue(v);
    return q.exec() ? QSqlError() : q.lastError();
}

QSqlError refusal(const QString& text)
{
    return QSqlError(QString(), text, QSqlError::UnknownError);
}

QString next_connection_name()
{
    static QAtomicInt counter;
    return QStringLiteral("vq_records_%1").arg(counter.fetchAndAddRelaxed(1));
}

// How a record that could not be written is named.
QString record_loss_text(const BoardRecord& r)
{
    QString which = QStringLiteral("record of %1 on %2").arg(r.action, r.port.isEmpty() ? QStringLiteral("-") : r.port);
    if (r.serial >= 0)
        which += QStringLiteral(" (serial %1)").arg(r.serial);
    return which + QStringLiteral(", ") + r.verdict + QStringLiteral(", could not be written");
}

BoardRecord record_from(const QSqlQuery& q)
{
    const auto text = [&q](int i) { return q.value(i).toString(); };
    const auto number = [&q](int i) { return q.value(i).isNull() ? qint64(-1) : q.value(i).toLongLong(); };
    BoardRecord r;
    int i = 0;
    r.id = q.value(i++).toLongLong();
    r.time_utc = QDateTime::fromString(text(i++), Qt::ISODateWithMs);
    r.station = text(i++);
    r.port = text(i++);
    r.chip_model = text(i++);
    r.chip_id = text(i++);
    r.boot_version = text(i++);
    r.flash_id = text(i++);
    r.flash_name = text(i++);
    r.action = text(i++);
    r.image_file = text(i++);
    r.image_length = number(i++);
    r.image_crc = text(i++);
    r.stamps = text(i++).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    r.verdict = text(i++);
    r.exit_code = q.value(i++).toInt();
    r.seconds = q.value(i++).toDouble();
    r.bytes_written = number(i++);
    r.bytes_skipped = number(i++);
    r.serial = number(i++);
    r.counter = text(i++);
    return r;
}

}  // namespace

bool parse_records_target(const QString& text, RecordsTarget* target, QString* error)
{
    *target = RecordsTarget();
    if (text.isEmpty()) {
        *error = QStringLiteral("records target is empty: a file or a postgresql:// URL");
        return false;
    }
    if (text.startsWith(QLatin1String("postgresql://")) || text.startsWith(QLatin1String("postgres://")))
        return parse_postgres_url(text, target, error);
    if (text.contains(QLatin1String("://"))) {
        *error = QStringLiteral("records target %1: a file or a postgresql:// URL").arg(text);
        return false;
    }
    target->kind = RecordsTarget::Kind::Sqlite;
    target->path = QFileInfo(text).absoluteFilePath();
    target->display = text;
    return true;
}

QStringList record_column_names()
{
    return QStringList{QStringLiteral("id")} + field_names();
}

QDateTime parse_since(const QString& text)
{
    QDateTime t;
    const QDate day = QDate::fromString(text, Qt::ISODate);
    if (day.isValid() && text.size() == 10)
        t = QDateTime(day, QTime(0, 0), Qt::UTC);
    else
        t = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (t.isValid() && t.timeSpec() == Qt::LocalTime)
        t.setTimeSpec(Qt::UTC);  // a time without a zone is a time of the records: UTC
    return t.isValid() ? t.toUTC() : QDateTime();
}


// The database work proper. Made, used and dropped on one thread (Qt's SQL
// connections belong to the thread that opened them): RecordsDb's worker.
class RecordsDb::Connection {
public:
    static std::unique_ptr<Connection> open(const QString& target, Access access, std::function<void()> heard,
                                            QString* error);
    ~Connection();
    bool add_counter(const QString& counter, qint64 start, QString* error);
    bool take_serial(const QString& counter, qint64 start, qint64* serial, QString* error);
    bool add(const BoardRecord& record, QString* error);
    bool list(const RecordFilter& filter, QVector<BoardRecord>* records, QString* error);
    int schema_version() const { return schema_version_; }

private:
    Connection(const RecordsTarget& target, const QString& connection, Access access);
    bool ensure_schema(QString* error);
    // Runs a write (one statement, or a transaction) until it is through.
    bool write(bool transaction, const std::function<QSqlError(QSqlQuery&)>& body, QString* reason);
    QString file_replaced() const;
    void rollback();
    QString failure(const QString& what, const QString& reason) const;

    RecordsTarget target_;
    QString connection_;
    Access access_;
    std::function<void()> heard_;  // the database answered: the caller's silence clock starts again
    quint64 file_id_[2] = {0, 0};  // SQLite: the file's device and inode, as opened
    int schema_version_ = 0;
};

RecordsDb::Connection::Connection(const RecordsTarget& target, const QString& connection, Access access)
    : target_(target), connection_(connection), access_(access)
{
}

void RecordsDb::set_stop_check(std::function<QString()> check)
{
    stop_check() = std::move(check);
}

RecordsDb::Connection::~Connection()
{
    {
        QSqlDatabase db = QSqlDatabase::database(connection_, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(connection_);
}

QString RecordsDb::default_station()
{
    return QSysInfo::machineHostName();
}

QString RecordsDb::Connection::failure(const QString& what, const QString& reason) const
{
    return QStringLiteral("records %1: %2: %3").arg(target_.display, what, reason.trimmed());
}

std::unique_ptr<RecordsDb::Connection> RecordsDb::Connection::open(const QString& text, Access access,
                                                                  std::function<void()> heard, QString* error)
{
    RecordsTarget target;
    if (!parse_records_target(text, &target, error))
        return nullptr;
    const bool sqlite = target.kind == RecordsTarget::Kind::Sqlite;
    const QString driver = sqlite ? QStringLiteral("QSQLITE") : QStringLiteral("QPSQL");
    if (!QSqlDatabase::isDriverAvailable(driver)) {
        *error = QStringLiteral("records %1: cannot open: Qt's %2 driver is not installed (Debian: %3)")
                     .arg(target.display, driver,
                          sqlite ? QStringLiteral("libqt5sql5-sqlite") : QStringLiteral("libqt5sql5-psql"));
        return nullptr;
    }
    if (sqlite) {
        const QString problem = sqlite_file_problem(target.path, access);
        if (!problem.isEmpty()) {
            *error = QStringLiteral("records %1: cannot open: %2").arg(target.display, problem);
            return nullptr;
        }
    }

    std::unique_ptr<Connection> records(new Connection(target, next_connection_name(), access));
    records->heard_ = std::move(heard);
    QSqlDatabase db = QSqlDatabase::addDatabase(driver, records->connection_);
    if (sqlite) {
        db.setDatabaseName(target.path);
        QString options = QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1")
                              .arg(access == Access::Read ? kReadBusyTimeoutMs : kSqliteBusySliceMs);
        if (access == Access::Read)
            options += QStringLiteral(";QSQLITE_OPEN_READONLY");
        db.setConnectOptions(options);
    } else {
        db.setHostName(target.host);
        if (target.port >= 0)
            db.setPort(target.port);
        db.setDatabaseName(target.database);
        db.setUserName(target.user);
        db.setPassword(target.password);
        db.setConnectOptions(target.options);
    }
    if (!db.open()) {
        *error = records->failure(QStringLiteral("cannot open"), db.lastError().text());
        return nullptr;
    }
    records->heard_();
    // The server's notes on tables that already exist are no news to an operator.
    if (!sqlite) {
        QSqlQuery(db).exec(QStringLiteral("SET client_min_messages TO WARNING"));
        if (access != Access::Read) {
            QSqlQuery(db).exec(QStringLiteral("SET lock_timeout = '%1'").arg(QLatin1String(kPgLockTimeout)));
            QSqlQuery(db).exec(QStringLiteral("SET statement_timeout = '%1'").arg(QLatin1String(kPgStatementTimeout)));
        }
    }
    if (!records->ensure_schema(error))
        return nullptr;
    struct stat st {};
    if (sqlite && ::stat(QFile::encodeName(target.path).constData(), &st) == 0) {
        records->file_id_[0] = st.st_dev;
        records->file_id_[1] = st.st_ino;
    }
    return records;
}

// A file removed (or replaced) under a run would take the rest of the run's
// records with it, and a new file would hand out the counter's numbers again.
QString RecordsDb::Connection::file_replaced() const
{
    if (target_.kind != RecordsTarget::Kind::Sqlite || file_id_[1] == 0)
        return QString();
    struct stat st {};
    if (::stat(QFile::encodeName(target_.path).constData(), &st) != 0 || quint64(st.st_dev) != file_id_[0] ||
        quint64(st.st_ino) != file_id_[1])
        return QStringLiteral("the file was removed or replaced since the run started; nothing more is written to it");
    return QString();
}

bool RecordsDb::Connection::write(bool transaction, const std::function<QSqlError(QSqlQuery&)>& body, QString* reason)
{
    const QSqlDatabase db = QSqlDatabase::database(connection_, false);
    const bool sqlite = target_.kind == RecordsTarget::Kind::Sqlite;
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        const qint64 try_started = clock.elapsed();
        heard_();
        *reason = file_replaced();
        if (!reason->isEmpty())
            return false;
        if (!db.isOpen()) {
            *reason = QStringLiteral("the connection was lost");
            return false;
        }
        QSqlQuery q(db);
        QSqlError e;
        if (transaction && !q.exec(sqlite ? QStringLiteral("BEGIN IMMEDIATE") : QStringLiteral("BEGIN")))
            e = q.lastError();
        if (!e.isValid())
            e = body(q);
        if (!e.isValid() && transaction) {
            q.finish();
            if (!q.exec(QStringLiteral("COMMIT")))
                e = q.lastError();
        }
        if (!e.isValid())
            return true;
        q.finish();
        if (transaction)
            rollback();
        *reason = e.text().trimmed();
        if (!is_busy(e, sqlite))
            return false;
        const QString stop = stop_check() ? stop_check()() : QString();
        if (!stop.isEmpty()) {
            *reason = stop + QStringLiteral(" while waiting for a lock another client holds");
            return false;
        }
        if (clock.elapsed() >= kLockWaitLimitMs) {
            *reason = sqlite ? QStringLiteral("another client held the database locked for %1 s (SQLite busy time-out)")
                                   .arg(kLockWaitLimitMs / 1000)
                             : QStringLiteral("another client held a lock for %1 s (PostgreSQL lock_timeout %2, "
                                              "tried again until then)")
                                   .arg(kLockWaitLimitMs / 1000)
                                   .arg(QLatin1String(kPgLockTimeout));
            return false;
        }
        // A lock refused at once (a deadlock broken by the server) is not hammered.
        if (clock.elapsed() - try_started < kSqliteBusySliceMs / 5)
            QThread::msleep(kSqliteBusySliceMs / 5);
    }
}

void RecordsDb::Connection::rollback()
{
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.exec(QStringLiteral("ROLLBACK"));
}

bool RecordsDb::Connection::ensure_schema(QString* error)
{
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    const bool sqlite = target_.kind == RecordsTarget::Kind::Sqlite;
    const QString version_query = QStringLiteral("SELECT value FROM vq_meta WHERE key = 'schema_version'");
    const auto read_version = [&](QSqlQuery& q) {
        if (!q.exec(version_query))
            return q.lastError();
        if (!q.next())
            return refusal(QStringLiteral("no records kept here (no schema version)"));
        schema_version_ = q.value(0).toInt();
        return QSqlError();
    };

    QString reason;
    if (access_ == Access::Read) {
        QSqlQuery q(db);
        const QSqlError e = read_version(q);
        reason = e.text();
        if (e.isValid()) {
            *error = failure(QStringLiteral("cannot open"), reason);
            return false;
        }
    } else {
        QStringList statements;
        if (access_ == Access::Write) {
            QStringList columns;
            for (const Column& c : kRecordColumns)
                columns << QStringLiteral("%1 %2").arg(QLatin1String(c.name), QLatin1String(c.type));
            const QString id = sqlite ? QStringLiteral("id INTEGER PRIMARY KEY AUTOINCREMENT")
                                      : QStringLiteral("id BIGSERIAL PRIMARY KEY");
            if (!sqlite)
                statements << QStringLiteral("SELECT pg_advisory_xact_lock(%1)").arg(kPgSchemaLock);
            statements << QStringLiteral("CREATE TABLE IF NOT EXISTS vq_meta (key TEXT PRIMARY KEY, value TEXT NOT NULL)")
                       << QStringLiteral("CREATE TABLE IF NOT EXISTS vq_counters (name TEXT PRIMARY KEY, next_value BIGINT NOT NULL)")
                       << QStringLiteral("CREATE TABLE IF NOT EXISTS vq_records (%1, %2)").arg(id, columns.join(QStringLiteral(", ")))
                       << QStringLiteral("CREATE INDEX IF NOT EXISTS vq_records_serial ON vq_records (serial)")
                       << QStringLiteral("INSERT INTO vq_meta (key, value) VALUES ('schema_version', '%1') "
                                         "ON CONFLICT (key) DO NOTHING")
                              .arg(kRecordsSchemaVersion);
        }
        // A real write, so a database this user may only read is refused now, not at the first board.
        statements << QStringLiteral("UPDATE vq_meta SET value = value WHERE key = 'schema_version'");
        const auto body = [&](QSqlQuery& q) {
            for (const QString& statement : statements) {
                if (!q.exec(statement))
                    return q.lastError();
            }
            const QSqlError e = read_version(q);
            q.finish();
            return e;
        };
        if (!write(true, body, &reason)) {
            if (access_ == Access::Existing && schema_version_ == 0)
                reason += QStringLiteral("; it held records when the run started");
            *error = failure(QStringLiteral("cannot open"), reason);
            return false;
        }
    }
    if (schema_version_ < 1 || schema_version_ > kRecordsSchemaVersion) {
        *error = failure(QStringLiteral("cannot open"),
                         QStringLiteral("schema version %1; this vqprog knows version %2")
                             .arg(schema_version_)
                             .arg(kRecordsSchemaVersion));
        return false;
    }
    return true;
}

bool RecordsDb::Connection::add_counter(const QString& counter, qint64 start, QString* error)
{
    QString reason;
    const bool ok = write(true, [&](QSqlQuery& q) {
        QSqlError e;
        if (start >= 0)
            e = run_statement(q, QStringLiteral("INSERT INTO vq_counters (name, next_value) VALUES (?, ?) "
                                                "ON CONFLICT (name) DO NOTHING"),
                              {counter, start});
        if (!e.isValid())
            e = run_statement(q, QStringLiteral("SELECT 1 FROM vq_counters WHERE name = ?"), {counter});
        if (e.isValid())
            return e;
        const bool found = q.next();
        q.finish();
        return found ? QSqlError() : refusal(QStringLiteral("no such counter; give --serial-start N the first time"));
    }, &reason);
    if (!ok)
        *error = failure(QStringLiteral("counter %1").arg(counter), reason);
    return ok;
}

bool RecordsDb::Connection::take_serial(const QString& counter, qint64 start, qint64* serial, QString* error)
{
    if (start >= 0 && !add_counter(counter, start, error))
        return false;
    QString reason;
    qint64 taken = -1;
    const bool sqlite = target_.kind == RecordsTarget::Kind::Sqlite;
    const bool ok = write(true, [&](QSqlQuery& q) {
        // SQLite holds the write lock since BEGIN IMMEDIATE; the server locks the row.
        const QSqlError e = run_statement(
            q, QStringLiteral("SELECT next_value FROM vq_counters WHERE name = ?%1").arg(sqlite ? "" : " FOR UPDATE"),
            {counter});
        if (e.isValid())
            return e;
        if (!q.next())
            return refusal(access_ == Access::Existing ? QStringLiteral("no such counter; it was there when the run started")
                                                       : QStringLiteral("no such counter; give --serial-start N the first time"));
        taken = q.value(0).toLongLong();
        q.finish();
        // SQLite would carry on in floating point, the server would refuse: say why first.
        if (taken == std::numeric_limits<qint64>::max())
            return refusal(QStringLiteral("it is at %1, the largest serial number; the next would pass it").arg(taken));
        return run_statement(q, QStringLiteral("UPDATE vq_counters SET next_value = next_value + 1 WHERE name = ?"),
                             {counter});
    }, &reason);
    if (!ok) {
        *error = failure(QStringLiteral("cannot take a number from counter %1").arg(counter), reason);
        return false;
    }
    *serial = taken;
    return true;
}

bool RecordsDb::Connection::add(const BoardRecord& r, QString* error)
{
    const QString which = record_loss_text(r);
    const QStringList names = field_names();
    const QDateTime time = r.time_utc.isValid() ? r.time_utc : QDateTime::currentDateTimeUtc();
    const QVariantList values = {
        time.toUTC().toString(QLatin1String(kTimeFormat)),
        r.station.isEmpty() ? default_station() : r.station,
        text_or_null(r.port),
        text_or_null(r.chip_model),
        text_or_null(r.chip_id),
        text_or_null(r.boot_version),
        text_or_null(r.flash_id),
        text_or_null(r.flash_name),
        text_or_null(r.action),
        text_or_null(r.image_file),
        number_or_null(r.image_length),
        text_or_null(r.image_crc),
        text_or_null(r.stamps.join(QLatin1Char(' '))),
        r.verdict,
        r.exit_code,
        r.seconds,
        number_or_null(r.bytes_written),
        number_or_null(r.bytes_skipped),
        number_or_null(r.serial),
        text_or_null(r.counter),
    };
    // Outside any transaction the insert commits on its own: once it is
    // through, the row is on disk (SQLite) or committed (the server).
    QString reason;
    if (!write(false, [&](QSqlQuery& q) {
            return run_statement(q,
                                 QStringLiteral("INSERT INTO vq_records (%1) VALUES (?%2)")
                                     .arg(names.join(QStringLiteral(", ")), QStringLiteral(", ?").repeated(names.size() - 1)),
                                 values);
        }, &reason)) {
        *error = failure(which, reason);
        return false;
    }
    return true;
}

bool RecordsDb::Connection::list(const RecordFilter& filter, QVector<BoardRecord>* records, QString* error)
{
    QStringList where;
    if (filter.serial >= 0)
        where << QStringLiteral("serial = :serial");
    if (filter.since.isValid())
        where << QStringLiteral("time_utc >= :since");
    if (!filter.station.isEmpty())
        where << QStringLiteral("station = :station");
    QString sql = QStringLiteral("SELECT %1 FROM vq_records").arg(record_column_names().join(QStringLiteral(", ")));
    if (!where.isEmpty())
        sql += QStringLiteral(" WHERE ") + where.join(QStringLiteral(" AND "));
    sql += QStringLiteral(" ORDER BY id");

    const QString replaced = file_replaced();
    if (!replaced.isEmpty()) {
        *error = failure(QStringLiteral("cannot read the records"), replaced);
        return false;
    }
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.setForwardOnly(true);
    q.prepare(sql);
    if (filter.serial >= 0)
        q.bindValue(QStringLiteral(":serial"), filter.serial);
    if (filter.since.isValid())
        q.bindValue(QStringLiteral(":since"), filter.since.toUTC().toString(QLatin1String(kTimeFormat)));
    if (!filter.station.isEmpty())
        q.bindValue(QStringLiteral(":station"), filter.station);
    if (!q.exec()) {
        *error = failure(QStringLiteral("cannot read the records"), q.lastError().text());
        return false;
    }
    while (q.next())
        records->append(record_from(q));
    return true;
}

struct RecordsDb::Worker {
    QThread thread;
    QObject context;  // lives on thread: jobs are queued to it
    std::unique_ptr<Connection> connection;
    QSemaphore done;
    QElapsedTimer clock;
    QAtomicInteger<qint64> heard_ms{0};
    int answer_limit_ms = kAnswerLimitMs;
};

namespace {
QAtomicInt given_up_calls;
}

bool RecordsDb::any_given_up()
{
    return given_up_calls.loadAcquire() > 0;
}

void RecordsDb::quick_exit(int code)
{
    std::fflush(stdout);
    std::fflush(stderr);
    ::_exit(code);
}

int RecordsDb::quick_exit_if_given_up(int code)
{
    if (any_given_up())
        quick_exit(code);
    return code;
}

bool RecordsDb::call(const QString& what, const std::function<bool(Connection*, QString*)>& job, QString* error)
{
    const auto fail = [&](const QString& reason) {
        *error = QStringLiteral("records %1: %2: %3").arg(display_, what, reason);
        return false;
    };
    if (!given_up_.isEmpty())
        return fail(given_up_);
    Worker* w = worker_;
    // Written on the worker, read here only once the job has released `done`.
    auto answer = std::make_shared<std::pair<bool, QString>>(false, QString());
    w->heard_ms.storeRelease(w->clock.elapsed());
    QMetaObject::invokeMethod(&w->context, [w, job, answer] {
        answer->first = job(w->connection.get(), &answer->second);
        w->done.release();
    }, Qt::QueuedConnection);
    qint64 stop_seen = -1;
    for (;;) {
        if (w->done.tryAcquire(1, kCallPollMs)) {
            if (!answer->first)
                *error = answer->second;
            return answer->first;
        }
        const qint64 now = w->clock.elapsed();
        QString reason;
        const QString stop = stop_check() ? stop_check()() : QString();
        if (!stop.isEmpty() && stop_seen < 0)
            stop_seen = now;
        if (stop_seen >= 0 && now - stop_seen >= kStopGraceMs)
            reason = stop + QStringLiteral(" while waiting for the database to answer");
        else if (now - w->heard_ms.loadAcquire() >= w->answer_limit_ms)
            reason = QStringLiteral("no answer from the database within %1 s; given up").arg(w->answer_limit_ms / 1000);
        if (!reason.isEmpty()) {
            given_up_ = reason;
            given_up_calls.fetchAndAddOrdered(1);
            return fail(reason);
        }
    }
}

std::unique_ptr<RecordsDb> RecordsDb::open(const QString& text, Access access, QString* error)
{
    RecordsTarget target;
    if (!parse_records_target(text, &target, error))
        return nullptr;
    std::unique_ptr<RecordsDb> records(new RecordsDb);
    records->display_ = target.display;
    auto* w = new Worker;
    records->worker_ = w;
    w->clock.start();
    // A read may wait out another client's write lock in one statement.
    if (target.kind == RecordsTarget::Kind::Sqlite && access == Access::Read)
        w->answer_limit_ms = kReadBusyTimeoutMs + kAnswerLimitMs;
    w->context.moveToThread(&w->thread);
    w->thread.start();
    auto version = std::make_shared<int>(0);
    const bool ok = records->call(QStringLiteral("cannot open"), [w, text, access, version](Connection*, QString* e) {
        w->connection = Connection::open(text, access, [w] { w->heard_ms.storeRelease(w->clock.elapsed()); }, e);
        if (w->connection)
            *version = w->connection->schema_version();
        return w->connection != nullptr;
    }, error);
    if (!ok)
        return nullptr;
    records->schema_version_ = *version;
    return records;
}

RecordsDb::~RecordsDb()
{
    if (given_up_.isEmpty()) {
        QString ignored;
        Worker* w = worker_;
        call(QString(), [w](Connection*, QString*) {
            w->connection.reset();
            return true;
        }, &ignored);
    }
    // A thread still inside the driver is left to the process's end.
    if (!given_up_.isEmpty())
        return;
    worker_->thread.quit();
    worker_->thread.wait();
    delete worker_;
}

bool RecordsDb::add_counter(const QString& counter, qint64 start, QString* error)
{
    return call(QStringLiteral("counter %1").arg(counter),
                [=](Connection* c, QString* e) { return c->add_counter(counter, start, e); }, error);
}

bool RecordsDb::take_serial(const QString& counter, qint64 start, qint64* serial, QString* error)
{
    auto taken = std::make_shared<qint64>(-1);
    if (!call(QStringLiteral("cannot take a number from counter %1").arg(counter),
              [=](Connection* c, QString* e) { return c->take_serial(counter, start, taken.get(), e); }, error))
        return false;
    *serial = *taken;
    return true;
}

bool RecordsDb::add(const BoardRecord& record, QString* error)
{
    return call(record_loss_text(record), [=](Connection* c, QString* e) { return c->add(record, e); }, error);
}

bool RecordsDb::list(const RecordFilter& filter, QVector<BoardRecord>* records, QString* error)
{
    auto out = std::make_shared<QVector<BoardRecord>>();
    if (!call(QStringLiteral("cannot read the records"),
              [=](Connection* c, QString* e) { return c->list(filter, out.get(), e); }, error))
        return false;
    *records += *out;
    return true;
}
