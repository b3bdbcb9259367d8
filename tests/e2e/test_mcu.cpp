// The chip's own flash end to end: the MCU image taken from a file, Update
// MCU and Check Mcu CRC, on the session through a real pty to the simulated
// boot loader; and a newcomer's clicks in the window.

#include <QDir>
#include <QFile>
#include <QtTest>
#include <ctime>

#include "session_rig.h"
#include "sim_session.h"
#include "sim_wire.h"

namespace {

constexpr uint32_t kVq4410 = 0x19714410;
constexpr uint32_t kVq350A = 0x1971350A;
constexpr uint32_t kVq350B = 0x1971350B;
constexpr uint32_t kVq4420 = 0x19714420;
constexpr uint32_t kVq210Uart0 = 0x19710210;

const QString kOk = "Update MCU is OK!!!!!!";
const QString kFail = "Update MCU is fail.....";

SimConfig chip(uint32_t chip_id, bool vcom = false)
{
    SimConfig c;
    c.chip_id = chip_id;
    c.vcom = vcom;
    c.progress_reports = 0;
    return c;
}

// An image of len bytes whose bytes 4..7 hold run_address (when it has them).
QByteArray image_of(int len, uint32_t run_address = 0x08008000, int seed = 3)
{
    QByteArray b(len, '\0');
    uint32_t x = 0x9E3779B9u + uint32_t(seed);
    for (int i = 0; i < len; ++i) {
        x = x * 1103515245u + 12345u;
        b[i] = char(x >> 24);
    }
    if (len >= 8)
        sim_wire::set_u32(b, 4, run_address);
    return b;
}

// "offset:length" of each program write as the device saw it (J0 of a framed block).
QStringList writes_of(const QVector<SimFrame>& frames)
{
    QStringList out;
    for (const SimFrame& f : frames) {
        if (f.kind == FrameKind::Program)
            out << QString("%1:%2").arg(f.address, 0, 16).arg(f.length);
        else if (f.variant == '0')
            out << QString("%1").arg(f.address, 0, 16);
    }
    return out;
}

class McuRig : public SessionRig {
public:
    explicit McuRig(const SimConfig& config) : SessionRig(config)
    {
        // Line pacing would make the large images slow; the frames are what count.
        sim.set_pacing(false);
    }

    // Takes the file as Input File does; the updates read it again.
    QString choose(const QByteArray& bytes, const QString& name = "app.bin")
    {
        image_path = write(name, bytes);
        session.load_mcu_image(image_path);
        return image_path;
    }
    QByteArray internal(uint32_t offset, int len)
    {
        return sim.with_device([&](SimDevice& d) { return d.internal_flash().mid(int(offset), len); });
    }
    void fault(const std::function<void(SimDevice&)>& f)
    {
        sim.with_device([&](SimDevice& d) { f(d); return 0; });
    }
    UpdateReport update_mcu()
    {
        sink.progress_value = -1;  // so that 0 shows
        sink.progress_seen.clear();
        return session.update_mcu(image_path, options());
    }
    // Opens, takes the image, clears the log and the records, updates.
    UpdateReport update(const QByteArray& image)
    {
        open_identified();
        choose(image);
        clear_records();
        return update_mcu();
    }
    QStringList log() { return without_timers(sink.log); }

    QString image_path;
};

}  // namespace

class McuTest : public QObject {
    Q_OBJECT

private slots:
    void input_reads_image_data();
    void input_reads_image();
    void input_unreadable_keeps_values();

    void update_programs_image_data();
    void update_programs_image();
    void update_block_edges_data();
    void update_block_edges();
    void update_limits_data();
    void update_limits();
    void update_refusals_data();
    void update_refusals();
    void update_faults_data();
    void update_faults();
    void update_unplugged_midway_data();
    void update_unplugged_midway();
    void stop_ends_silent_wait_data();
    void stop_ends_silent_wait();
    void update_reads_file_afresh();
    void update_vq210_uart0_external_flash();
    void newcomer_on_default_settings();

    void check_after_update_data();
    void check_after_update();
    void check_verdicts_data();
    void check_verdicts();
    void check_refusals_data();
    void check_refusals();
    void check_vq210_uart0_external_flash();
};

// ---------------------------------------------------------------- Input File

void McuTest::input_reads_image_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<QString>("enter_line");
    QTest::addColumn<uint>("run_address");
    QTest::newRow("run address at base") << image_of(3000) << "enter_Addr:0x08008000" << 0x08008000u;
    QTest::newRow("empty file") << QByteArray() << "enter_Addr:0x00000000" << 0u;
    // Too short to hold the run-address word: nothing is read past the end.
    QTest::newRow("7 bytes") << QByteArray("\x01\x02\x03\x04\x05\x06\x07") << "enter_Addr:0x00000000" << 0u;
    QTest::newRow("exactly 8 bytes") << QByteArray::fromHex("0000000034020108") << "enter_Addr:0x08010234"
                                     << 0x08010234u;
}

void McuTest::input_reads_image()
{
    QFETCH(QByteArray, image);
    QFETCH(QString, enter_line);
    QFETCH(uint, run_address);
    McuRig s(chip(kVq4410));
    QVERIFY(s.start());
    // An image chosen before, with another run address: the new one replaces it.
    s.choose(QByteArray::fromHex("00000000efbeadde"), "before.bin");
    s.sink.log.clear();
    const QString path = s.choose(image);
    QCOMPARE(s.session.images().mcu_len, image.size());
    QCOMPARE(s.in.mcu_image_crc(), sim_wire::crc32(image));
    QCOMPARE(s.in.run_address(), uint32_t(run_address));
    QCOMPARE(s.log(), QStringList({enter_line}));
    QCOMPARE(s.sink.mcu_label_text,
             "Mcu code, CRC = " + hex32(sim_wire::crc32(image)) + " Len: " + QString::number(image.size()));
    // The same file again gives the same values.
    s.choose(image);
    QCOMPARE(s.in.mcu_image_crc(), sim_wire::crc32(image));
    VERIFY_BOXES(s.sink);
}

void McuTest::input_unreadable_keeps_values()
{
    McuRig s(chip(kVq4410));
    QVERIFY(s.start());
    const QByteArray image = image_of(100);
    s.choose(image);
    const QString label = s.sink.mcu_label_text;
    // A folder and a missing file in its place.
    for (const QString& bad : {s.work_dir.path(), s.work_dir.filePath("missing.bin")}) {
        s.sink.expected.append({"critical", "Error", "Read fail,please check the path!"});
        s.session.load_mcu_image(bad);
        QCOMPARE(s.session.images().mcu_len, 100);
        QCOMPARE(s.in.mcu_image_crc(), sim_wire::crc32(image));
        QCOMPARE(s.sink.mcu_label_text, label);
    }
    VERIFY_BOXES(s.sink);
}

// ---------------------------------------------------------------- Update MCU

void McuTest::update_programs_image_data()
{
    QTest::addColumn<uint>("chip_id");
    QTest::addColumn<bool>("vcom");
    QTest::addColumn<uint>("run_address");
    QTest::addColumn<uint>("start");
    QTest::addColumn<int>("frames_per_block");
    const uint run = 0x08010234u;
    QTest::newRow("run-address model, single frame") << kVq350B << false << run << 0x8000u << 1;
    QTest::newRow("run-address model, 512-byte frames") << kVq350B << true << run << 0x8000u << 5;
    QTest::newRow("catalogue model, single frame") << kVq4410 << false << run << 0u << 1;
    QTest::newRow("catalogue model, 512-byte frames") << kVq4410 << true << run << 0u << 5;
    QTest::newRow("VQ350A, 64-byte frames") << kVq350A << true << run << 0u << 34;
}

void McuTest::update_programs_image()
{
    QFETCH(uint, chip_id);
    QFETCH(bool, vcom);
    QFETCH(uint, run_address);
    QFETCH(uint, start);
    QFETCH(int, frames_per_block);
    McuRig s(chip(chip_id, vcom));
    QVERIFY(s.start());
    const QByteArray image = image_of(5000, run_address);
    s.update(image);
    QCOMPARE(s.internal(start, image.size()), image);
    QCOMPARE(s.internal(start + image.size(), 16), QByteArray(16, '\xFF'));
    const QStringList log = s.log();
    QCOMPARE(log.last(), kOk);
    if (chip_id == kVq350B) {
        QVERIFY(log.contains("enter_Addr:0x08010234"));
        QVERIFY(log.contains("sAddr:0x00008000 eAddr:" + hex32(0x8000 + 5000)));
    } else {
        QVERIFY(!log.join('\n').contains("sAddr:"));
    }
    QVERIFY(log.contains("Erase flash OK..."));
    QVERIFY(log.contains("Check CRC is OK..."));
    const QVector<SimFrame> erases = s.frames('L');
    QCOMPARE(erases.size(), 1);
    QCOMPARE(erases[0].address, uint32_t(start));
    QCOMPARE(erases[0].length, 5000u);
    // Two whole blocks, then the 904 bytes left.
    QCOMPARE(s.frames('J').size(), vcom ? 2 * frames_per_block + (chip_id == kVq350A ? 15 : 2) : 3);
    QCOMPARE(s.frames('K').size(), 2);
    QCOMPARE(s.frames('K').at(1).variant, '1');
    QCOMPARE(s.frames('N').value(0).address, chip_id == kVq350B ? 0x8000u : 0xF7FF8000u);
    QCOMPARE(s.sink.progress_seen, QList<int>({0, 40, 81, 100}));
    QVERIFY(s.sink.actions);
    VERIFY_BOXES(s.sink);
}

void McuTest::update_block_edges_data()
{
    QTest::addColumn<int>("len");
    QTest::addColumn<QStringList>("writes");
    QTest::addColumn<QList<int>>("progress");
    // One whole block is an odd count: an empty write follows, as the boot loader expects.
    QTest::newRow("2048 bytes") << 2048 << QStringList({"0:2048", "800:0"}) << QList<int>({0, 100});
    QTest::newRow("4096 bytes") << 4096 << QStringList({"0:2048", "800:2048"}) << QList<int>({0, 50, 100});
    QTest::newRow("1000 bytes") << 1000 << QStringList({"0:1000"}) << QList<int>({0, 100});
    QTest::newRow("6144 bytes") << 6144 << QStringList({"0:2048", "800:2048", "1000:2048", "1800:0"})
                                << QList<int>({0, 33, 66, 100});
}

void McuTest::update_block_edges()
{
    QFETCH(int, len);
    QFETCH(QStringList, writes);
    QFETCH(QList<int>, progress);
    McuRig s(chip(kVq4410));
    QVERIFY(s.start());
    const QByteArray image = image_of(len);
    s.update(image);
    QCOMPARE(writes_of(s.frames('J')), writes);
    QCOMPARE(s.internal(0, len), image);
    QCOMPARE(s.sink.progress_seen, progress);
    QCOMPARE(s.log().last(), kOk);
    VERIFY_BOXES(s.sink);
}

void McuTest::update_limits_data()
{
    QTest::addColumn<uint>("chip_id");
    QTest::addColumn<int>("len");
    QTest::addColumn<bool>("fits");
    QTest::addColumn<QString>("size_line");  // logged before the box on a catalogue model
    QTest::newRow("run-address model at its limit") << kVq350B << 0x77800 << true << "";
    QTest::newRow("run-address model one over") << kVq350B << 0x77801 << false << "";
    QTest::newRow("VQ4420 at its limit") << kVq4420 << 0x75800 << true << "";
    QTest::newRow("VQ4420 one over") << kVq4420 << 0x75801 << false << "";
    QTest::newRow("VQ350A at its limit") << kVq350A << 0xE800 << true << "";
    QTest::newRow("VQ350A one over") << kVq350A << 0xE801 << false << "Mcu maximum eflash size is 59392";
}

void McuTest::update_limits()
{
    QFETCH(uint, chip_id);
    QFETCH(int, len);
    QFETCH(bool, fits);
    QFETCH(QString, size_line);
    McuRig s(chip(chip_id));
    QVERIFY(s.start());
    const QByteArray image = image_of(len);
    if (!fits)
        s.sink.expect_error("This file is over than mcu to update!");
    s.update(image);
    const QStringList log = s.log();
    QCOMPARE(log.last(), fits ? kOk : kFail);
    if (fits) {
        QCOMPARE(s.internal(0, len), image);
    } else {
        QCOMPARE(s.frames('K').size(), 0);  // refused before the connects
        QCOMPARE(s.frames('L').size(), 0);
        if (!size_line.isEmpty())
            QCOMPARE(log.first(), size_line);
        if (chip_id != kVq350A)
            QCOMPARE(log.mid(0, 2), QStringList({"enter_Addr:0x08008000", "sAddr:0x00000000 eAddr:" + hex32(len)}));
    }
    QVERIFY(s.sink.actions);
    VERIFY_BOXES(s.sink);
}

void McuTest::update_refusals_data()
{
    QTest::addColumn<uint>("chip_id");
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<QString>("box");
    QTest::addColumn<QStringList>("log");
    QTest::newRow("run address below the base")
        << kVq350B << image_of(3000, 0x08007FFF) << ""
        << QStringList({"enter_Addr:0x08007FFF", "The run address is less than 0x8008000:0x08007FFF", kFail});
    // Its page masks to below the base: the offset would wrap into the boot loader's own area.
    QTest::newRow("run address page below the base")
        << kVq350B << image_of(3000, 0x10001000) << ""
        << QStringList({"enter_Addr:0x10001000", "The run address is out of the mcu flash:0x10001000", kFail});
    // Refused before the log is cleared: the selection's line stays.
    QTest::newRow("shorter than 8 bytes") << kVq350B << QByteArray("\x01\x02\x03\x04\x05\x06\x07")
                                          << "There aren't any datas to update!"
                                          << QStringList({"enter_Addr:0x00000000", kFail});
    QTest::newRow("empty") << kVq4410 << QByteArray() << "There aren't any datas to update!"
                           << QStringList({"enter_Addr:0x00000000", kFail});
}

void McuTest::update_refusals()
{
    QFETCH(uint, chip_id);
    QFETCH(QByteArray, image);
    QFETCH(QString, box);
    QFETCH(QStringList, log);
    McuRig s(chip(chip_id));
    QVERIFY(s.start());
    if (!box.isEmpty())
        s.sink.expect_error(box);
    s.update(image);
    QCOMPARE(s.log(), log);
    QCOMPARE(s.frames('K').size(), 0);
    QCOMPARE(s.frames('L').size(), 0);
    QCOMPARE(s.frames('J').size(), 0);
    QVERIFY(s.sink.actions);
    VERIFY_BOXES(s.sink);
}

enum FaultKind { BlockRefused, BlockWrongLetter, BlockSilent, EraseRefused, CrcWrong, CrcZero, ConnectRefused,
                 PartialReplyLeft };

void McuTest::update_faults_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("count");
    QTest::addColumn<bool>("vcom");
    QTest::addColumn<int>("blocks_sent");  // program writes the device saw (J0 or single frames)
    QTest::addColumn<QString>("box");
    QTest::addColumn<QStringList>("tail");  // the last log lines
    const QString crc = "Check CRC is NG...";
    QTest::newRow("block refused twice, then taken") << int(BlockRefused) << 2 << false << 5 << ""
                                                     << QStringList({"Check CRC is OK...", kOk});
    // The framed form does not read the status byte: only the CRC can tell.
    QTest::newRow("block refused, frames: status not read") << int(BlockRefused) << 2 << true << 3 << ""
                                                            << QStringList({"Check CRC is OK...", kOk});
    QTest::newRow("block refused three times")
        << int(BlockRefused) << 3 << false << 4 << "" << QStringList({"UPDATE_FLASH NG, Addr : 0x800", kFail});
    QTest::newRow("wrong letter three times")
        << int(BlockWrongLetter) << 3 << false << 3 << ""
        << QStringList({"3f 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 ", "Update mcu flash,and return error command",
                        "UPDATE_FLASH NG, Addr : 0x0", kFail});
    QTest::newRow("wrong letter, frames: not retried")
        << int(BlockWrongLetter) << 1 << true << 1 << ""
        << QStringList({"Erease mcu flash,and return error command", "UPDATE_FLASH NG, Addr : 0x0", kFail});
    QTest::newRow("time-out not retried") << int(BlockSilent) << 1 << false << 2 << "Time over!"
                                          << QStringList({"UPDATE_FLASH NG, Addr : 0x800", kFail});
    QTest::newRow("erase refused") << int(EraseRefused) << 1 << false << 0 << ""
                                   << QStringList({"Erase flash NG!!!", kFail});
    QTest::newRow("CRC mismatch") << int(CrcWrong) << 1 << false << 3 << ""
                                  << QStringList({"Error CRC, return CRC = 0x@", crc, kFail});
    QTest::newRow("CRC reported as 0") << int(CrcZero) << 1 << false << 3 << ""
                                       << QStringList({"Error CRC, return CRC = 0x0", crc, kFail});
    // count: bytes of a reply gathered before the update starts.
    QTest::newRow("partial reply left over") << int(PartialReplyLeft) << 30 << false << 3 << ""
                                             << QStringList({"Check CRC is OK...", kOk});
    QTest::newRow("other chip answers") << int(ConnectRefused) << 1 << false << 0 << "Fail to Connect a mcu device"
                                        << QStringList({kFail});
}

void McuTest::update_faults()
{
    QFETCH(int, fault);
    QFETCH(int, count);
    QFETCH(bool, vcom);
    QFETCH(int, blocks_sent);
    QFETCH(QString, box);
    QFETCH(QStringList, tail);
    McuRig s(chip(kVq4410, vcom));
    QVERIFY(s.start());
    const QByteArray image = image_of(5000);  // two whole blocks and a final write
    QVERIFY(s.open_identified());
    s.choose(image);
    s.clear_records();
    if (!box.isEmpty())
        s.sink.expect_error(box);
    std::unique_ptr<SimServer> other_board;
    // Faults hit the second block (offset 0x800); wrong letters the first.
    switch (fault) {
    case BlockRefused: s.fault([&](SimDevice& d) { d.set_status('J', 3, count, 1); }); break;
    case BlockWrongLetter: s.fault([&](SimDevice& d) { d.set_wrong_letter('J', count); }); break;
    case BlockSilent: s.fault([&](SimDevice& d) { d.set_silent('J', count, 1); }); break;
    case EraseRefused: s.fault([&](SimDevice& d) { d.set_status('L', 4, count); }); break;
    case CrcWrong: s.fault([&](SimDevice& d) { d.set_wrong_crc('N', count); }); break;
    case CrcZero: s.fault([&](SimDevice& d) { d.set_wrong_crc('N', count, 0u); }); break;
    case ConnectRefused:
        // The board on the line now is another model than the one identified.
        other_board = std::make_unique<SimServer>(chip(kVq350B), s.publish_dir.path());
        QVERIFY(other_board->start());
        QVERIFY(s.session.open_port(other_board->slave_path(), kDefaultRateIndex));
        break;
    case PartialReplyLeft: s.leave_partial_reply(count); break;
    }
    s.update_mcu();
    QStringList log = s.log();
    if (fault == CrcWrong) {
        const uint32_t reported = ~sim_wire::crc32(image);
        tail[0] = "Error CRC, return CRC = 0x" + QString::number(reported, 16);
    }
    QCOMPARE(log.mid(log.size() - tail.size()), tail);
    QCOMPARE(log.contains(kOk), tail.last() == kOk);
    QCOMPARE(writes_of(s.frames('J')).size(), blocks_sent);
    if (tail.last() == kOk)
        QCOMPARE(s.internal(0, image.size()), image);
    if (fault == BlockRefused && count == 3)
        QCOMPARE(s.frames('N').size(), 0);  // no CRC after a failed block
    QVERIFY(s.sink.actions);
    VERIFY_BOXES(s.sink);
}

void McuTest::update_unplugged_midway_data()
{
    QTest::addColumn<bool>("vcom");
    QTest::newRow("single frame") << false;
    QTest::newRow("512-byte frames") << true;
}

void McuTest::update_unplugged_midway()
{
    QFETCH(bool, vcom);
    McuRig s(chip(kVq4410, vcom));
    QVERIFY(s.start());
    QVERIFY(s.open_identified());
    s.choose(image_of(20000));
    s.clear_records();
    s.sim.unplug_after('J', 3);  // the third block never arrives
    s.sink.expect_error("Time over!");
    QElapsedTimer wall;
    wall.start();
    const std::clock_t cpu = std::clock();
    s.update_mcu();
    const double cpu_ms = double(std::clock() - cpu) * 1000.0 / CLOCKS_PER_SEC;
    const QStringList log = s.log();
    QCOMPARE(log.last(), kFail);
    QCOMPARE(s.sink.failed_port, s.sim.slave_path());
    QVERIFY(log.contains("UPDATE_FLASH NG, Addr : 0x1000"));
    QVERIFY(!log.contains("Check CRC is OK..."));
    QCOMPARE(s.in.link_down(), 1);
    QVERIFY(!s.session.port_open());
    // The wait sleeps between its tests: a hung-up port must not make it spin.
    QVERIFY2(cpu_ms < 0.6 * double(wall.elapsed()) + 200.0,
             qPrintable(QString("cpu %1 ms of %2 ms").arg(cpu_ms).arg(wall.elapsed())));
    VERIFY_BOXES(s.sink);
}

void McuTest::stop_ends_silent_wait_data()
{
    QTest::addColumn<char>("letter");  // the command the device leaves unanswered
    QTest::addColumn<bool>("vcom");
    QTest::addColumn<int>("frames_before_stop");  // writes of that letter the device saw
    QTest::addColumn<QString>("last_line");
    QTest::newRow("erase") << 'L' << false << 1 << "Erase flash NG!!!";
    QTest::newRow("512-byte frames") << 'J' << true << 2 << "UPDATE_FLASH NG, Addr : 0x800";
    QTest::newRow("CRC") << 'N' << false << 1 << "Check CRC is NG...";
    QTest::newRow("connect") << 'K' << false << 1 << "";  // nothing logged before the verdict
}

// A stop reaches the MCU update's waits, which watch for nothing else: the
// update ends through its usual failure lines, with no box, long before the
// silent wait would have run out (seconds), and reports itself stopped.
void McuTest::stop_ends_silent_wait()
{
    QFETCH(char, letter);
    QFETCH(bool, vcom);
    QFETCH(int, frames_before_stop);
    QFETCH(QString, last_line);
    McuRig s(chip(kVq4410, vcom));
    QVERIFY(s.start());
    QVERIFY(s.open_identified());
    s.choose(image_of(5000));
    s.fault([&](SimDevice& d) { d.set_silent(letter, 1, letter == 'J' ? 1 : 0); });
    s.clear_records();
    // The stop comes from this thread's events, served as the window serves
    // them: between the slices of the wait.
    s.session.link().set_idle([] { QCoreApplication::processEvents(); });
    QElapsedTimer since_stop;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        const int seen = letter == 'J' ? writes_of(s.frames('J')).size() : s.frames(letter).size();
        if (since_stop.isValid() || seen < frames_before_stop)
            return;
        s.session.link().stop().request();
        since_stop.start();
    });
    watch.start(5);
    const UpdateReport report = s.update_mcu();
    const qint64 after_stop = since_stop.isValid() ? since_stop.elapsed() : -1;
    QVERIFY(after_stop >= 0);
    QVERIFY2(after_stop < 1000, qPrintable(QString::number(after_stop)));
    QCOMPARE(report.verdict, Verdict::Stopped);
    QVERIFY(report.code != 0);
    const QStringList log = s.log();
    const QStringList tail = last_line.isEmpty() ? QStringList{kFail} : QStringList{last_line, kFail};
    QCOMPARE(log.mid(log.size() - tail.size()), tail);
    VERIFY_BOXES(s.sink);
}

void McuTest::update_reads_file_afresh()
{
    McuRig s(chip(kVq4410));
    QVERIFY(s.start());
    QVERIFY(s.open_identified());
    const QString path = s.choose(image_of(3000));
    const QByteArray rebuilt = image_of(2500, 0x08008000, 9);
    s.write("app.bin", rebuilt);
    s.update_mcu();
    QCOMPARE(s.log().last(), kOk);
    QCOMPARE(s.internal(0, rebuilt.size()), rebuilt);
    QCOMPARE(s.session.images().mcu_len, 2500);
    QCOMPARE(s.sink.mcu_label_text, "Mcu code, CRC = " + hex32(sim_wire::crc32(rebuilt)) + " Len: 2500");

    // The named file gone: refused before anything is sent, the path logged.
    QFile::remove(path);
    s.clear_records();
    s.sink.log.clear();
    s.sink.expect_error("Read fail,please check the path!");
    s.update_mcu();
    QCOMPARE(s.log(), QStringList({path}));
    QCOMPARE(s.frames('K').size(), 0);

    s.sink.expect_error("Please input mcu code file");
    s.session.update_mcu(QString(), s.options());
    VERIFY_BOXES(s.sink);
}

void McuTest::update_vq210_uart0_external_flash()
{
    McuRig s(chip(kVq210Uart0));
    QVERIFY(s.start());
    s.write("Flash.ini", "[FLASH]\r\n0x00EF4018,1024,16384,W16M,\r\n");
    const QByteArray image = image_of(5000);
    s.update(image);
    const QStringList log = s.log();
    QCOMPARE(log.last(), QString("Update flash is OK!!!!!!"));
    QCOMPARE(s.sim.with_device([&](SimDevice& d) { return d.external_flash().read(0, image.size()); }), image);
    QCOMPARE(s.frames('J').size(), 0);
    QCOMPARE(s.frames('n').value(0).address, 0u);
    QCOMPARE(s.internal(0, 16), QByteArray(16, '\xFF'));
}

// As on the run command: the default simulated chip, the start-up rate
// boxes (the chip switches to the New Rate on open), the line paced.
void McuTest::newcomer_on_default_settings()
{
    SimSession s;
    QVERIFY(s.start());
    s.click("pushButton_OpenCom");
    QCOMPARE(s.a().button("pushButton_OpenCom")->text(), QString("Close Comm"));
    const QByteArray image = image_of(6000);
    QFile f(s.work_dir.filePath("app.bin"));
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write(image) == image.size());
    f.close();
    s.dialogs.file_answers << f.fileName();
    s.click("pushButton_InputMCUCode");
    s.click("pushButton_UpdateMCU");
    QCOMPARE(s.a().last_log(), kOk);
    QCOMPARE(s.sim.with_device([&](SimDevice& d) { return d.internal_flash().left(image.size()); }), image);
    s.click("pushButton_CheckMCU");
    QCOMPARE(s.a().last_log(), QString("Check MCU CRC is OK..."));
    VERIFY_BOXES(s.dialogs);
}

// ---------------------------------------------------------------- Check Mcu CRC

void McuTest::check_after_update_data()
{
    QTest::addColumn<uint>("chip_id");
    QTest::addColumn<uint>("offset");
    QTest::newRow("run-address model") << kVq350B << 0x8000u;
    // run_address is 0 after such an update: the request carries the wrapped offset.
    QTest::newRow("catalogue model") << kVq4410 << 0xF7FF8000u;
}

void McuTest::check_after_update()
{
    QFETCH(uint, chip_id);
    QFETCH(uint, offset);
    McuRig s(chip(chip_id));
    QVERIFY(s.start());
    const QByteArray image = image_of(5000, 0x08010234);
    s.update(image);
    QCOMPARE(s.log().last(), kOk);
    s.clear_records();
    s.sink.log.clear();
    s.session.check_mcu();
    QCOMPARE(s.log(), QStringList({"Get: 1388, " + QString::number(sim_wire::crc32(image), 16), "Check MCU CRC is OK..."}));
    const QVector<SimFrame> asks = s.frames('N');
    QCOMPARE(asks.size(), 1);
    QCOMPARE(asks[0].address, uint32_t(offset));
    QCOMPARE(s.frames('K').size(), 0);  // no connect before the check
    QVERIFY(s.sink.actions);
    VERIFY_BOXES(s.sink);
}

void McuTest::check_verdicts_data()
{
    QTest::addColumn<bool>("same");
    QTest::newRow("flash holds the image") << true;
    QTest::newRow("flash holds something else") << false;
}

void McuTest::check_verdicts()
{
    QFETCH(bool, same);
    McuRig s(chip(kVq350B));
    QVERIFY(s.start());
    const QByteArray image = image_of(3000, 0x08010234);
    const QByteArray held = same ? image : image_of(3000, 0x08010234, 11);
    s.sim.with_device([&](SimDevice& d) { d.internal_flash().replace(0x8000, held.size(), held); return 0; });
    QVERIFY(s.open_identified());
    s.choose(image);  // a fresh selection: the offset comes from the image's own run address
    s.sink.log.clear();
    s.session.check_mcu();
    QStringList expected{"Get: bb8, " + QString::number(sim_wire::crc32(image), 16)};
    if (!same)
        expected << "Error CRC, return CRC = 0x" + QString::number(sim_wire::crc32(held), 16);
    expected << (same ? "Check MCU CRC is OK..." : "Check MCU CRC is NG...");
    QCOMPARE(s.log(), expected);
    QCOMPARE(s.frames('N').value(0).address, 0x8000u);
    VERIFY_BOXES(s.sink);
}

void McuTest::check_refusals_data()
{
    QTest::addColumn<bool>("open");
    QTest::addColumn<int>("len");
    QTest::addColumn<QString>("box");
    QTest::newRow("port closed") << false << 3000 << "Please open the port!";
    QTest::newRow("no image") << true << 0 << "Please input the mcu code";
    QTest::newRow("15 bytes") << true << 15 << "Please input the mcu code";
}

void McuTest::check_refusals()
{
    QFETCH(bool, open);
    QFETCH(int, len);
    QFETCH(QString, box);
    McuRig s(chip(kVq4410));
    QVERIFY(s.start());
    if (open)
        QVERIFY(s.open_identified());
    if (len > 0)
        s.choose(image_of(len));
    s.sink.log.clear();
    s.clear_records();
    s.sink.expect_error(box);
    // With the port closed the window's button is off; the session still refuses.
    s.session.check_mcu();
    QCOMPARE(s.frames('N').size(), 0);
    QCOMPARE(s.log(), QStringList());
    QCOMPARE(s.sink.actions, open);
    VERIFY_BOXES(s.sink);
}

void McuTest::check_vq210_uart0_external_flash()
{
    McuRig s(chip(kVq210Uart0));
    QVERIFY(s.start());
    const QByteArray image = image_of(3000);
    s.sim.with_device([&](SimDevice& d) { d.external_flash().write(0, image); return 0; });
    QVERIFY(s.open_identified());
    s.choose(image);
    s.sink.log.clear();
    s.session.check_mcu();
    QCOMPARE(s.log().last(), QString("Check MCU CRC is OK..."));
    QCOMPARE(s.frames('n').value(0).address, 0u);
    QCOMPARE(s.frames('N').size(), 0);
    VERIFY_BOXES(s.sink);
}

QTEST_MAIN(McuTest)
#include "test_mcu.moc"
