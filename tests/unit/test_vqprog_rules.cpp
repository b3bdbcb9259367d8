// vqprog's rules that need no board: the link its options start with, the
// verdict a gang shows for a board, which of several signals decides, and
// what a board's child leaves behind when it is killed or orphaned, and its
// --json events as a parent reads them back.

#include <QProcess>
#include <QtTest>
#include <csignal>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "board_child.h"
#include "child_events.h"
#include "gang.h"
#include "options.h"
#include "records.h"
#include "serial/rates.h"
#include "signal_watch.h"

class VqprogRulesTest : public QObject {
    Q_OBJECT

private slots:
    void link_settings_data();
    void link_settings();
    void gang_verdict_data();
    void gang_verdict();
    void gang_records_its_killed_board();  // before any signal: a process's first one stays its first
    void first_signal_decides();
    void board_child_killed_or_orphaned();
    void child_events_data();
    void child_events();
};

void VqprogRulesTest::link_settings_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("rate_index");
    QTest::addColumn<int>("new_rate_index");
    QTest::addColumn<int>("wait_ms");
    QTest::addColumn<int>("busy_retry_ms");
    QTest::newRow("as the window starts") << QStringList() << kDefaultRateIndex << kDefaultNewRateIndex << 3
                                          << kDefaultBusyRetryMs;
    QTest::newRow("--wait-ms 1") << QStringList{"--wait-ms", "1"} << kDefaultRateIndex << kDefaultNewRateIndex << 1
                                 << kDefaultBusyRetryMs;
    QTest::newRow("--wait-ms 8, rates") << QStringList{"--wait-ms", "8", "--baud", "9600", "--new-rate", "921600"}
                                        << 0 << 8 << 8 << kDefaultBusyRetryMs;
    QTest::newRow("--busy-retry 2.5") << QStringList{"--busy-retry", "2.5"} << kDefaultRateIndex << kDefaultNewRateIndex
                                      << 3 << 2500;
}

void VqprogRulesTest::link_settings()
{
    QFETCH(QStringList, args);
    QFETCH(int, rate_index);
    QFETCH(int, new_rate_index);
    QFETCH(int, wait_ms);
    QFETCH(int, busy_retry_ms);
    const ParseResult r = parse_command_line(QStringList{"vqprog"} + args + QStringList{"identify"});
    QVERIFY2(r.outcome == ParseOutcome::Run, qPrintable(r.error));
    // A gang's or a station's child, given the command line written for it, runs with the same settings.
    const ParseResult child = parse_command_line(QStringList{"vqprog"} + child_arguments(r.options, "P"));
    QVERIFY2(child.outcome == ParseOutcome::Run, qPrintable(child.error));
    for (const Options& o : {r.options, child.options}) {
        const LinkSettings link = ::link_settings(o);
        QCOMPARE(link.rate_index, rate_index);
        QCOMPARE(link.new_rate_index, new_rate_index);
        QCOMPARE(link.wait_ms, wait_ms);
        QCOMPARE(o.busy_retry_ms, busy_retry_ms);
    }
}

void VqprogRulesTest::gang_verdict_data()
{
    QTest::addColumn<int>("exit_code");
    QTest::addColumn<QString>("verdict");
    // Both still running, for the parent, when the signal came.
    QTest::newRow("passed before the parent saw it end") << kExitOk << "ok";
    QTest::newRow("stopped by the signal") << SignalWatch::exit_code(SIGTERM) << "INTERRUPTED";
    QTest::newRow("killed after the grace period") << SignalWatch::exit_code(SIGKILL) << "KILLED";
}

void VqprogRulesTest::gang_verdict()
{
    QFETCH(int, exit_code);
    QFETCH(QString, verdict);
    BoardChild child;
    BoardState b;
    b.child = &child;
    b.interrupted = true;
    b.exit_code = exit_code;
    QCOMPARE(Gang::verdict(b), verdict);
}

// The gang's children are its own program: run as one, this test is a
// board's vqprog that holds its port's lock, announces an action and ignores
// its stop.
namespace {
int stubborn_board()
{
    std::signal(SIGTERM, SIG_IGN);
    const QString port = QCoreApplication::arguments().value(QCoreApplication::arguments().indexOf("--port") + 1);
    QFile lock("/tmp/LCK.." + port.mid(5));
    if (!lock.open(QIODevice::WriteOnly) || lock.write(QByteArray::number(::getpid()) + '\n') < 0)
        return 1;
    lock.close();
    std::puts(R"({"event":"action","action":"update-flash"})");
    std::fflush(stdout);
    ::sleep(60);
    return 0;
}
}  // namespace

// A gang board killed after the grace period is recorded as killed, in the
// gang's records.
void VqprogRulesTest::gang_records_its_killed_board()
{
    QTemporaryDir dir;
    Options o;
    o.quiet = true;
    o.production.records = dir.filePath("records.db");
    QString error;
    QVERIFY2(RecordsDb::open(o.production.records, RecordsDb::Access::Write, &error), qPrintable(error));
    const QString port = QString("/dev/vqtest-gang-%1").arg(::getpid());
    SignalWatch watch;
    Gang gang(o, {port}, watch);
    QTimer held;  // the signal once the board holds its port, deaf to it
    connect(&held, &QTimer::timeout, &watch, [&] {
        if (QFileInfo::exists("/tmp/LCK.." + port.mid(5))) {
            held.stop();
            emit watch.caught(SIGTERM);
        }
    });
    held.start(20);
    QCOMPARE(gang.run(), SignalWatch::exit_code(SIGTERM));
    QVector<BoardRecord> records;
    QVERIFY(RecordsDb::open(o.production.records, RecordsDb::Access::Read, &error)->list({}, &records, &error));
    QCOMPARE(records.size(), 1);
    QCOMPARE(records[0].verdict, QString(verdicts::kKilled));
    QCOMPARE(records[0].port, port);
}

void VqprogRulesTest::first_signal_decides()
{
    SignalWatch watch;
    QVector<int> caught;
    connect(&watch, &SignalWatch::caught, this, [&caught](int s) { caught << s; });
    ::raise(SIGTERM);
    ::raise(SIGINT);
    QTRY_COMPARE(caught.size(), 2);
    QCOMPARE(watch.signal_number(), int(SIGTERM));
}

// A child that ignores its stop is killed after the grace period: the port
// lock it held goes and its board is recorded as killed. One whose parent
// dies is stopped by the kernel.
void VqprogRulesTest::board_child_killed_or_orphaned()
{
    QTemporaryDir dir;
    const QString db = dir.filePath("records.db");
    QString error;
    QVERIFY2(RecordsDb::open(db, RecordsDb::Access::Write, &error), qPrintable(error));
    const QString name = QString("vqtest-%1").arg(::getpid());
    const QString lock = "/tmp/LCK.." + name;
    ChildStart start;
    start.program = "/bin/sh";
    start.args = QStringList{"-c", QString("trap '' TERM; echo $$ > %1; "
                                           "echo '{\"event\":\"action\",\"action\":\"update-flash\"}'; "
                                           "exec sleep 60").arg(lock)};
    start.port = "/dev/" + name;
    start.records = db;
    BoardChild child;
    QSignalSpy ended(&child, &BoardChild::ended);
    child.start(start);
    QTRY_VERIFY(QFileInfo(lock).size() > 0);
    child.stop(SIGTERM);
    QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, kChildStopGraceMs + 5000);
    QVERIFY(child.killed());
    QVERIFY(!QFileInfo::exists(lock));
    QVector<BoardRecord> records;
    QVERIFY(RecordsDb::open(db, RecordsDb::Access::Read, &error)->list(RecordFilter(), &records, &error));
    QCOMPARE(records.size(), 1);
    QCOMPARE(records[0].verdict, QString(verdicts::kKilled));
    QCOMPARE(records[0].action, QString("update-flash"));
    QCOMPARE(records[0].port, start.port);
    // Its records file removed under it: the record is lost, and said, never written to a new file.
    QVERIFY(QFile::remove(db));
    BoardChild again;
    again.start(ChildStart{"/bin/sleep", {"60"}, start.port, {}, start.env, db, {}});
    again.kill_now();
    QVERIFY(again.killed() && !again.running());
    QVERIFY(!QFileInfo::exists(db));
    QVERIFY2(again.record_error().contains("no such file"), qPrintable(again.record_error()));

    // The orphan comes back to this process, which keeps it to be looked at.
    QCOMPARE(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    int pipe_ends[2];
    QCOMPARE(::pipe(pipe_ends), 0);
    const pid_t parent = ::fork();
    if (parent == 0) {
        ChildStart sleeper;
        sleeper.program = "/bin/sleep";
        sleeper.args = QStringList{"60"};
        BoardChild orphan;
        orphan.start(sleeper);
        const qint64 pid = orphan.pid();
        ::_exit(::write(pipe_ends[1], &pid, sizeof pid) == sizeof pid ? 0 : 1);
    }
    qint64 orphan = 0;
    QCOMPARE(::read(pipe_ends[0], &orphan, sizeof orphan), ssize_t(sizeof orphan));
    int status = 0;
    QCOMPARE(::waitpid(parent, &status, 0), parent);
    ::close(pipe_ends[0]);
    ::close(pipe_ends[1]);
    // A zombie until this process ends: the last field is its wait status.
    QByteArray fields;
    QTRY_VERIFY([&] {
        QFile f(QString("/proc/%1/stat").arg(orphan));
        return f.open(QIODevice::ReadOnly) && (fields = f.readAll()).contains(") Z ");
    }());
    const int wait_status = fields.trimmed().split(' ').last().toInt();
    QVERIFY(WIFSIGNALED(wait_status));
    QCOMPARE(WTERMSIG(wait_status), int(SIGTERM));
}

void VqprogRulesTest::child_events_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("fields");  // text|percent|action|bytes|ok|chip
    // Lines as a vqprog --json run against the simulator wrote them.
    using K = ChildEvent::Kind;
    QTest::newRow("log") << QByteArray(R"({"event":"log","text":"VQ4410 Boot_Version:10002"})") << int(K::Log)
                         << "VQ4410 Boot_Version:10002|-1||0|0|";
    QTest::newRow("progress") << QByteArray(R"({"event":"progress","percent":25})") << int(K::Progress) << "|25||0|0|";
    QTest::newRow("error") << QByteArray(R"({"event":"error","text":"Time over!"})") << int(K::Error)
                           << "Time over!|-1||0|0|";
    QTest::newRow("action") << QByteArray(R"({"action":"update-flash","bytes":9000,"event":"action"})")
                            << int(K::Action) << "|-1|update-flash|9000|0|";
    QTest::newRow("result") << QByteArray(R"({"action":"update-flash","bytes_skipped":0,"bytes_written":9000,)"
                                          R"("chip":"VQ4410","event":"result","ok":true,"port":"/dev/pts/0",)"
                                          R"("seconds":0.271})")
                            << int(K::Result) << "|-1|update-flash|0|1|VQ4410";
}

void VqprogRulesTest::child_events()
{
    QFETCH(QByteArray, line);
    QFETCH(int, kind);
    QFETCH(QString, fields);
    const ChildEvent e = parse_child_event(line);
    QCOMPARE(int(e.kind), kind);
    QCOMPARE(QStringList({e.text, QString::number(e.percent), e.action, QString::number(e.bytes),
                          QString::number(e.ok), e.chip})
                 .join('|'),
             fields);
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc > 1 && qstrcmp(argv[1], "--json") == 0)
        return stubborn_board();
    VqprogRulesTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "test_vqprog_rules.moc"
