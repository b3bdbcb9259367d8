// vqprog's rules that need no board: the link its options start with, the
// verdict a gang shows for a board, which of several signals decides, and
// its --json events as a parent reads them back.

#include <QProcess>
#include <QtTest>
#include <csignal>

#include "child_events.h"
#include "gang.h"
#include "options.h"
#include "serial/rates.h"
#include "signal_watch.h"

class VqprogRulesTest : public QObject {
    Q_OBJECT

private slots:
    void link_settings_data();
    void link_settings();
    void gang_verdict_data();
    void gang_verdict();
    void first_signal_decides();
    void child_events_data();
    void child_events();
};

void VqprogRulesTest::link_settings_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("rate_index");
    QTest::addColumn<int>("new_rate_index");
    QTest::addColumn<int>("wait_ms");
    QTest::newRow("as the window starts") << QStringList() << kDefaultRateIndex << kDefaultNewRateIndex << 3;
    QTest::newRow("--wait-ms 1") << QStringList{"--wait-ms", "1"} << kDefaultRateIndex << kDefaultNewRateIndex << 1;
    QTest::newRow("--wait-ms 8, rates") << QStringList{"--wait-ms", "8", "--baud", "9600", "--new-rate", "921600"}
                                        << 0 << 8 << 8;
}

void VqprogRulesTest::link_settings()
{
    QFETCH(QStringList, args);
    QFETCH(int, rate_index);
    QFETCH(int, new_rate_index);
    QFETCH(int, wait_ms);
    const ParseResult r = parse_command_line(QStringList{"vqprog"} + args + QStringList{"identify"});
    QVERIFY2(r.outcome == ParseOutcome::Run, qPrintable(r.error));
    const LinkSettings link = ::link_settings(r.options);
    QCOMPARE(link.rate_index, rate_index);
    QCOMPARE(link.new_rate_index, new_rate_index);
    QCOMPARE(link.wait_ms, wait_ms);
}

void VqprogRulesTest::gang_verdict_data()
{
    QTest::addColumn<int>("exit_code");
    QTest::addColumn<QString>("verdict");
    // Both still running, for the parent, when the signal came.
    QTest::newRow("passed before the parent saw it end") << kExitOk << "ok";
    QTest::newRow("stopped by the signal") << SignalWatch::exit_code(SIGTERM) << "INTERRUPTED";
}

void VqprogRulesTest::gang_verdict()
{
    QFETCH(int, exit_code);
    QFETCH(QString, verdict);
    QProcess child;
    BoardState b;
    b.process = &child;
    b.interrupted = true;
    b.exit_code = exit_code;
    QCOMPARE(Gang::verdict(b), verdict);
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

QTEST_GUILESS_MAIN(VqprogRulesTest)
#include "test_vqprog_rules.moc"
