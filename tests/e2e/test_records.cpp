// The production records on the real things: an SQLite file and a
// PostgreSQL server this test starts for itself; the records are read back
// with the built vqprog. Numbers taken by several stations at once, and a
// server that goes away, are judged where vqprog runs a line of boards.

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>
#include <thread>

#include "pg_server.h"
#include "records.h"
#include "records_command.h"

namespace {

constexpr int kRunTimeoutMs = 120000;
BoardRecord sample(const QString& station, qint64 serial, const QString& verdict, const QString& time)
{
    BoardRecord r;
    r.time_utc = QDateTime::fromString(time, Qt::ISODate);
    r.station = station;
    r.port = QStringLiteral("/dev/ttyACM0");
    r.chip_model = QStringLiteral("VQ4410");
    r.chip_id = QStringLiteral("0x44100001");
    r.boot_version = QStringLiteral("1.2");
    r.flash_id = QStringLiteral("0xEF4017");
    r.flash_name = QStringLiteral("W25Q64, \"8 MB\"");  // a comma and quotes: CSV must quote it
    r.action = QStringLiteral("update-flash");
    r.image_file = QStringLiteral("app \"v2\".bin");  // quotes and no comma: CSV must quote it too
    r.image_length = 4096;
    r.image_crc = QStringLiteral("0x1234ABCD");
    r.stamps = QStringList{QStringLiteral("flash@0x100=%1").arg(serial, 10, 10, QLatin1Char('0')),
                           QStringLiteral("mcu@0x200=02:00:5E:00:00:10")};
    r.verdict = verdict;
    r.exit_code = verdict == QLatin1String(verdicts::kOk) ? 0 : 1;
    r.seconds = 1.5;
    r.bytes_written = 4096;
    r.bytes_skipped = 0;
    r.serial = serial;
    r.counter = QStringLiteral("line1");
    return r;
}

}  // namespace

class RecordsTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void schema_and_version_data();
    void schema_and_version();
    void refused_at_open_data();
    void refused_at_open();
    void lock_held_past_the_answer_limit();
    void records_command_data();
    void records_command();
    void csv_field_data();
    void csv_field();

private:
    RecordsStores stores_;
};

void RecordsTest::initTestCase()
{
    QString error;
    QVERIFY2(stores_.start(&error), qPrintable(error));
}

void RecordsTest::schema_and_version_data()
{
    RecordsStores::add_rows();
}

void RecordsTest::schema_and_version()
{
    QFETCH(QString, backend);
    const QString target = stores_.fresh(backend);
    QString error;
    {
        // Reading a database that was never written is refused, and creates nothing.
        QVERIFY(!RecordsDb::open(target, RecordsDb::Access::Read, &error));
        QVERIFY2(error.contains("cannot open"), qPrintable(error));
    }
    {
        const auto db = RecordsDb::open(target, RecordsDb::Access::Write, &error);
        QVERIFY2(db, qPrintable(error));
        QCOMPARE(db->schema_version(), kRecordsSchemaVersion);
        QVERIFY2(db->add(sample("st1", 7, verdicts::kOk, "2024-05-01T10:00:00Z"), &error), qPrintable(error));
    }
    // Opened again: the schema and its row are kept, the version is read back.
    const auto again = RecordsDb::open(target, RecordsDb::Access::Write, &error);
    QVERIFY2(again, qPrintable(error));
    QVector<BoardRecord> all;
    QVERIFY2(again->list({}, &all, &error), qPrintable(error));
    QCOMPARE(all.size(), 1);
    const BoardRecord& r = all[0];
    const BoardRecord want = sample("st1", 7, verdicts::kOk, "2024-05-01T10:00:00Z");
    QCOMPARE(r.time_utc, want.time_utc);
    QCOMPARE(r.flash_name, want.flash_name);
    QCOMPARE(r.stamps, want.stamps);
    QCOMPARE(r.image_crc, want.image_crc);
    QCOMPARE(r.serial, qint64(7));
    QCOMPARE(r.bytes_skipped, qint64(0));

    // Counters are independent; a new start for an existing one is ignored,
    // and an unknown one needs a start.
    qint64 serial = -1;
    for (qint64 want : {5, 6}) {
        QVERIFY2(again->take_serial("line2", 5, &serial, &error), qPrintable(error));
        QCOMPARE(serial, want);
    }
    QVERIFY2(again->take_serial("line1", 100, &serial, &error), qPrintable(error));
    QCOMPARE(serial, qint64(100));
    QVERIFY(!again->take_serial("line3", -1, &serial, &error));
    QVERIFY2(error.contains("counter line3: no such counter; give --serial-start N"), qPrintable(error));

    // A database written by a later vqprog is not written by this one.
    {
        QSqlDatabase raw = backend == "sqlite" ? QSqlDatabase::addDatabase("QSQLITE", "raw")
                                               : QSqlDatabase::addDatabase("QPSQL", "raw");
        if (backend == "sqlite") {
            raw.setDatabaseName(target);
        } else {
            raw.setHostName("127.0.0.1");
            raw.setPort(stores_.server().port());
            raw.setUserName("vq");
            raw.setDatabaseName(target.section('/', -1));
        }
        QVERIFY(raw.open());
        QVERIFY(QSqlQuery(raw).exec("UPDATE vq_meta SET value = '99' WHERE key = 'schema_version'"));
        raw.close();
    }
    QSqlDatabase::removeDatabase("raw");
    for (auto access : {RecordsDb::Access::Write, RecordsDb::Access::Read}) {
        QVERIFY(!RecordsDb::open(target, access, &error));
        QVERIFY2(error.contains("schema version 99; this vqprog knows version 1"), qPrintable(error));
    }
}

void RecordsTest::refused_at_open_data()
{
    QTest::addColumn<QString>("target");  // "{dir}" stands for the test's folder
    QTest::addColumn<QString>("message");
    QTest::newRow("a folder") << "{dir}" << "records {dir}: cannot open: it is a folder";
    QTest::newRow("no such folder") << "{dir}/missing/r.db" << "cannot open: the folder {dir}/missing does not exist";
    QTest::newRow("not a database") << "{dir}/garbage.db" << "records {dir}/garbage.db: cannot open: ";
    QTest::newRow("no database named") << "postgresql://127.0.0.1:5432" << "name the database";
    QTest::newRow("other scheme") << "mysql://127.0.0.1/line" << "a file or a postgresql:// URL";
    QTest::newRow("a server that never answers") << "postgresql://vq@127.0.0.1:{silent}/line"
                                                 << "records postgresql://vq@127.0.0.1:{silent}/line: cannot open: ";
}

void RecordsTest::refused_at_open()
{
    QFETCH(QString, target);
    QFETCH(QString, message);
    // A listening socket that never speaks: the kernel accepts for it, and the client waits for a greeting.
    const int silent = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    QVERIFY(::bind(silent, reinterpret_cast<sockaddr*>(&addr), len) == 0 && ::listen(silent, 8) == 0 &&
            ::getsockname(silent, reinterpret_cast<sockaddr*>(&addr), &len) == 0);
    const struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{silent};
    for (QString* s : {&target, &message})
        s->replace("{dir}", stores_.dir()).replace("{silent}", QString::number(ntohs(addr.sin_port)));
    QFile garbage(stores_.dir() + "/garbage.db");  // a file that is not SQLite
    QVERIFY(garbage.open(QIODevice::WriteOnly) && garbage.write(QByteArray(4096, 'x')) == 4096);
    garbage.close();
    QString error;
    QVERIFY(!RecordsDb::open(target, RecordsDb::Access::Write, &error));
    QVERIFY2(error.contains(message), qPrintable(error));
}

// Another client holds the write lock longer than the database may stay
// silent: every refused try is the database answering, so the record waits
// for the lock (up to its minute) instead of being given up after 15 s.
void RecordsTest::lock_held_past_the_answer_limit()
{
    const QString target = stores_.fresh("sqlite");
    QString error;
    const auto db = RecordsDb::open(target, RecordsDb::Access::Write, &error);
    QVERIFY2(db, qPrintable(error));
    QSemaphore held;
    bool locked = false;
    std::thread other([&] {  // a connection lives on the thread that opened it
        {
            QSqlDatabase c = QSqlDatabase::addDatabase("QSQLITE", "holder");
            c.setDatabaseName(target);
            locked = c.open() && QSqlQuery(c).exec("BEGIN IMMEDIATE");
            held.release();
            if (locked) {
                QThread::sleep(16);
                QSqlQuery(c).exec("ROLLBACK");
            }
        }
        QSqlDatabase::removeDatabase("holder");
    });
    held.acquire();
    const bool added = locked && db->add(sample("st1", 1, verdicts::kOk, "2024-05-01T10:00:00Z"), &error);
    other.join();
    QVERIFY(locked);
    QVERIFY2(added, qPrintable(error));
}

void RecordsTest::records_command_data()
{
    schema_and_version_data();
}

void RecordsTest::records_command()
{
    QFETCH(QString, backend);
    const QString target = stores_.fresh(backend);
    QString error;
    {
        const auto db = RecordsDb::open(target, RecordsDb::Access::Write, &error);
        QVERIFY2(db, qPrintable(error));
        QVERIFY(db->add(sample("st1", 1, verdicts::kOk, "2024-04-30T23:59:59Z"), &error));
        QVERIFY(db->add(sample("st2", 2, verdicts::kFailed, "2024-05-01T00:00:00Z"), &error));
        QVERIFY(db->add(sample("st1", 3, verdicts::kDeviceGone, "2024-05-02T08:00:00Z"), &error));
    }
    // Records the operator made read-only after the run are still read.
    if (backend == "sqlite")
        QVERIFY(QFile(target).setPermissions(QFileDevice::ReadOwner));
    const auto run = [&target](const QStringList& args, QStringList* out, QString* err) {
        QProcess p;
        p.start(VQPROG_PATH, QStringList{"records", target} + args);
        if (!p.waitForFinished(kRunTimeoutMs))
            return -1;
        *out = QString::fromUtf8(p.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        *err = QString::fromUtf8(p.readAllStandardError());
        return p.exitCode();
    };
    struct Case {
        QStringList args;
        QList<qint64> serials;
    };
    const Case cases[] = {
        {{}, {1, 2, 3}},
        {{"--serial", "2"}, {2}},
        {{"--since", "2024-05-01"}, {2, 3}},
        {{"--since", "2024-05-01T00:00:01Z"}, {3}},
        {{"--station", "st1"}, {1, 3}},
        {{"--station", "st1", "--since", "2024-05-01"}, {3}},
        {{"--serial", "9"}, {}},
    };
    for (const Case& c : cases) {
        for (bool json : {false, true}) {
            QStringList out;
            QString err;
            QCOMPARE(run(c.args + (json ? QStringList{"--json"} : QStringList()), &out, &err), 0);
            QVERIFY2(err.isEmpty(), qPrintable(err));
            if (!json) {
                QCOMPARE(out.value(0), record_column_names().join(','));
                out.removeFirst();
            }
            QCOMPARE(out.size(), c.serials.size());
            for (int i = 0; i < out.size(); ++i) {
                const qint64 serial = c.serials[i];
                const BoardRecord want = sample(serial == 2 ? "st2" : "st1", serial, "", "");
                if (json) {
                    const QJsonObject o = QJsonDocument::fromJson(out[i].toUtf8()).object();
                    QCOMPARE(qint64(o["serial"].toDouble()), serial);
                    QCOMPARE(o["station"].toString(), want.station);
                    QCOMPARE(o["flash_name"].toString(), want.flash_name);
                    QCOMPARE(o["stamps"].toString(), want.stamps.join(' '));
                    QCOMPARE(o["image_length"].toDouble(), 4096.0);
                } else {
                    QVERIFY2(out[i].contains(QString(",VQ4410,0x44100001,1.2,%1,\"W25Q64, \"\"8 MB\"\"\",update-flash,"
                                                     "\"app \"\"v2\"\".bin\",4096,0x1234ABCD,")
                                                 .arg(want.flash_id)),
                             qPrintable(out[i]));
                    QVERIFY2(out[i].endsWith(QString(",1.5,4096,0,%1,line1").arg(serial)), qPrintable(out[i]));
                }
            }
        }
    }
    QStringList out;
    QString err;
    QCOMPARE(run({"--since", "yesterday"}, &out, &err), 2);
    QVERIFY2(err.startsWith("error: --since takes a date"), qPrintable(err));
    QCOMPARE(run({"--serial", "x"}, &out, &err), 2);
}

void RecordsTest::csv_field_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("field");
    QTest::newRow("plain") << "a=b" << "a=b";
    for (const char* formula : {"=1+2", "+1", "-1", "@SUM(A1)"})
        QTest::newRow(formula) << formula << QString("'") + formula;
    QTest::newRow("formula, quoted") << "=HYPERLINK(\"x\",1)" << "\"'=HYPERLINK(\"\"x\"\",1)\"";
}

void RecordsTest::csv_field()
{
    QFETCH(QString, text);
    QTEST(::csv_field(text), "field");
}

QTEST_GUILESS_MAIN(RecordsTest)

#include "test_records.moc"
