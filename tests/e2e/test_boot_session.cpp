// The connect handshake of the boot session, with no window: identification
// of each model, its faults, the request on the wire and what the reply sets
// (the last two played from a script, no device needed); and the link's wait
// for a reply, over a bare pty.

#include <QtTest>

#include <QSocketNotifier>

#include "protocol/crc32.h"
#include "protocol/frame.h"
#include "raw_pty.h"
#include "serial/boot_sequences.h"
#include "session_rig.h"

namespace {

SimConfig chip(uint32_t id)
{
    SimConfig c;
    c.chip_id = id;
    c.boot_version = 0x1A2B;
    return c;
}

// What an operator expects on the screen for each chip, written out here
// rather than taken from the tool's catalogue, so a wrong entry there shows.
struct ExpectedModel {
    const char* name;
    uint32_t chip_id;
    const char* version_label;
};
constexpr ExpectedModel kExpectedModels[] = {
    {"VQ4410", 0x19714410, "VQ4410 Boot_Version:"},   {"VQ210", 0x19712100, "VQ210 Boot_Version:"},
    {"VQ210 Uart0", 0x19710210, "VQ210 Boot_Version:"}, {"VQ230", 0x19712300, "VQ230 Boot_Version:"},
    {"VQ330", 0x19713300, "VQ330 Boot_Version:"},     {"VQ250A", 0x1971250A, "VQ250A Boot_Version:"},
    {"VQ250B", 0x1971250B, "VQ250B Boot_Version:"},   {"VQ250C", 0x1971250C, "VQ250C Boot_Version:"},
    {"VQ250D", 0x1971250D, "VQ250D Boot_Version:"},   {"VQ350A", 0x1971350A, "VQ350A Boot_Version:"},
    {"VQ350B", 0x1971350B, "VQ350B Boot_Version:"},   {"VQ360", 0x19713600, "VQ360 Boot_Version:"},
    {"VQ350C", 0x1971350C, "VQ350C Boot_Version:"},   {"VQ350D", 0x1971350D, "VQ350D Boot_Version:"},
    {"VQ4420", 0x19714420, "VQ4420 Boot_Version:"},   {"VQ340", 0x19713400, "VQ340 Boot_Version:"},
    {"VQ470", 0x19714700, "VQ470 Boot_Version:"},
};
constexpr int kExpectedModelCount = int(sizeof kExpectedModels / sizeof kExpectedModels[0]);
constexpr uint32_t kUnknownId = 0x19710000;  // chip_id while a port is open with no model identified

constexpr LinkSettings kLink{kDefaultRateIndex, kDefaultRateIndex, 3};

// A session on no simulator: a bare pty, or nothing.
// Open and identify alone, over a link of their own: the parts built as
// the session builds them, the chip's facts a value the test may start from.
struct BareSession {
    RecordingSink sink;
    TransportMaker maker = make_transport;
    Link link{&sink, [this](const QString& name) { return maker(name); }};
    ChipFacts chip;
    SelectedImages images;
    PortSession port{link, chip, images};

    // Every link made from now on plays `responder` (and `line`, what
    // comes unasked); the frames written to any of them are kept in the
    // list returned.
    std::shared_ptr<QList<QByteArray>> play(ScriptedTransport::Responder responder, ScriptedTransport::Line line = {})
    {
        auto written = std::make_shared<QList<QByteArray>>();
        maker = [responder, line, written](const QString& name) -> std::unique_ptr<Transport> {
            auto t = std::make_unique<ScriptedTransport>(name, responder, written);
            t->set_line(line);
            return t;
        };
        return written;
    }
    QSerialPort* serial() const
    {
        auto* local = dynamic_cast<const SerialTransport*>(link.transport());
        return local ? local->port() : nullptr;
    }
    int connect_device(char mode, uint32_t chip_id, const LinkSettings& settings)
    {
        return ::connect_device(link, chip, ConnectAsk{ConnectMode(mode), chip_id, settings});
    }
    // Whether a reply, of any letter, came within the passes.
    bool wait_for_reply(int passes, int sleep_ms)
    {
        return link.await_reply(ReplyWait{passes, sleep_ms, 0, false, false}) != Reply::TimedOut;
    }
};

// The first CRC of a connect request as the device checks it (the device's
// CRC, not the tool's).
uint32_t first_crc_for(const QByteArray& raw, uint32_t chip_id)
{
    return sim_wire::crc32(raw.left(8) + sim_wire::le32(chip_id));
}

// The catalogue entry a connect request names, found from its first CRC.
int probed_model(const QByteArray& raw)
{
    for (int i = 0; i < kExpectedModelCount; ++i) {
        if (first_crc_for(raw, kExpectedModels[i].chip_id) == sim_wire::u32(raw, 8))
            return i;
    }
    return -1;
}

// What a chip of `chip_id` answers to a connect request, signed over the
// request as the device signs it, with the link fields given.
QByteArray connect_reply(const QByteArray& request, uint32_t chip_id, uint32_t link_code = 0, bool vcom = false,
                         bool no_wait = false)
{
    if (request.size() != 64 || request[0] != 'K')
        return QByteArray();
    QByteArray reply = "K" + QByteArray(62, '\0');
    put_u32le(reply, 1, boot_crc32(request.left(8) + sim_wire::le32(chip_id) + "ZKMB"));
    put_u32le(reply, 9, 0x1A2B);
    put_u32le(reply, 13, link_code);
    if (vcom)
        reply.replace(17, 2, "Vv");
    if (no_wait)
        reply.replace(30, 2, "x\x87");
    return reply;
}

}  // namespace

class BootSessionTest : public QObject {
    Q_OBJECT

private slots:
    void fresh_session();
    void identifies_each_model_data();
    void identifies_each_model();
    void probing_stops_data();
    void probing_stops();
    void reply_sets_the_link_data();
    void reply_sets_the_link();
    void target_mode_connect_is_quiet();

    void wait_loop_times_out_with_box();
    void silent_wait_lasts_its_passes_data();
    void silent_wait_lasts_its_passes();
    void reply_arriving_inside_receive_slot_is_seen();
    void reply_handed_over_by_last_pass_counts();
};

// Before any chip answered: the receive slot waits for more bytes, the
// writes are paced for a hardware UART, the link is down.
void BootSessionTest::fresh_session()
{
    BareSession b;
    QCOMPARE(b.link.reply().waits_for_rest(), true);
    QCOMPARE(b.chip.write_pacing_us, 125);
    QCOMPARE(b.link.down(), true);
    QCOMPARE(b.chip.chip_id, 0u);
    QVERIFY(!b.link.is_open() && !b.link.stop().requested());
    QCOMPARE(b.sink.log, QStringList());
}

void BootSessionTest::identifies_each_model_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("delay_ms");
    QTest::addColumn<int>("split");
    QTest::addColumn<int>("stale_len");  // a partial reply an earlier session left behind
    QTest::addColumn<bool>("boot_sequence");  // sent before the open
    for (int i = 0; i < kExpectedModelCount; ++i)
        QTest::newRow(kExpectedModels[i].name) << i << 0 << 0 << 0 << false;
    // A slow chip or a laggy adapter answers late; the connect waits about
    // 1.5 s (51 passes of 30 ms) before it calls it a time-out.
    QTest::newRow("VQ4410, 1200 ms late") << 0 << 1200 << 0 << 0 << false;
    QTest::newRow("VQ340, in FTDI chunks") << 15 << 0 << 62 << 0 << false;
    QTest::newRow("VQ4410, 1 stale byte") << 0 << 0 << 0 << 1 << false;
    QTest::newRow("VQ4410, 62 stale bytes") << 0 << 0 << 0 << 62 << false;
    // A boot sequence empties the port's buffers: the partial reply goes with them.
    QTest::newRow("VQ4410, 30 stale bytes, boot sequence first") << 0 << 0 << 0 << 30 << true;
}

void BootSessionTest::identifies_each_model()
{
    QFETCH(int, index);
    QFETCH(int, delay_ms);
    QFETCH(int, split);
    QFETCH(int, stale_len);
    QFETCH(bool, boot_sequence);
    const ExpectedModel& model = kExpectedModels[index];
    SessionRig r(chip(model.chip_id));
    QVERIFY(r.start());
    r.sim.set_reply_delay_ms(delay_ms);
    if (split)
        r.sim.set_split(split, 20);
    if (stale_len) {
        // An earlier session on the port left a whole reply not taken and
        // part of another.
        QVERIFY(r.session.open_port(r.sim.slave_path(), kDefaultRateIndex));
        r.leave_partial_reply(stale_len, true);
        QCOMPARE(r.in.rx_len(), stale_len);
        QVERIFY(r.in.rx_ready());
    }
    if (boot_sequence) {
        r.session.send_boot_sequence(r.sim.slave_path(), kDefaultRateIndex, bootupdate_sequence());
        QCOMPARE(r.in.rx_len(), 0);
        QCOMPARE(r.in.rx_ready(), false);
        r.leave_partial_reply(stale_len);  // and once more, across the open
    }
    QCOMPARE(r.open(), 0);

    QCOMPARE(r.sink.chip, QString(model.name));
    QCOMPARE(r.session.chip().chip_id, model.chip_id);
    QCOMPARE(r.sink.log, QStringList({"vcom_index = 0", QString(model.version_label) + "1a2b"}));
    QVERIFY(r.sink.actions);
    QCOMPARE(r.in.link_down(), 0);
    QCOMPARE(r.session.chip().boot_version, 0x1A2Bu);

    // Probed in catalogue order up to the model, each request laid out alike.
    const QVector<SimFrame> probes = r.frames('K');
    QCOMPARE(probes.size(), index + 1);
    for (int i = 0; i < probes.size(); ++i) {
        const QByteArray f = probes[i].raw;
        QCOMPARE(probed_model(f), i);
        QCOMPARE(f.size(), 64);
        QCOMPARE(f.left(4), QByteArray("K0VQ"));
        QCOMPARE(f.mid(12, 5), QByteArray::fromHex("e81700007f"));
        QCOMPARE(f.mid(17, 15), QByteArray(15, '\0'));  // no images selected, reserved zeros
        QCOMPARE(sim_wire::u32(f, 32), sim_wire::crc32(f, 32));
        QCOMPARE(f.mid(36), QByteArray(28, '\0'));
    }
    VERIFY_BOXES(r.sink);
}

void BootSessionTest::probing_stops_data()
{
    // 0: silent once, 1: a reply of another letter, 2: a chip in no entry, 3: a reply of another letter
    // to every connect, 4: a reply of another letter, then 63-byte frames every 100 ms for 0.8 s
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("probes");  // -1: a few, fewer than kProbesForEver
    QTest::addColumn<QStringList>("log");
    QTest::addColumn<int>("busy_retry_ms");  // the front end's; the window's is 0
    QTest::newRow("silent chip: Time over!") << 0 << 1 << QStringList() << 0;
    QTest::newRow("wrong letter") << 1 << 1 << QStringList({"Connect device,and return error command"}) << 0;
    QTest::newRow("chip in no entry: every model probed") << 2 << kExpectedModelCount << QStringList() << 0;
    // A boot loader finishing a stopped command answers out of turn; a front
    // end that may follow a stop connects again and finds the chip.
    QTest::newRow("wrong letter, connecting again")  // once, then the models up to this chip's, 17th listed
        << 1 << 1 + 17
        << QStringList({"Connect device,and return error command",
                        "The boot loader is still busy: connecting again when the line is quiet"})
        << 3000;
    QTest::newRow("silent chip, connecting again: absent at once") << 0 << 1 << QStringList() << 3000;
    // One deadline for every attempt, or a boot loader that keeps answering
    // out of turn is asked for ever.
    QTest::newRow("out of turn for ever: connecting again until the deadline")
        << 3 << -1
        << QStringList({"Connect device,and return error command",
                        "The boot loader is still busy: connecting again when the line is quiet"})
        << 1000;
    // The line is quiet once nothing has come for a while, however long
    // the boot loader talks on.
    QTest::newRow("talking on: connecting again once it is quiet")
        << 4 << 1 + 17
        << QStringList({"Connect device,and return error command",
                        "The boot loader is still busy: connecting again when the line is quiet"})
        << 3000;
}

void BootSessionTest::probing_stops()
{
    QFETCH(int, fault);
    QFETCH(int, probes);
    QFETCH(QStringList, log);
    QFETCH(int, busy_retry_ms);
    const bool silent = fault == 0;
    const bool found = busy_retry_ms > 0 && (fault == 1 || fault == 4);
    constexpr int kProbesForEver = 60;
    BareSession b;
    int requests = 0;
    QElapsedTimer line_clock;
    qint64 second_request_ms = -1;
    qint64 sent_until = 0;  // of the boot loader's talk, on line_clock
    b.play(
        [&](const QByteArray& request) {
            QByteArray reply = connect_reply(request, fault == 2 ? 0x19719999 : 0x19714700);
            if (reply.isEmpty())
                return reply;
            if (++requests == 1)
                line_clock.start();
            if (requests == 2)
                second_request_ms = line_clock.elapsed();
            if (fault == 3 && requests >= kProbesForEver)
                b.link.stop().request();
            if ((requests == 1 && fault != 2) || fault == 3)
                return fault == 0 ? QByteArray() : reply.replace(0, 1, "?");
            return reply;
        },
        [&] {
            // The boot loader talks on after its reply out of turn.
            if (fault != 4 || !line_clock.isValid() || requests != 1)
                return QByteArray();
            const qint64 now = qMin<qint64>(line_clock.elapsed(), 800);
            QByteArray out;
            for (qint64 t = (sent_until / 100 + 1) * 100; t <= now; t += 100)
                out += QByteArray(1, char(0x7E)) + QByteArray(62, '0');
            sent_until = qMax(sent_until, now);
            return out;
        });
    if (silent)
        b.sink.expect_error("Time over!");
    b.port.set_busy_connect_retry_ms(busy_retry_ms);
    QElapsedTimer clock;
    clock.start();
    LinkSettings link = kLink;
    QCOMPARE(b.port.open_and_identify(QStringLiteral("scripted"), &link) == 0, found);
    // A silent chip gets the whole wait: 51 x 30 ms, less room for a coarse clock; no upper bound.
    if (silent)
        QVERIFY2(clock.elapsed() >= 1400, qPrintable(QString::number(clock.elapsed())));
    if (probes < 0)
        QVERIFY2(requests < kProbesForEver, qPrintable(QString::number(requests)));
    else
        QCOMPARE(requests, probes);
    if (fault == 4)  // not a connect while the boot loader was still talking
        QVERIFY2(second_request_ms >= 800, qPrintable(QString::number(second_request_ms)));
    QCOMPARE(busy_retry_ms > 0 ? b.sink.log.mid(0, log.size()) : b.sink.log, log);
    QCOMPARE(b.chip.chip_id, found ? 0x19714700u : kUnknownId);
    VERIFY_BOXES(b.sink);
    if (found)
        return;
    QCOMPARE(b.sink.chip, QString("unknown"));
    QVERIFY(b.link.is_open());
    QVERIFY(!b.sink.actions);
}

void BootSessionTest::reply_sets_the_link_data()
{
    QTest::addColumn<uint>("chip_id");
    QTest::addColumn<bool>("no_wait");  // the "no need to wait" flag
    QTest::addColumn<uint>("link_code");
    QTest::addColumn<bool>("vcom");
    QTest::addColumn<int>("rx_wait_enabled");
    QTest::addColumn<int>("pacing");  // us between bytes; 77 before the open
    const uint vq4410 = 0x19714410u, unknown = 0x19719999u;
    // The wait flag follows the reply even when the chip is not the one asked for.
    QTest::newRow("identified, flag") << vq4410 << true << 0u << false << 0 << 77;
    QTest::newRow("unknown, flag") << unknown << true << 0u << false << 0 << 77;
    QTest::newRow("unknown, no flag") << unknown << false << 0u << false << 1 << 77;
    QTest::newRow("link 0080") << vq4410 << false << 0xEEBA0080u << false << 1 << 125;
    QTest::newRow("link 0081") << vq4410 << false << 0xEEBA0081u << false << 1 << 50;
    QTest::newRow("link 0020") << vq4410 << false << 0xEEBA0020u << false << 1 << 125;
    QTest::newRow("virtual COM") << 0x1971350Au << false << 0u << true << 1 << 77;
}

void BootSessionTest::reply_sets_the_link()
{
    QFETCH(uint, chip_id);
    QFETCH(bool, no_wait);
    QFETCH(uint, link_code);
    QFETCH(bool, vcom);
    QFETCH(int, rx_wait_enabled);
    QFETCH(int, pacing);
    BareSession b;
    const auto written =
        b.play([&](const QByteArray& request) { return connect_reply(request, chip_id, link_code, vcom, no_wait); });
    b.chip.write_pacing_us = 77;
    LinkSettings link = kLink;
    QCOMPARE(b.port.open_and_identify(QStringLiteral("scripted"), &link),
             chip_id == 0x19719999u ? int(operation_result::kNoChip) : int(operation_result::kOk));
    QVERIFY(!written->isEmpty());
    QCOMPARE(int(b.link.reply().waits_for_rest()), rx_wait_enabled);
    QCOMPARE(b.chip.write_pacing_us, pacing);
    QCOMPARE(b.chip.vcom, vcom);
    if (vcom)
        QCOMPARE(b.sink.log, QStringList({"vcom_index = 1", "VQ350A Boot_Version:1a2b"}));
    VERIFY_BOXES(b.sink);
}

void BootSessionTest::target_mode_connect_is_quiet()
{
    SessionRig r(chip(0x19714410));
    QVERIFY(r.start());
    QVERIFY(r.open_identified());
    r.sim.with_device([](SimDevice& d) {
        SimConfig changed = d.config();
        changed.boot_version = 0x99;
        changed.vcom = true;
        d.set_config(changed);
        return 0;
    });
    QCOMPARE(r.in.connect_device('1', 0x19714410, r.link), 0);
    QCOMPARE(r.in.connect_device('2', 0x19714410, r.link), 0);
    QCOMPARE(r.in.connected.boot_version, 0x1A2Bu);
    QCOMPARE(r.in.connected.vcom, false);
    QCOMPARE(r.sink.log, QStringList());
    const QVector<SimFrame> probes = r.frames('K');
    QCOMPARE(probes.last().variant, '2');
    QCOMPARE(probes.at(probes.size() - 2).variant, '1');
    // A model the chip is not: answered, but not proven.
    QCOMPARE(r.in.connect_device('1', 0x19714700, r.link), 1);
    VERIFY_BOXES(r.sink);
}

// ---------------------------------------------------------------- The wait for a reply, over a bare pty

void BootSessionTest::wait_loop_times_out_with_box()
{
    RawPty pty;
    QVERIFY(!pty.path().isEmpty());
    BareSession b;
    QVERIFY(b.port.open_port(pty.path(), kDefaultRateIndex));

    QVERIFY(!b.wait_for_reply(3, 1));
    // A connect nobody answers: the whole wait, then the box.
    b.sink.expect_error("Time over!");
    QCOMPARE(b.connect_device('0', 0x19714410, kLink), -2);
    QCOMPARE(pty.read(64).size(), 64);
    VERIFY_BOXES(b.sink);
}

void BootSessionTest::silent_wait_lasts_its_passes_data()
{
    QTest::addColumn<int>("passes");
    QTest::addColumn<int>("sleep_ms");
    QTest::newRow("1 ms passes, as a block write's") << 250 << 1;
    QTest::newRow("passes of a slice or more") << 30 << 10;
}

// A silent device is given the passes' sum: never less, and not a multiple
// of it (a stalled line would hold every block that long). The upper bound
// leaves room for a loaded machine.
void BootSessionTest::silent_wait_lasts_its_passes()
{
    QFETCH(int, passes);
    QFETCH(int, sleep_ms);
    RawPty pty;
    BareSession b;
    QVERIFY(b.port.open_port(pty.path(), kDefaultRateIndex));
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!b.wait_for_reply(passes, sleep_ms));
    const qint64 took = clock.elapsed();
    QVERIFY2(took >= passes * sleep_ms && took < 3 * passes * sleep_ms, qPrintable(QString::number(took)));
}

void BootSessionTest::reply_arriving_inside_receive_slot_is_seen()
{
    // The reply comes in two chunks, the second while the receive slot is
    // still handling the first: Qt then emits no second readyRead.
    RawPty pty;
    BareSession b;
    // The device answers from this thread's event loop, served as the
    // window serves it: between the slices of the wait.
    b.link.set_idle([] { QCoreApplication::processEvents(); });
    QVERIFY(b.port.open_port(pty.path(), kDefaultRateIndex));

    const uint32_t chip = 0x19713600;
    QByteArray reply;
    QSocketNotifier notifier(pty.master(), QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, [&] {
        notifier.setEnabled(false);
        reply = connect_reply(pty.read(64), chip);
        put_u32le(reply, 9, 0x352);
        pty.write(reply.left(30));
    });
    bool second_sent = false;
    QSerialPort* port = b.serial();
    QObject::connect(port, &QSerialPort::readyRead, [&] {
        if (second_sent)
            return;
        second_sent = true;
        // Still inside the emission that ran the receive slot.
        pty.write(reply.mid(30));
        QElapsedTimer t;
        t.start();
        while (port->bytesAvailable() == 0 && t.elapsed() < 2000)
            QCoreApplication::processEvents();
    });

    QCOMPARE(b.connect_device('0', chip, kLink), 0);
    QVERIFY(second_sent);
    QCOMPARE(b.chip.boot_version, 0x352u);
    QCOMPARE(b.sink.log, QStringList({"vcom_index = 0", "VQ360 Boot_Version:352"}));
    VERIFY_BOXES(b.sink);
}

// The loop tests the flag once more after its last pass: a reply handed to
// the receive slot by that pass's event pumping is a reply, not a time-out.
void BootSessionTest::reply_handed_over_by_last_pass_counts()
{
    RawPty pty;
    QVERIFY(!pty.path().isEmpty());
    BareSession b;
    QVERIFY(b.port.open_port(pty.path(), kDefaultRateIndex));

    // Park a whole reply in the port's buffer without the receive slot seeing it.
    b.serial()->blockSignals(true);
    pty.write(QByteArray(63, 'K'));
    constexpr int kPatienceMs = 3000;
    while (b.serial()->bytesAvailable() < 63 && b.serial()->waitForReadyRead(kPatienceMs)) {
    }
    QCOMPARE(b.serial()->bytesAvailable(), qint64(63));
    b.serial()->blockSignals(false);
    QVERIFY(!b.link.reply().whole());
    b.link.reply().set_wait_for_rest(false);

    // One pass: its test fails, its pumping hands the bytes over, and only
    // the test after the loop can see them.
    QVERIFY(b.wait_for_reply(1, 0));
    QCOMPARE(char(b.link.reply().bytes()[0]), 'K');
    VERIFY_BOXES(b.sink);
}

QTEST_MAIN(BootSessionTest)
#include "test_boot_session.moc"
