// The port list, its USB pre-selection, and serial devices that come and
// go: from a test port map, and from simulators that publish and unplug.

#include <QSettings>
#include <QtTest>

#include <QAbstractItemView>
#include <QComboBox>
#include <cstring>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fake_port_map.h"
#include "fifo_watchdog.h"
#include "raw_pty.h"
#include "serial/port_watcher.h"
#include "serial/remote_ports.h"
#include "sim_session.h"

Q_DECLARE_METATYPE(PortMapEntry)

namespace {

PortMapEntry port(const QString& path)
{
    return {path, path, false};
}

struct ListWindow {
    explicit ListWindow(QList<PortMapEntry> entries = {}) : shared(std::make_shared<FakePortMap::Shared>())
    {
        old_cwd = QDir::currentPath();
        QDir::setCurrent(dir.path());
        shared->entries = std::move(entries);
        window = std::make_unique<MainWindow>(nullptr, std::make_unique<FakePortMap>(shared));
        access = std::make_unique<MainWindowTestAccess>(*window);
        access->clear_log();
    }
    ~ListWindow()
    {
        access.reset();
        window.reset();
        QDir::setCurrent(old_cwd);
    }
    QStringList items() const
    {
        QStringList list;
        QComboBox* c = access->combo("comboBox_Comm");
        for (int i = 0; i < c->count(); ++i)
            list << c->itemText(i);
        return list;
    }

    QTemporaryDir dir;
    QString old_cwd;
    RecordingDialogs dialogs;
    std::shared_ptr<FakePortMap::Shared> shared;
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<MainWindowTestAccess> access;
};

double cpu_seconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

const char* const kGated[] = {"pushButton_OpenCom",     "pushButton_UpdateMCU", "pushButton_CheckMCU",
                              "pushButton_UpdateFlash", "pushButton_FlashInfo", "pushButton_CheckFlash",
                              "pushButton_RunApp"};

}  // namespace

class PortDiscoveryTest : public QObject {
    Q_OBJECT

private slots:
    void preselection_rule_data();
    void preselection_rule();
    void usb_device_preselected();
    void no_usb_device_keeps_open_button();
    void remote_ports_listed_after_local_ones();
    void empty_map_leaves_list_empty();
    void arrival_while_closed_rebuilds_list();
    void simulator_port_listed_and_followed();
    void arrival_during_session_only_logged();
    void removal_of_other_port_leaves_session();
    void removal_of_open_port_while_idle();
    void removal_during_connect_wait();
    void removal_then_usb_device_back();
    void removal_then_other_port_offered();

    void published_entries_data();
    void published_entries();
    void publish_dir_refused_data();
    void publish_dir_refused();
};

void PortDiscoveryTest::preselection_rule_data()
{
    QTest::addColumn<QList<PortMapEntry>>("entries");
    QTest::addColumn<int>("preselected");
    const PortMapEntry sim1{"/dev/pts/3", "/dev/pts/3", true};
    const PortMapEntry sim2{"/dev/pts/1", "/dev/pts/1", true};
    QTest::newRow("none") << QList<PortMapEntry>{} << -1;
    QTest::newRow("no usb, no simulator") << QList<PortMapEntry>{port("/dev/ttyS0"), port("/dev/ttyUSB0")} << -1;
    QTest::newRow("second acm is not it") << QList<PortMapEntry>{port("/dev/ttyACM1")} << -1;
    QTest::newRow("usb among others")
        << QList<PortMapEntry>{port("/dev/ttyACM1"), port("/dev/ttyS0"), port("/dev/ttyACM0")} << 2;
    QTest::newRow("usb before simulators") << QList<PortMapEntry>{sim1, port("/dev/ttyACM0"), sim2} << 1;
    QTest::newRow("first simulator without usb") << QList<PortMapEntry>{port("/dev/ttyS0"), sim1, sim2} << 1;
}

void PortDiscoveryTest::preselection_rule()
{
    QFETCH(QList<PortMapEntry>, entries);
    QFETCH(int, preselected);
    QCOMPARE(preselected_entry(entries), preselected);
}

void PortDiscoveryTest::usb_device_preselected()
{
    ListWindow w({port("/dev/ttyACM1"), port("/dev/ttyS0"), port("/dev/ttyACM0"), port("/dev/ttyUSB0")});
    w.window->set_action_buttons_enabled(false);
    QVERIFY(w.items().isEmpty());  // filled one second after start-up
    QTRY_COMPARE_WITH_TIMEOUT(w.items().size(), 4, 3000);
    QCOMPARE(w.items(), QStringList({"/dev/ttyACM1", "/dev/ttyS0", "/dev/ttyACM0", "/dev/ttyUSB0"}));
    QCOMPARE(w.access->combo("comboBox_Comm")->currentText(), QString("/dev/ttyACM0"));
    QCOMPARE(w.access->usb_port_index(), 2);
    QVERIFY(w.access->button("pushButton_OpenCom")->isEnabled());
    QVERIFY(!w.access->port_timer()->isActive());
    VERIFY_BOXES(w.dialogs);
}

// Ports served over the network come from this user's settings, after the
// system's; the USB device is still the one pre-selected.
void PortDiscoveryTest::remote_ports_listed_after_local_ones()
{
    QSettings kept(QSettings::NativeFormat, QSettings::UserScope, "vq-uart-tool", "vqgui");
    kept.remove("ports/remote");
    QCOMPARE(keep_remote_port("rfc2217://fixture1:4001"), QString());
    QCOMPARE(keep_remote_port(" socket://fixture2:7000 "), QString());
    QCOMPARE(keep_remote_port("rfc2217://fixture1:4001"), QString());  // kept once
    QCOMPARE(keep_remote_port("/dev/ttyUSB0"), QString("/dev/ttyUSB0: not rfc2217://host:port or socket://host:port"));
    QCOMPARE(keep_remote_port("rfc2217://fixture3"),
             QString("rfc2217://fixture3: no TCP port; write it as rfc2217://fixture3:port"));
    ListWindow w({port("/dev/ttyS0"), port("/dev/ttyACM0")});
    QTRY_COMPARE_WITH_TIMEOUT(w.items().size(), 4, 3000);
    kept.remove("ports/remote");
    QCOMPARE(w.items(), QStringList({"/dev/ttyS0", "/dev/ttyACM0", "rfc2217://fixture1:4001", "socket://fixture2:7000"}));
    QCOMPARE(w.access->combo("comboBox_Comm")->currentText(), QString("/dev/ttyACM0"));
    QFile config(w.dir.filePath("config.ini"));
    QVERIFY(!config.open(QIODevice::ReadOnly) || !config.readAll().contains("fixture"));
    VERIFY_BOXES(w.dialogs);

    // Without a USB device, the port named at start is selected and offered.
    QCOMPARE(keep_remote_port("socket://fixture2:7000"), QString());
    ListWindow bare({port("/dev/ttyS0")});
    bare.window->offer_remote_port("socket://fixture2:7000");
    QTRY_COMPARE_WITH_TIMEOUT(bare.items().size(), 2, 3000);
    kept.remove("ports/remote");
    QCOMPARE(bare.access->combo("comboBox_Comm")->currentText(), QString("socket://fixture2:7000"));
    QVERIFY(bare.access->button("pushButton_OpenCom")->isEnabled());
    // Read whole, though wider than the box: its tooltip, and the list.
    QComboBox* box = bare.access->combo("comboBox_Comm");
    QCOMPARE(box->toolTip(), QString("socket://fixture2:7000"));
    QCOMPARE(box->itemData(1, Qt::ToolTipRole).toString(), QString("socket://fixture2:7000"));
    QVERIFY(box->view()->minimumWidth() > QFontMetrics(box->view()->font()).horizontalAdvance("socket://fixture2:7000"));
}

void PortDiscoveryTest::no_usb_device_keeps_open_button()
{
    ListWindow w({port("/dev/ttyS0"), port("/dev/ttyUSB0")});
    w.window->set_action_buttons_enabled(false);
    QTRY_COMPARE_WITH_TIMEOUT(w.items().size(), 2, 3000);
    QCOMPARE(w.access->combo("comboBox_Comm")->currentText(), QString("/dev/ttyS0"));
    QCOMPARE(w.access->usb_port_index(), -1);
    QVERIFY(!w.access->button("pushButton_OpenCom")->isEnabled());
    VERIFY_BOXES(w.dialogs);
}

void PortDiscoveryTest::empty_map_leaves_list_empty()
{
    ListWindow w;
    QTRY_VERIFY_WITH_TIMEOUT(!w.access->port_timer()->isActive(), 3000);
    QVERIFY(w.items().isEmpty());
    QCOMPARE(w.access->usb_port_index(), -1);
    QVERIFY(w.access->button("pushButton_OpenCom")->isEnabled());
    QCOMPARE(w.access->log(), QStringList({""}));
    VERIFY_BOXES(w.dialogs);
}

void PortDiscoveryTest::arrival_while_closed_rebuilds_list()
{
    ListWindow w({port("/dev/ttyS0")});
    QTRY_COMPARE_WITH_TIMEOUT(w.items().size(), 1, 3000);
    w.shared->entries.append(port("/dev/ttyACM0"));
    QTRY_COMPARE_WITH_TIMEOUT(w.access->log(), QStringList({"Insert /dev/ttyACM0"}), 3000);
    // The list follows half a second later, with the USB device selected.
    QVERIFY(w.access->port_timer()->isActive());
    QCOMPARE(w.access->port_timer()->interval(), 500);
    QTRY_COMPARE_WITH_TIMEOUT(w.items(), QStringList({"/dev/ttyS0", "/dev/ttyACM0"}), 2000);
    QCOMPARE(w.access->combo("comboBox_Comm")->currentText(), QString("/dev/ttyACM0"));

    // A removal while closed is only logged.
    w.shared->entries.removeFirst();
    QTRY_COMPARE_WITH_TIMEOUT(w.access->log().last(), QString("Remove /dev/ttyS0"), 3000);
    QVERIFY(!w.access->port_timer()->isActive());
    QCOMPARE(w.items(), QStringList({"/dev/ttyS0", "/dev/ttyACM0"}));
    VERIFY_BOXES(w.dialogs);
}

void PortDiscoveryTest::simulator_port_listed_and_followed()
{
    // A simulator started after the tool: its port shows up in the list.
    QTemporaryDir publish;
    ListWindow w;
    auto map_window = std::make_unique<MainWindow>(nullptr, std::make_unique<SystemPortMap>(publish.path()));
    MainWindowTestAccess a(*map_window);
    QTRY_VERIFY_WITH_TIMEOUT(!a.port_timer()->isActive(), 3000);
    a.clear_log();

    SimServer sim(SimConfig{}, publish.path());
    QVERIFY(sim.start());
    QTRY_VERIFY_WITH_TIMEOUT(a.log().contains("Insert " + sim.slave_path()), 3000);
    // With no USB device the simulator is the one pre-selected.
    QTRY_COMPARE_WITH_TIMEOUT(a.combo("comboBox_Comm")->currentText(), sim.slave_path(), 2000);

    sim.stop();
    QTRY_VERIFY_WITH_TIMEOUT(a.log().contains("Remove " + sim.slave_path()), 3000);
    map_window.reset();
    VERIFY_BOXES(w.dialogs);
}

void PortDiscoveryTest::arrival_during_session_only_logged()
{
    SimSession s;
    QVERIFY(s.start());
    s.open_identified();
    QTRY_VERIFY_WITH_TIMEOUT(!s.a().port_timer()->isActive(), 3000);
    const int listed = s.a().combo("comboBox_Comm")->count();
    const QString selected = s.a().combo("comboBox_Comm")->currentText();

    SimServer other(SimConfig{}, s.publish_dir.path());
    QVERIFY(other.start());
    QTRY_COMPARE_WITH_TIMEOUT(s.a().log(), QStringList({"Insert " + other.slave_path()}), 3000);
    QVERIFY(!s.a().port_timer()->isActive());
    QCOMPARE(s.a().combo("comboBox_Comm")->count(), listed);
    QCOMPARE(s.a().combo("comboBox_Comm")->currentText(), selected);
    QVERIFY(s.a().serial()->isOpen());
    VERIFY_BOXES(s.dialogs);
}

void PortDiscoveryTest::removal_of_other_port_leaves_session()
{
    SimSession s;
    QVERIFY(s.start());
    SimServer other(SimConfig{}, s.publish_dir.path());
    QVERIFY(other.start());
    s.open_identified();
    // The tool has seen the other port come.
    QTRY_VERIFY_WITH_TIMEOUT(s.a().log().contains("Insert " + other.slave_path()), 3000);
    QTRY_VERIFY_WITH_TIMEOUT(!s.a().port_timer()->isActive(), 3000);
    s.a().set_port_text(s.sim.slave_path());
    s.a().clear_log();

    other.unplug();
    QTRY_COMPARE_WITH_TIMEOUT(s.a().log(), QStringList({"Remove " + other.slave_path()}), 3000);
    QVERIFY(s.a().serial()->isOpen());
    QCOMPARE(s.a().button("pushButton_OpenCom")->text(), QString("Close Comm"));
    QCOMPARE(s.a().link_down(), 0);
    QVERIFY(s.a().button("pushButton_UpdateFlash")->isEnabled());
    VERIFY_BOXES(s.dialogs);
}

void PortDiscoveryTest::removal_of_open_port_while_idle()
{
    SimSession s;
    QVERIFY(s.start());
    s.open_identified();
    QTRY_VERIFY_WITH_TIMEOUT(!s.a().port_timer()->isActive(), 3000);
    s.a().set_port_text(s.sim.slave_path());
    const QString path = s.sim.slave_path();

    const double cpu_before = cpu_seconds();
    s.sim.unplug();
    QTRY_COMPARE_WITH_TIMEOUT(s.a().log(), QStringList({"Remove " + path}), 3000);
    QCOMPARE(s.a().link_down(), 1);
    QVERIFY(!s.a().serial()->isOpen());
    QCOMPARE(s.a().button("pushButton_OpenCom")->text(), QString("Open Comm"));
    for (const char* name : kGated)
        QVERIFY2(!s.a().button(name)->isEnabled(), name);
    QVERIFY(s.a().port_timer()->isActive());

    // Half a second later the list is rebuilt without the port; the Open
    // button comes back if any port is left to offer. The removal is
    // reported once, however often the list is checked after it.
    QTRY_VERIFY_WITH_TIMEOUT(!s.a().port_timer()->isActive(), 2000);
    QCOMPARE(s.a().combo("comboBox_Comm")->findText(path), -1);
    QCOMPARE(s.a().button("pushButton_OpenCom")->isEnabled(), s.a().combo("comboBox_Comm")->count() > 0);
    QSignalSpy polls(s.window->findChild<PortWatcher*>()->findChild<QTimer*>(), &QTimer::timeout);
    QTRY_VERIFY_WITH_TIMEOUT(polls.count() >= 2, 10000);
    QCOMPARE(s.a().log(), QStringList({"Remove " + path}));
    // A hung-up port must not keep the process busy.
    QVERIFY2(cpu_seconds() - cpu_before < 1.5, qPrintable(QString::number(cpu_seconds() - cpu_before)));
    VERIFY_BOXES(s.dialogs);
}

void PortDiscoveryTest::removal_during_connect_wait()
{
    // The chip is unplugged after it received the second probe.
    SimSession s(SimConfig{0x19714700});
    QVERIFY(s.start());
    s.same_rates();
    s.sim.unplug_after('K', 2);
    const QString path = s.sim.slave_path();
    const double cpu_before = cpu_seconds();
    s.dialogs.expect_error("Time over!");
    s.click("pushButton_OpenCom");

    QCOMPARE(s.frames('K').size(), 2);
    QCOMPARE(s.a().log().first(), "Remove " + path);
    QCOMPARE(s.a().log().count("Remove " + path), 1);
    QVERIFY(!s.a().serial()->isOpen());
    QCOMPARE(s.a().button("pushButton_OpenCom")->text(), QString("Open Comm"));
    QCOMPARE(s.a().edit("lineEdit_McuType")->text(), QString("unknown"));
    QCOMPARE(s.a().link_down(), 1);
    for (const char* name : kGated) {
        if (strcmp(name, "pushButton_OpenCom") != 0)
            QVERIFY2(!s.a().button(name)->isEnabled(), name);
    }
    QVERIFY2(cpu_seconds() - cpu_before < 1.5, qPrintable(QString::number(cpu_seconds() - cpu_before)));
    QTRY_VERIFY_WITH_TIMEOUT(!s.a().port_timer()->isActive(), 2000);
    QCOMPARE(s.a().combo("comboBox_Comm")->findText(path), -1);
    QCOMPARE(s.a().button("pushButton_OpenCom")->isEnabled(), s.a().combo("comboBox_Comm")->count() > 0);
    VERIFY_BOXES(s.dialogs);
}

void PortDiscoveryTest::removal_then_usb_device_back()
{
    // After a removal the Open button comes back only with the USB device.
    ListWindow w({port("/dev/ttyACM0")});
    QTRY_COMPARE_WITH_TIMEOUT(w.items().size(), 1, 3000);
    w.window->set_action_buttons_enabled(false);
    w.shared->entries.clear();
    QTRY_COMPARE_WITH_TIMEOUT(w.access->log(), QStringList({"Remove /dev/ttyACM0"}), 3000);
    QVERIFY(!w.access->button("pushButton_OpenCom")->isEnabled());
    w.shared->entries.append(port("/dev/ttyACM0"));
    QTRY_VERIFY_WITH_TIMEOUT(w.access->button("pushButton_OpenCom")->isEnabled(), 3000);
    QCOMPARE(w.access->log(), QStringList({"Remove /dev/ttyACM0", "Insert /dev/ttyACM0"}));
    VERIFY_BOXES(w.dialogs);
}

void PortDiscoveryTest::removal_then_other_port_offered()
{
    // A USB serial adapter that is not ttyACM0 stays usable after the open
    // port went away: the refresh offers Open Comm for whatever is listed.
    QTemporaryDir publish;
    SimServer sim(SimConfig{}, publish.path());
    QVERIFY(sim.start());
    const QString path = sim.slave_path();
    ListWindow w({port(path), port("/dev/ttyUSB0")});
    QTRY_COMPARE_WITH_TIMEOUT(w.items().size(), 2, 3000);
    QCOMPARE(w.access->combo("comboBox_Comm")->currentText(), path);
    w.access->combo("comboBox_NewRate")->setCurrentIndex(w.access->combo("comboBox_BAUDRATE")->currentIndex());
    QTest::mouseClick(w.access->button("pushButton_OpenCom"), Qt::LeftButton);
    QCOMPARE(w.access->button("pushButton_OpenCom")->text(), QString("Close Comm"));
    w.access->clear_log();

    w.shared->entries.removeFirst();
    QTRY_COMPARE_WITH_TIMEOUT(w.access->log(), QStringList({"Remove " + path}), 3000);
    QVERIFY(!w.access->serial()->isOpen());
    QTRY_VERIFY_WITH_TIMEOUT(!w.access->port_timer()->isActive(), 3000);
    QCOMPARE(w.items(), QStringList({"/dev/ttyUSB0"}));
    QCOMPARE(w.access->combo("comboBox_Comm")->currentText(), QString("/dev/ttyUSB0"));
    QVERIFY(w.access->button("pushButton_OpenCom")->isEnabled());
    QCOMPARE(w.access->button("pushButton_OpenCom")->text(), QString("Open Comm"));
    VERIFY_BOXES(w.dialogs);
}

namespace {

void write_entry(const QString& file, const QByteArray& contents)
{
    QFile f(file);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(contents);
}

}  // namespace

// What a published entry may be: only a regular file of ours naming a
// pseudo-terminal is listed. Reading an entry never blocks, whatever it is.
void PortDiscoveryTest::published_entries_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("listed");
    QTest::newRow("pty") << "pty" << true;
    QTest::newRow("regular file") << "regular" << false;
    QTest::newRow("fifo path") << "fifo path" << false;
    QTest::newRow("/dev/console") << "/dev/console" << false;
    QTest::newRow("/dev/ptmx") << "/dev/ptmx" << false;
    QTest::newRow("/dev/null") << "/dev/null" << false;
    QTest::newRow("relative path") << "relative" << false;
    QTest::newRow("entry is a fifo") << "fifo entry" << false;
    QTest::newRow("entry links to a fifo") << "fifo link" << false;
    QTest::newRow("entry links to a good entry") << "link" << false;
    QTest::newRow("entry of another user") << "foreign" << false;
}

void PortDiscoveryTest::published_entries()
{
    QFETCH(QString, kind);
    QFETCH(bool, listed);
    QTemporaryDir dir;
    RawPty pty;
    QVERIFY(!pty.path().isEmpty());
    const QString entry = published_port_file(dir.path(), QCoreApplication::applicationPid(), 0);
    const QString aside = dir.filePath("aside");
    QVERIFY(::mkfifo(QFile::encodeName(dir.filePath("fifo")).constData(), 0600) == 0);

    if (kind == "pty") {
        write_entry(entry, (pty.path() + '\n').toLocal8Bit());
    } else if (kind == "regular") {
        write_entry(aside, "x");
        write_entry(entry, (aside + '\n').toLocal8Bit());
    } else if (kind == "fifo path") {
        write_entry(entry, (dir.filePath("fifo") + '\n').toLocal8Bit());
    } else if (kind.startsWith('/')) {
        write_entry(entry, (kind + '\n').toLocal8Bit());
    } else if (kind == "relative") {
        QVERIFY(pty.path().startsWith("/dev/"));
        write_entry(entry, (pty.path().mid(1) + '\n').toLocal8Bit());
    } else if (kind == "fifo entry") {
        QVERIFY(::mkfifo(QFile::encodeName(entry).constData(), 0600) == 0);
    } else if (kind == "fifo link") {
        QVERIFY(QFile::link(dir.filePath("fifo"), entry));
    } else if (kind == "link") {
        write_entry(aside, (pty.path() + '\n').toLocal8Bit());
        QVERIFY(QFile::link(aside, entry));
    } else if (kind == "foreign") {
        write_entry(entry, (pty.path() + '\n').toLocal8Bit());
        if (::chown(QFile::encodeName(entry).constData(), 65534, 65534) != 0)
            QSKIP("only root can give a file to another user");
    }

    const QString fifo_entry = kind.startsWith("fifo ") ? entry : dir.filePath("fifo");
    FifoWatchdog watchdog(QFile::encodeName(fifo_entry));
    const QStringList ports = published_ports(dir.path());
    // The poll of a window reads the same entries once a second.
    ListWindow w;
    auto window = std::make_unique<MainWindow>(nullptr, std::make_unique<SystemPortMap>(dir.path()));
    MainWindowTestAccess a(*window);
    QTRY_VERIFY_WITH_TIMEOUT(!a.port_timer()->isActive(), 3000);
    const int found = a.combo("comboBox_Comm")->findText(pty.path());
    window.reset();
    watchdog.release();

    QVERIFY2(!watchdog.fired(), "reading the entries blocked");
    QCOMPARE(ports, listed ? QStringList{pty.path()} : QStringList{});
    QCOMPARE(found >= 0, listed);
}

// The folder is trusted only when it is the user's own and no one else can
// write into it; the simulator refuses to publish anywhere else.
void PortDiscoveryTest::publish_dir_refused_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("trusted");
    QTest::newRow("private") << "private" << true;
    QTest::newRow("created by the simulator") << "missing" << true;
    QTest::newRow("world-writable") << "world" << false;
    QTest::newRow("group-writable") << "group" << false;
    QTest::newRow("of another user") << "foreign" << false;
    QTest::newRow("a link to a private folder") << "link" << false;
}

void PortDiscoveryTest::publish_dir_refused()
{
    QFETCH(QString, kind);
    QFETCH(bool, trusted);
    QTemporaryDir base;
    const QString dir = base.filePath("ports");
    const QByteArray native = QFile::encodeName(dir);
    if (kind == "link") {
        QVERIFY(QDir().mkdir(base.filePath("real")));
        QVERIFY(::chmod(QFile::encodeName(base.filePath("real")).constData(), 0700) == 0);
        QVERIFY(QFile::link(base.filePath("real"), dir));
    } else if (kind != "missing") {
        QVERIFY(QDir().mkdir(dir));
        const mode_t mode = kind == "world" ? 0777 : kind == "group" ? 0770 : 0700;
        QVERIFY(::chmod(native.constData(), mode) == 0);
        if (kind == "foreign" && ::chown(native.constData(), 65534, 65534) != 0)
            QSKIP("only root can give a folder to another user");
    }

    SimServer sim(SimConfig{}, dir);
    QVERIFY(sim.start());
    QCOMPARE(!sim.published_file().isEmpty(), trusted);
    QCOMPARE(publish_dir_is_private(dir), trusted);
    if (trusted) {
        QCOMPARE(published_ports(dir), QStringList{sim.slave_path()});
        struct stat st {};
        QVERIFY(::lstat(native.constData(), &st) == 0);
        QCOMPARE(int(st.st_mode & 0777), 0700);
    } else {
        // Even an entry someone put there naming a live pty is not believed.
        if (QFileInfo(dir).isDir())
            write_entry(published_port_file(dir, QCoreApplication::applicationPid(), 7),
                        (sim.slave_path() + '\n').toLocal8Bit());
        QVERIFY(published_ports(dir).isEmpty());
    }
    sim.stop();
}

QTEST_MAIN(PortDiscoveryTest)
#include "test_port_discovery.moc"
