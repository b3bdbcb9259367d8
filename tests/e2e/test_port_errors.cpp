// A port that will not open says why and what to do, in one log line after
// the "Open fail" box: the advice rules on their own, then vqprog (which
// prints the window's log) on a simulated chip's pty that the test makes
// unreadable, holds in another process, or leaves a lock file on.

#include <QFileInfo>
#include <QProcess>
#include <QtTest>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "serial/port_advice.h"
#include "serial/rates.h"
#include "session/boot_session.h"
#include "vqprog_bench.h"

using namespace flash_fixtures;

Q_DECLARE_METATYPE(PortFacts)

namespace {

const QString kOpenFail = QStringLiteral("error: Open fail");

// Where the port library puts a port's lock file: the first lock folder it may write.
QString writable_lock_file(const QString& port)
{
    for (const char* dir : {"/var/lock", "/run/lock", "/tmp"}) {
        if (QFileInfo(dir).isWritable())
            return QFileInfo(dir).canonicalFilePath() + "/LCK.." + QString(port).mid(5).replace('/', '_');
    }
    return QString();
}

// A pid that named a process a moment ago and names none now.
qint64 ended_pid()
{
    QProcess p;
    p.start(QStringLiteral("true"), QStringList());
    p.waitForStarted();
    const qint64 pid = p.processId();
    p.waitForFinished();
    return pid;
}

}  // namespace

class PortErrorsTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void advice_data();
    void advice();
    void lock_names_process_data();
    void lock_names_process();
    void holds_port_data();
    void holds_port();
    void lock_file_pid_data();
    void lock_file_pid();
    void refused_open_data();
    void refused_open();
    void ended_process_lock_does_not_block();
    void not_a_serial_port_data();
    void not_a_serial_port();

private:
    // Runs a program; as the unprivileged user when asked (and root).
    QProcess* start(const QString& program, const QStringList& args, bool unprivileged);
    Outcome run_vqprog(const QStringList& args, bool unprivileged);

    QTemporaryDir bin_;  // programs an unprivileged user may run, wherever the build lies
    QString vqprog_;
    uid_t nobody_uid_ = 0;
    gid_t nobody_gid_ = 0;
};

void PortErrorsTest::initTestCase()
{
    QVERIFY(bin_.isValid());
    QFile::setPermissions(bin_.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther |
                                           QFile::ExeOther | QFile::ReadGroup | QFile::ExeGroup);
    vqprog_ = bin_.filePath("vqprog");
    QVERIFY(QFile::copy(VQPROG_PATH, vqprog_));
    if (const passwd* nobody = ::getpwnam("nobody")) {
        nobody_uid_ = nobody->pw_uid;
        nobody_gid_ = nobody->pw_gid;
    }
}

void PortErrorsTest::advice_data()
{
    QTest::addColumn<PortFacts>("facts");
    QTest::addColumn<QString>("line");
    PortFacts f;
    f.port = "/dev/ttyACM0";
    f.access_denied = true;
    f.group = "dialout";
    f.group_may_use = true;
    f.user_in_group = true;
    QTest::newRow("in the group since the session began")
        << f << "Cannot open /dev/ttyACM0: permission denied; you are in its group dialout since this session "
                "began: log out and in again.";
    f.group_may_use = false;
    QTest::newRow("owner only") << f
                                << "Cannot open /dev/ttyACM0: permission denied; only its owner may use it: ask for a "
                                   "udev rule that gives it to a group of yours (GROUP=\"dialout\", MODE=\"0660\").";
    f.access_denied = false;
    f.holders = {{812, "ModemManager", "/proc/812/fd"}};
    f.usb_id = "1a86:7523";
    QTest::newRow("ModemManager")
        << f << "Cannot open /dev/ttyACM0: ModemManager (pid 812) holds it, as /proc/812/fd shows. ModemManager "
                "probes new serial devices as modems; keep it away from this one with the udev property "
                "ID_MM_DEVICE_IGNORE: a line 'ATTRS{idVendor}==\"1a86\", ATTRS{idProduct}==\"7523\", "
                "ENV{ID_MM_DEVICE_IGNORE}=\"1\"' in /etc/udev/rules.d/99-vq-uart.rules, then plug the device in again.";
    f.holders = {{812, "minicom", "/proc/812/fd", true}};
    QTest::newRow("held exclusively") << f << "Cannot open /dev/ttyACM0: minicom (pid 812) holds it exclusively; close "
                                              "that program first.";
    f.holders.clear();
    f.busy = true;
    QTest::newRow("busy, its holder not seen")
        << f << "Cannot open /dev/ttyACM0: another program holds it, one you may not see; it may be ModemManager, "
                "which probes new serial devices as modems: keep it away from this one with the udev property "
                "ID_MM_DEVICE_IGNORE: a line 'ATTRS{idVendor}==\"1a86\", ATTRS{idProduct}==\"7523\", "
                "ENV{ID_MM_DEVICE_IGNORE}=\"1\"' in /etc/udev/rules.d/99-vq-uart.rules, then plug the device in again.";
    f.busy = false;
    f.stale_lock = "/run/lock/LCK..ttyACM0";
    QTest::newRow("lock naming no process") << f << "Cannot open /dev/ttyACM0: the lock file /run/lock/LCK..ttyACM0 "
                                                    "names no process, and you may not remove it: run `sudo rm "
                                                    "/run/lock/LCK..ttyACM0`.";
    f.stale_lock.clear();
    QTest::newRow("nothing to tell") << f << QString();
    PortFacts null;
    null.port = "/dev/null";
    null.not_serial = true;
    null.holders = {{1, "init", "/proc/1/fd"}};
    QTest::newRow("not a serial port, held") << null << "Cannot open /dev/null: not a serial port.";
}

void PortErrorsTest::advice()
{
    QFETCH(PortFacts, facts);
    QFETCH(QString, line);
    QCOMPARE(port_open_advice(facts), line);
}

void PortErrorsTest::lock_names_process_data()
{
    QTest::addColumn<QString>("lock_app");
    QTest::addColumn<QString>("process_name");
    QTest::addColumn<bool>("names");
    QTest::newRow("a long name, as the kernel keeps it") << "vq-station-runner" << "vq-station-runn" << true;
    QTest::newRow("another program") << "vqprog" << "bash" << false;
}

void PortErrorsTest::lock_names_process()
{
    QFETCH(QString, lock_app);
    QFETCH(QString, process_name);
    QFETCH(bool, names);
    QCOMPARE(::lock_names_process(lock_app, process_name), names);
}

void PortErrorsTest::holds_port_data()
{
    QTest::addColumn<QStringList>("paths");
    QTest::addColumn<QVector<int>>("served_ptys");
    QTest::addColumn<bool>("holds");
    QTest::newRow("the simulator serving it") << QStringList{"/dev/ptmx", "/dev/pts/7"} << QVector<int>{7} << false;
    QTest::newRow("a program with a terminal of its own") << QStringList{"/dev/ptmx", "/dev/pts/7"} << QVector<int>{3}
                                                          << true;
}

void PortErrorsTest::holds_port()
{
    QFETCH(QStringList, paths);
    QFETCH(QVector<int>, served_ptys);
    QFETCH(bool, holds);
    QCOMPARE(::holds_port({paths, served_ptys}, "/dev/pts/7"), holds);
}

void PortErrorsTest::lock_file_pid_data()
{
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<qint64>("pid");
    const qint32 binary = 4242;
    QTest::newRow("text") << QByteArray("      4242\nvqprog\n") << qint64(4242);
    QTest::newRow("text, four bytes") << QByteArray("123\n") << qint64(123);
    QTest::newRow("binary") << QByteArray(reinterpret_cast<const char*>(&binary), 4) << qint64(4242);
    QTest::newRow("neither") << QByteArray("locked by me") << qint64(0);
}

void PortErrorsTest::lock_file_pid()
{
    QFETCH(QByteArray, head);
    QFETCH(qint64, pid);
    QCOMPARE(::lock_file_pid(head), pid);
}

void PortErrorsTest::refused_open_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("unprivileged");
    QTest::addColumn<QString>("line");  // %1 the port, %2 the holder's pid; none: a station's presence poll instead
    QTest::newRow("no permission") << "mode" << true
                                   << "Cannot open %1: permission denied; it belongs to the group dialout: add yourself "
                                      "with `sudo usermod -aG dialout $USER`, then log out and in again.";
    QTest::newRow("the group may only read it")
        << "group reads" << true
        << "Cannot open %1: permission denied; only its owner may use it: ask for a udev rule that gives it to a group "
           "of yours (GROUP=\"dialout\", MODE=\"0660\").";
    QTest::newRow("held by another program")
        << "held" << true << "Cannot open %1: perl (pid %2) holds it, as /proc/%2/fd shows; close that program first.";
    QTest::newRow("held by a program of root's")
        << "root held" << true
        << "Cannot open %1: another program holds it, one you may not see; it may be ModemManager, which probes new "
           "serial devices as modems: keep it away from this one with the udev property ID_MM_DEVICE_IGNORE: a line "
           "'KERNEL==\"NAME\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"' in /etc/udev/rules.d/99-vq-uart.rules, then plug the "
           "device in again.";
    QTest::newRow("held exclusively, root's open passes")
        << "root held" << false << "Cannot open %1: perl (pid %2) holds it exclusively; close that program first.";
    QTest::newRow("held by another vqprog")
        << "vqprog" << false
        << "Cannot open %1: another VQ program holds it, vqprog (pid %2); two VQ programs never share a port: close "
           "it there first.";
    QTest::newRow("locked by another program")
        << "uucp lock" << false << "Cannot open %1: sleep (pid %2) holds it, as %3 shows; close that program first.";
    QTest::newRow("lock of an ended process of another user")
        << "root lock" << true
        << "Cannot open %1: the lock file %3 names process %2, which has ended, and you may not remove it: run "
           "`sudo rm %3`.";
    QTest::newRow("held exclusively, a presence poll") << "root held" << false << "";
    QTest::newRow("locked, a presence poll") << "uucp lock" << false << "";
}

void PortErrorsTest::refused_open()
{
    QFETCH(QString, kind);
    QFETCH(bool, unprivileged);
    QFETCH(QString, line);
    if (unprivileged && (::geteuid() != 0 || nobody_uid_ == 0))
        QSKIP("needs root, to run vqprog as the user nobody");
    if (kind == "root held" && ::geteuid() != 0)
        QSKIP("needs root, whose open passes an exclusive mode");

    Bench b;
    SimServer* sim = b.add();
    QVERIFY(sim);
    const QString port = sim->slave_path();
    const QByteArray port_path = QFile::encodeName(port);
    QVERIFY(::chmod(port_path.constData(), 0666) == 0);

    std::unique_ptr<QProcess> holder;
    QString lock;
    const auto unlock = qScopeGuard([&lock] {
        if (!lock.isEmpty())
            QFile::remove(lock);
    });
    qint64 holder_pid = 0;
    const QByteArray image = pattern(256 * 1024, 3);
    b.write("image.bin", image);

    if (kind == "mode" || kind == "group reads") {
        const group* dialout = ::getgrnam("dialout");
        QVERIFY(dialout);
        QVERIFY(::chown(port_path.constData(), 0, dialout->gr_gid) == 0 &&
                ::chmod(port_path.constData(), kind == "mode" ? 0660 : 0640) == 0);
    } else if (kind == "held" || kind == "root held") {
        // Held the way serial programs hold a port: open, and exclusive.
        holder.reset(start("perl",
                           {"-e", "open(my $f, '+<', $ARGV[0]) or die; ioctl($f, 0x540C, 0) or die; $| = 1; "
                                  "print \"held\\n\"; <STDIN>;",
                            port},
                           kind == "held"));
        QVERIFY(holder->waitForReadyRead(kRunTimeoutMs));
        holder_pid = holder->processId();
    } else if (kind == "vqprog") {
        sim->set_reply_delay_ms(10);  // the first run keeps the port for a few seconds
        holder = b.start({"--port", port, "update-flash", "image.bin"});
        QByteArray seen;
        while (!seen.contains("Start to update flash") && holder->waitForReadyRead(kRunTimeoutMs))
            seen += holder->readAllStandardOutput();
        QVERIFY2(seen.contains("Start to update flash"), seen.constData());
        holder_pid = holder->processId();
    } else if (kind == "uucp lock") {
        // The old lock format of other serial programs (the pid alone): the
        // port library takes it for a leftover even while its process runs.
        holder.reset(start("sleep", {"600"}, false));
        QVERIFY(holder->waitForStarted());
        holder_pid = holder->processId();
        lock = writable_lock_file(port);
        QFile file(lock);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QByteArray::number(holder_pid).rightJustified(10) + "\n"));
    } else if (kind == "root lock") {
        holder_pid = ended_pid();
        lock = "/run/lock/LCK.." + port.mid(5).replace('/', '_');
        QFile file(lock);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QByteArray::number(holder_pid) + "\nvqprog\n") > 0);
    }

    if (line.isEmpty()) {  // the poll leaves a held port alone and sends nothing
        const std::atomic<bool> never{false};
        QCOMPARE(ask_presence(PresenceAsk{port, kDefaultRateIndex, 100}, never).presence, PortPresence::Held);
        QCOMPARE(sim->with_device([](SimDevice& d) { return d.received().size(); }), 0);
    } else {
        const Outcome second = run_vqprog({"--port", port, "identify"}, unprivileged);
        line.replace("NAME", QFileInfo(port).fileName());
        QVERIFY2(second.out.contains(line.arg(port).arg(holder_pid).arg(lock)), qPrintable(second.out.join('\n')));
        QCOMPARE(second.err.filter("error:"), QStringList{kOpenFail});
        QCOMPARE(second.exit_code, 1);
    }
    if (kind == "root held") {
        // The holder keeps its exclusive mode.
        const int fd = ::open(port_path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        int exclusive = 0;
        QVERIFY(fd >= 0 && ::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive);
        ::close(fd);
    }

    if (kind == "vqprog") {
        // The first run goes on undisturbed.
        QVERIFY(holder->waitForFinished(kRunTimeoutMs));
        QCOMPARE(holder->exitCode(), 0);
        QVERIFY(holder->readAllStandardOutput().contains("Update flash is OK!!!!!!"));
        QCOMPARE(b.flash_of(0, image.size()), image);
    } else if (kind == "uucp lock") {
        holder->kill();
        holder->waitForFinished();
    } else if (holder) {
        holder->closeWriteChannel();
        QVERIFY(holder->waitForFinished(kRunTimeoutMs));
    }
}

void PortErrorsTest::ended_process_lock_does_not_block()
{
    Bench b;
    SimServer* sim = b.add();
    QVERIFY(sim);
    // Where the port library will look, a lock of a process that has ended.
    const QString port = sim->slave_path();
    const QString lock = writable_lock_file(port);
    QFile file(lock);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QByteArray::number(ended_pid()) + "\nvqprog\n") > 0);
    file.close();

    const Outcome run = run_vqprog({"--port", port, "identify"}, false);
    QCOMPARE(run.exit_code, 0);
    QVERIFY2(run.out.filter("vqprog: chip VQ4410 on " + port).size() == 1, qPrintable(run.out.join('\n')));
    QVERIFY(!QFileInfo::exists(lock));
}

void PortErrorsTest::not_a_serial_port_data()
{
    QTest::addColumn<QString>("port");
    QTest::newRow("/dev/null, which other processes hold") << "/dev/null";
    QTest::newRow("a file") << "/etc/passwd";
}

void PortErrorsTest::not_a_serial_port()
{
    QFETCH(QString, port);
    const Outcome run = run_vqprog({"--port", port, "identify"}, false);
    QCOMPARE(run.out.filter("Cannot open"), QStringList{"Cannot open " + port + ": not a serial port."});
    QCOMPARE(run.exit_code, 1);
}

QProcess* PortErrorsTest::start(const QString& program, const QStringList& args, bool unprivileged)
{
    auto* p = new QProcess;
    p->setWorkingDirectory(bin_.path());
    if (unprivileged)
        p->start("setpriv", QStringList{QStringLiteral("--reuid=%1").arg(nobody_uid_),
                                        QStringLiteral("--regid=%1").arg(nobody_gid_), "--clear-groups", program} +
                                args);
    else
        p->start(program, args);
    return p;
}

Outcome PortErrorsTest::run_vqprog(const QStringList& args, bool unprivileged)
{
    std::unique_ptr<QProcess> p(start(vqprog_, args, unprivileged));
    return Bench::finish(*p);
}

QTEST_GUILESS_MAIN(PortErrorsTest)
#include "test_port_errors.moc"
