// vqprog's rules that need no board: the link its options start with, the
// verdict a gang shows for a board, and which of several signals decides.

#include <QProcess>
#include <QtTest>
#include <csignal>

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

QTEST_GUILESS_MAIN(VqprogRulesTest)
#include "test_vqprog_rules.moc"
