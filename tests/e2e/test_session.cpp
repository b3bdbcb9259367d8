// Open Comm, identification, the New Rate, Run and the BootMode buttons,
// end to end: the real window, a real pty, the simulated boot loader.

#include <QtTest>

#include "serial/boot_sequences.h"
#include "session_rig.h"
#include "sim_session.h"

namespace {

const char* const kActionButtons[] = {"pushButton_UpdateMCU", "pushButton_CheckMCU", "pushButton_UpdateFlash",
                                      "pushButton_FlashInfo", "pushButton_CheckFlash"};

SimConfig chip(uint32_t id)
{
    SimConfig c;
    c.chip_id = id;
    c.boot_version = 0x1A2B;
    return c;
}

}  // namespace

class SessionTest : public QObject {
    Q_OBJECT

private slots:
    void sink_carries_what_window_shows_data();
    void sink_carries_what_window_shows();

    void new_rate_data();
    void new_rate();
    void line_is_8n1_without_flow_control_data();
    void line_is_8n1_without_flow_control();
    void return_115200_on_close();
    void close_comm_disables_actions();

    void run_starts_application();
    void run_with_port_closed();

    void boot_modes_send_sequences_data();
    void boot_modes_send_sequences();
    void boot_mode_closes_open_session();
    void unopenable_port_data();
    void unopenable_port();

    void presses_during_identification_ignored();
    void closes_cleanly_after_device_vanished();
};

void SessionTest::new_rate_data()
{
    QTest::addColumn<uint>("chip_id");
    QTest::addColumn<int>("rate_index");  // the New Rate box too; -1: the start-up boxes
    QTest::addColumn<int>("probes");      // at the rate, then as many at the New Rate
    QTest::addColumn<int>("rate");        // in force afterwards
    // 115200 asking for index 9 (1382400), then the New Rate asking for nothing.
    QTest::newRow("start-up boxes: reconnects") << 0x19714420u << -1 << 15 << 1382400;
    QTest::newRow("equal boxes: stays") << 0x19714410u << 8 << 1 << 921600;
}

void SessionTest::new_rate()
{
    QFETCH(uint, chip_id);
    QFETCH(int, rate_index);
    QFETCH(int, probes);
    QFETCH(int, rate);
    SimSession s(chip(chip_id));
    QVERIFY(s.start());
    if (rate_index >= 0) {
        s.a().combo("comboBox_BAUDRATE")->setCurrentIndex(rate_index);
        s.a().combo("comboBox_NewRate")->setCurrentIndex(rate_index);
    }
    s.click("pushButton_OpenCom");

    const bool reconnects = rate_index < 0;
    const QVector<SimFrame> sent = s.frames('K');
    QCOMPARE(sent.size(), reconnects ? 2 * probes : probes);
    QCOMPARE(uint8_t(sent.first().raw[16]), uint8_t(reconnects ? 9 : 0x7F));
    QCOMPARE(uint8_t(sent.at(probes - 1).raw[16]), uint8_t(reconnects ? 9 : 0x7F));
    QCOMPARE(uint8_t(sent.last().raw[16]), uint8_t(0x7F));
    const QStringList identified = {"vcom_index = 0", s.a().edit("lineEdit_McuType")->text() + " Boot_Version:1a2b"};
    QCOMPARE(s.a().log(), reconnects ? identified + QStringList{"Reconnected with the new baud rate..."} + identified
                                     : identified);
    QCOMPARE(s.a().combo("comboBox_BAUDRATE")->currentText(), QString::number(rate));
    QCOMPARE(s.a().serial()->baudRate(), rate);
    QCOMPARE(s.sim.with_device([](SimDevice& d) { return d.rate_in_force(); }), reconnects ? rate : 115200);
    QCOMPARE(s.sim.line_rate(), rate);
    QCOMPARE(s.a().reconnect_state(), 0);
    QCOMPARE(s.a().edit("lineEdit_McuType")->text(), QString(reconnects ? "VQ4420" : "VQ4410"));
    QCOMPARE(s.a().button("pushButton_OpenCom")->text(), QString("Close Comm"));
    VERIFY_BOXES(s.dialogs);
}

// A UART at 7 data bits or two stop bits garbles every frame, yet a pty
// carries them intact: the simulator reads back what the host set (rate,
// stop bits, flow control) with every frame.
void SessionTest::line_is_8n1_without_flow_control_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("new_rate_index");  // -1: same as the rate
    QTest::addColumn<QList<int>>("rates");    // of the frames received, in order
    QTest::newRow("Open Comm") << "pushButton_OpenCom" << -1 << QList<int>{115200};
    QTest::newRow("reconnect at the New Rate") << "pushButton_OpenCom" << 9 << QList<int>{115200, 1382400};
    QTest::newRow("BootMode-I") << "pushButton_Boot" << -1 << QList<int>{115200};
    QTest::newRow("BootMode-II") << "pushButton_BootII" << -1 << QList<int>{115200};
}

void SessionTest::line_is_8n1_without_flow_control()
{
    QFETCH(QString, button);
    QFETCH(int, new_rate_index);
    QFETCH(QList<int>, rates);
    SimSession s(chip(0x19714410));
    QVERIFY(s.start());
    if (new_rate_index < 0)
        s.same_rates();
    else
        s.a().combo("comboBox_NewRate")->setCurrentIndex(new_rate_index);
    s.click(button.toLatin1().constData());
    if (button != "pushButton_OpenCom")
        QTRY_VERIFY(!s.sim.with_device([](SimDevice& d) { return d.frames(); }).isEmpty());

    const QVector<SimFrame> frames = s.sim.with_device([](SimDevice& d) { return d.frames(); });
    QList<int> seen_rates;
    for (const SimFrame& f : frames) {
        QVERIFY(f.kind != FrameKind::Unknown);
        QCOMPARE(f.line.format(), QString("8N1"));
        if (seen_rates.isEmpty() || seen_rates.last() != f.line.rate)
            seen_rates << f.line.rate;
    }
    QCOMPARE(seen_rates, rates);
    if (button == "pushButton_OpenCom")
        QCOMPARE(s.sim.line_settings().format(), QString("8N1"));
    // A pty forces 8 data bits and no parity whatever it is asked for, so the
    // device cannot see those two: read them from the port the tool set up
    // (a BootMode press keeps its closed port object).
    QCOMPARE(s.a().serial()->dataBits(), QSerialPort::Data8);
    QCOMPARE(s.a().serial()->parity(), QSerialPort::NoParity);
    VERIFY_BOXES(s.dialogs);
}

void SessionTest::return_115200_on_close()
{
    SimSession s(chip(0x19714410));
    QVERIFY(s.start());
    s.a().widget<QCheckBox>("checkBox_BaudRate")->setChecked(true);
    s.click("pushButton_OpenCom");
    QVERIFY(s.a().log().contains("Reconnected with the new baud rate..."));
    QCOMPARE(s.a().combo("comboBox_BAUDRATE")->currentText(), QString("1382400"));
    s.click("pushButton_OpenCom");
    QCOMPARE(s.a().combo("comboBox_BAUDRATE")->currentText(), QString("115200"));
    QVERIFY(!s.a().serial()->isOpen());
    VERIFY_BOXES(s.dialogs);
}

void SessionTest::close_comm_disables_actions()
{
    SimSession s(chip(0x19714410));
    QVERIFY(s.start());
    s.open_identified();
    s.a().combo("comboBox_WaitTime")->setCurrentIndex(6);
    s.click("pushButton_OpenCom");
    QVERIFY(!s.a().serial()->isOpen());
    QCOMPARE(s.a().wait_ms(), 7);
    QCOMPARE(s.a().button("pushButton_OpenCom")->text(), QString("Open Comm"));
    QVERIFY(s.a().button("pushButton_OpenCom")->isEnabled());
    for (const char* name : kActionButtons)
        QVERIFY2(!s.a().button(name)->isEnabled(), name);
    QVERIFY(!s.a().button("pushButton_RunApp")->isEnabled());
    // Open again: a fresh port, identified again.
    s.click("pushButton_OpenCom");
    QCOMPARE(s.a().button("pushButton_OpenCom")->text(), QString("Close Comm"));
    QCOMPARE(s.a().edit("lineEdit_McuType")->text(), QString("VQ4410"));
    VERIFY_BOXES(s.dialogs);
}

void SessionTest::run_starts_application()
{
    SimSession s(chip(0x19714410));
    QVERIFY(s.start());
    s.open_identified();
    s.a().combo("comboBox_BAUDRATE")->setCurrentIndex(7);
    s.click("pushButton_RunApp");
    QTRY_VERIFY(s.sim.with_device([](SimDevice& d) { return d.app_started(); }));
    const QVector<SimFrame> runs = s.frames('O');
    QCOMPARE(runs.size(), 1);
    QCOMPARE(runs[0].raw.size(), 64);
    QCOMPARE(runs[0].raw.left(12), QByteArray::fromHex("4f0080000800000000000000"));
    QCOMPARE(sim_wire::u32(runs[0].raw, 12), sim_wire::crc32(runs[0].raw, 12));
    QCOMPARE(runs[0].raw.mid(16), QByteArray(48, '\0'));
    QVERIFY(!s.a().serial()->isOpen());
    QCOMPARE(s.a().button("pushButton_OpenCom")->text(), QString("Open Comm"));
    QVERIFY(s.a().button("pushButton_OpenCom")->isEnabled());
    for (const char* name : kActionButtons)
        QVERIFY2(!s.a().button(name)->isEnabled(), name);
    QVERIFY(!s.a().button("pushButton_RunApp")->isEnabled());
    QCOMPARE(s.a().combo("comboBox_BAUDRATE")->currentText(), QString("115200"));
    VERIFY_BOXES(s.dialogs);
}

void SessionTest::run_with_port_closed()
{
    SimSession s(chip(0x19714410));
    QVERIFY(s.start());
    s.dialogs.expect_error("Please open the port!");
    QMetaObject::invokeMethod(s.window.get(), "on_pushButton_RunApp_clicked");
    QCOMPARE(s.sim.with_device([](SimDevice& d) { return d.received().size(); }), 0);
    VERIFY_BOXES(s.dialogs);
}

void SessionTest::boot_modes_send_sequences_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QByteArray>("sequence");
    QTest::newRow("BootMode-I") << "pushButton_Boot"
                                << QByteArray::fromHex("aaff" "424f4f54555044415445" "a418e41b11ee");
    QTest::newRow("BootMode-II") << "pushButton_BootII" << QByteArray::fromHex("5aa507107011aa551199");
}

void SessionTest::boot_modes_send_sequences()
{
    QFETCH(QString, button);
    QFETCH(QByteArray, sequence);
    QCOMPARE(sequence, button == "pushButton_Boot" ? bootupdate_sequence() : bootmode2_sequence());
    SimSession s(chip(0x19714410));
    QVERIFY(s.start());
    s.a().combo("comboBox_WaitTime")->setCurrentIndex(0);
    s.click(button.toLatin1().constData());
    QTRY_COMPARE(s.sim.with_device([](SimDevice& d) { return d.received(); }), sequence);
    QCOMPARE(s.a().wait_ms(), 1);
    QVERIFY(!s.a().serial()->isOpen());
    QCOMPARE(s.a().button("pushButton_OpenCom")->text(), QString("Open Comm"));
    QCOMPARE(s.a().log(), QStringList({""}));
    VERIFY_BOXES(s.dialogs);
}

void SessionTest::boot_mode_closes_open_session()
{
    SimSession s(chip(0x19714410));
    QVERIFY(s.start());
    s.open_identified();
    s.clear_records();
    s.click("pushButton_BootII");
    QTRY_COMPARE(s.sim.with_device([](SimDevice& d) { return d.received(); }), bootmode2_sequence());
    QVERIFY(!s.a().serial()->isOpen());
    QCOMPARE(s.a().button("pushButton_OpenCom")->text(), QString("Open Comm"));
    QVERIFY(s.a().button("pushButton_OpenCom")->isEnabled());
    // The action buttons keep their state.
    for (const char* name : kActionButtons)
        QVERIFY2(s.a().button(name)->isEnabled(), name);
    // Twice on the same port object: the sequence goes out once per press.
    s.clear_records();
    s.click("pushButton_Boot");
    QTRY_COMPARE(s.sim.with_device([](SimDevice& d) { return d.received(); }), bootupdate_sequence());
    VERIFY_BOXES(s.dialogs);
}

void SessionTest::unopenable_port_data()
{
    QTest::addColumn<QString>("button");
    QTest::newRow("Open Comm") << "pushButton_OpenCom";
    QTest::newRow("BootMode-I") << "pushButton_Boot";
    QTest::newRow("BootMode-II") << "pushButton_BootII";
}

void SessionTest::unopenable_port()
{
    QFETCH(QString, button);
    SimSession s(chip(0x19714410));
    QVERIFY(s.start());
    s.a().set_port_text("/nonexistent/port");
    s.dialogs.expect_information("Title", "Open fail");
    s.click(button.toLatin1().constData());
    QCOMPARE(s.a().button("pushButton_OpenCom")->text(), QString("Open Comm"));
    QCOMPARE(s.a().chip_id(), 0u);
    QCOMPARE(s.a().link_down(), 1);
    QCOMPARE(s.a().log(), QStringList({""}));
    VERIFY_BOXES(s.dialogs);
}

void SessionTest::presses_during_identification_ignored()
{
    // Slow replies keep the probe waiting (and pumping events) for a while.
    SimSession s(chip(0x19714410));
    QVERIFY(s.start());
    s.same_rates();
    s.sim.set_reply_delay_ms(100);
    const char* const guarded[] = {"pushButton_OpenCom", "pushButton_Boot", "pushButton_BootII"};
    int presses = 0;
    QStringList enabled_meanwhile;
    QTimer presser;
    QObject::connect(&presser, &QTimer::timeout, [&] {
        // Only during the probe: between the first connect frame and the end.
        if (s.frames('K').isEmpty() || s.a().button("pushButton_OpenCom")->text() != "Close Comm")
            return;
        for (const char* name : guarded) {
            if (s.a().button(name)->isEnabled())
                enabled_meanwhile << name;
            QTest::mouseClick(s.a().button(name), Qt::LeftButton);
            ++presses;
        }
    });
    presser.start(10);
    s.click("pushButton_OpenCom");
    presser.stop();

    QVERIFY(presses > 0);
    QCOMPARE(enabled_meanwhile, QStringList());
    QCOMPARE(s.a().edit("lineEdit_McuType")->text(), QString("VQ4410"));
    QVERIFY(s.a().serial()->isOpen());
    QCOMPARE(s.a().button("pushButton_OpenCom")->text(), QString("Close Comm"));
    for (const char* name : guarded)
        QVERIFY2(s.a().button(name)->isEnabled(), name);
    for (const char* name : kActionButtons)
        QVERIFY2(s.a().button(name)->isEnabled(), name);
    // VQ4410 is the first model probed: one probe, nothing more.
    QCOMPARE(s.frames('K').size(), 1);
    VERIFY_BOXES(s.dialogs);
}

void SessionTest::closes_cleanly_after_device_vanished()
{
    // The chip goes away and the window is closed before it has noticed:
    // closing the port then reports the error.
    SimSession s(chip(0x19714410));
    QVERIFY(s.start());
    s.open_identified();
    s.sim.unplug();
    QTest::qSleep(200);
    QVERIFY(s.close_window_writes_config());
}

void SessionTest::sink_carries_what_window_shows_data()
{
    QTest::addColumn<Operation>("operation");
    QTest::addColumn<QStringList>("received");  // kinds of report the operation must give
    QTest::addColumn<uint>("chip_id");
    const uint vq4410 = 0x19714410u;
    QTest::newRow("open") << Operation::OpenPort << QStringList({"chip", "actions"}) << vq4410;
    QTest::newRow("open, chip in no entry") << Operation::OpenPort << QStringList({"chip"}) << 0x19719999u;
    // Its application is in the external flash: not started from here.
    QTest::newRow("open, VQ210 Uart0") << Operation::OpenPort << QStringList({"chip", "actions"}) << 0x19710210u;
    QTest::newRow("flash info") << Operation::FlashInfo << QStringList({"flash"}) << vq4410;
    QTest::newRow("input mcu") << Operation::InputMcuImage << QStringList({"mcu label"}) << vq4410;
    QTest::newRow("input flash") << Operation::InputFlashImage << QStringList({"flash label"}) << vq4410;
    QTest::newRow("update mcu") << Operation::UpdateMcu << QStringList({"mcu label", "actions", "progress"}) << vq4410;
}

// The window shows exactly what its session reports, and nothing it did not.
void SessionTest::sink_carries_what_window_shows()
{
    QFETCH(Operation, operation);
    QFETCH(QStringList, received);
    QFETCH(uint, chip_id);
    SimSession s(chip(chip_id));
    QVERIFY(s.start());
    QByteArray image(5000, '\x5A');
    sim_wire::set_u32(image, 4, 0x08008000);
    const QString path = s.write("image.bin", image);
    s.a().edit("lineEdit_MCU")->setText(path);
    s.a().edit("lineEdit_Flash")->setText(path);
    s.same_rates();  // no reconnect: its line is the window's own
    if (operation != Operation::OpenPort)
        s.open_identified();
    RecordingSink tap;
    tap.also = &s.a().window_sink();
    tap.actions = s.a().button("pushButton_UpdateMCU")->isEnabled();  // until the session says otherwise
    s.a().s().set_sink(&tap);
    s.a().clear_log();
    s.a().start(operation);
    s.a().s().set_sink(&s.a().window_sink());

    const QMap<QString, bool> reported{{"chip", !tap.chip.isEmpty()}, {"flash", !tap.flash.isEmpty()},
                                       {"mcu label", !tap.mcu_label_text.isEmpty()},
                                       {"flash label", !tap.flash_label_text.isEmpty()},
                                       {"progress", tap.progress_value >= 0}, {"actions", tap.actions_reported}};
    for (const QString& kind : received)
        QVERIFY2(reported.value(kind), qPrintable(kind));
    QCOMPARE(s.a().widget<QTextEdit>("textEdit")->toPlainText(), tap.log.join('\n'));
    if (reported["chip"])
        QCOMPARE(s.a().edit("lineEdit_McuType")->text(), tap.chip);
    if (reported["flash"])
        QCOMPARE(QStringList({s.a().edit("lineEdit_FlashID")->text(), s.a().edit("lineEdit_FlashSize")->text(),
                              s.a().edit("lineEdit_FlashName")->text()}),
                 tap.flash);
    if (reported["mcu label"])
        QCOMPARE(s.a().label("label_MCUCRC"), tap.mcu_label_text);
    if (reported["flash label"])
        QCOMPARE(s.a().label("label_FlashCRC"), tap.flash_label_text);
    if (reported["progress"])
        QCOMPARE(s.a().progress(), tap.progress_value);
    for (const char* name : kActionButtons)
        QCOMPARE(s.a().button(name)->isEnabled(), tap.actions);
    QCOMPARE(s.a().button("pushButton_RunApp")->isEnabled(), tap.actions && chip_id != 0x19710210u);
    if (operation == Operation::OpenPort)
        QCOMPARE(s.a().button("pushButton_OpenCom")->text(), QString("Close Comm"));
    QCOMPARE(s.dialogs.shown, tap.shown);
    VERIFY_BOXES(s.dialogs);
}

QTEST_MAIN(SessionTest)
#include "test_session.moc"
