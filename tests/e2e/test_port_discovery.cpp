// The port list, its USB pre-selection, and serial devices that come and
// go: from a test port map, and from simulators that publish and unplug.

#include <QtTest>
#include <sys/resource.h>

#include "fake_port_map.h"
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
    void empty_map_leaves_list_empty();
    void arrival_while_closed_rebuilds_list();
    void simulator_port_listed_and_followed();
    void arrival_during_session_only_logged();
    void removal_of_other_port_leaves_session();
    void removal_of_open_port_while_idle();
    void removal_during_connect_wait();
    void removal_then_usb_device_back();
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

    // Half a second later the list is rebuilt without the port; no USB
    // device, so the Open button stays off. The removal is reported once.
    QTRY_VERIFY_WITH_TIMEOUT(!s.a().port_timer()->isActive(), 2000);
    QCOMPARE(s.a().combo("comboBox_Comm")->findText(path), -1);
    QVERIFY(!s.a().button("pushButton_OpenCom")->isEnabled());
    QTest::qWait(1500);
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
    for (const char* name : kGated)
        QVERIFY2(!s.a().button(name)->isEnabled(), name);
    QVERIFY2(cpu_seconds() - cpu_before < 1.5, qPrintable(QString::number(cpu_seconds() - cpu_before)));
    QTRY_VERIFY_WITH_TIMEOUT(!s.a().port_timer()->isActive(), 2000);
    QCOMPARE(s.a().combo("comboBox_Comm")->findText(path), -1);
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

QTEST_MAIN(PortDiscoveryTest)
#include "test_port_discovery.moc"
