// The built program itself, started as an operator starts it: it must show
// its window and, once that window is closed, leave config.ini behind.

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {
constexpr int kRunLimitMs = 30000;
const QString kTitle = QStringLiteral("VQ_Uart_GUI_V3.52");
}  // namespace

class SmokeTest : public QObject {
    Q_OBJECT

private slots:
    void program_shows_window_and_writes_config();
};

void SmokeTest::program_shows_window_and_writes_config()
{
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    QProcess program;
    program.setWorkingDirectory(folder.path());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("LD_PRELOAD", VQ_SMOKE_PROBE);
    env.insert("VQ_PROBE_TITLE", kTitle);
    program.setProcessEnvironment(env);
    program.start(VQ_GUI_PROGRAM, QStringList());
    QVERIFY2(program.waitForStarted(), qPrintable(program.errorString()));
    QVERIFY2(program.waitForFinished(kRunLimitMs), "the program did not end after its window was closed");

    const QByteArray out = program.readAllStandardOutput();
    QCOMPARE(out, QByteArray("window shown: " + kTitle.toUtf8() + "\n"));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);

    QFile config(folder.filePath("config.ini"));
    QVERIFY(config.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = config.readAll().split('\n');
    QCOMPARE(lines.size(), 7);  // six lines, each ended
    QCOMPARE(lines.last(), QByteArray());
    QCOMPARE(lines.mid(0, 6), QList<QByteArray>({"EWHOLE:0", "NFLASH:0", "./", "./", "BLSET:0", "WAITT:2"}));
}

QTEST_GUILESS_MAIN(SmokeTest)
#include "test_smoke.moc"
