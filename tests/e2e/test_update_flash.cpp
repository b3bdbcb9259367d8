// Update Flash end to end: whole images from address 0 and from the base of
// VQ210 Uart0, differential images, both block writers, faults and bad
// files, on the session through a real pty to the simulated boot loader,
// whose external memory is compared with what must be there afterwards. A
// closed port is the window's (Exit is in test_flash).

#include <QtTest>

#include "flash_fixtures.h"

using namespace flash_fixtures;

namespace {

const QString kOk = "Update flash is OK!!!!!!";
const QString kFail = "Update flash is fail.....";
const QString kDiffOk = "Diff Update flash is OK!!!!!!";
const QString kDiffFail = "Diff Update flash is fail.....";

struct Write {
    uint32_t address;
    int seq;
    uint32_t length;
};

QVector<Write> writes(const QVector<SimFrame>& frames)
{
    QVector<Write> out;
    for (const SimFrame& f : frames)
        out.append({f.address, f.seq, f.length});
    return out;
}

bool operator==(const Write& a, const Write& b)
{
    return a.address == b.address && a.seq == b.seq && a.length == b.length;
}

}  // namespace


Q_DECLARE_METATYPE(QVector<Write>)

class UpdateFlashTest : public QObject {
    Q_OBJECT

private slots:
    void full_image_data();
    void full_image();
    void full_image_log();
    void info_block_blanked_on_flash_only_data();
    void info_block_blanked_on_flash_only();
    void packet_streams_data();
    void packet_streams();
    void diff_records_data();
    void diff_records();
    void diff_nothing_written_data();
    void diff_nothing_written();

    void block_faults_data();
    void block_faults();
    void unplugged_mid_update();
    void flash_modes_data();
    void flash_modes();
    void flash_mode_refused();
    void flash_size_limit_data();
    void flash_size_limit();

    void empty_image_never_passes();
    void update_reads_file_afresh();
    void port_closed();
};

void UpdateFlashTest::full_image_data()
{
    QTest::addColumn<uint>("chip_id");
    QTest::addColumn<int>("length");
    QTest::addColumn<QVector<Write>>("expected");
    QTest::newRow("4096") << uint(kVq4410) << 4096 << QVector<Write>{{0, 0, 2048}, {2048, 1, 2048}};
    QTest::newRow("5000") << uint(kVq4410) << 5000 << QVector<Write>{{0, 0, 2048}, {2048, 1, 2048}, {4096, 0, 904}};
    QTest::newRow("shorter than a block") << uint(kVq4410) << 1000 << QVector<Write>{{0, 0, 1000}};
    QTest::newRow("one byte past a block") << uint(kVq4410) << 2049 << QVector<Write>{{0, 0, 2048}, {2048, 1, 1}};
    // At VQ210 Uart0's base the last block is always 2047 bytes, 0xFF behind what the image has.
    QTest::newRow("VQ210 Uart0, 4096") << uint(kVq210Uart0) << 4096
                                       << QVector<Write>{{0x80000, 0, 2048}, {0x80800, 1, 2048}, {0x81000, 0, 2047}};
    QTest::newRow("VQ210 Uart0, 5000") << uint(kVq210Uart0) << 5000
                                       << QVector<Write>{{0x80000, 0, 2048}, {0x80800, 1, 2048}, {0x81000, 0, 2047}};
    QTest::newRow("VQ210 Uart0, shorter than a block") << uint(kVq210Uart0) << 100
                                                       << QVector<Write>{{0x80000, 0, 2047}};
}

void UpdateFlashTest::full_image()
{
    QFETCH(uint, chip_id);
    QFETCH(int, length);
    QFETCH(QVector<Write>, expected);
    const uint32_t base = chip_id == kVq210Uart0 ? 0x80000 : 0;
    FlashRig s(chip(chip_id));
    QVERIFY(s.start());
    const QByteArray image = pattern(length);
    s.load_image("image.bin", image);
    QVERIFY(s.open_identified());
    s.update_flash();
    QCOMPARE(s.sink.log.mid(s.sink.log.size() - 2), QStringList({"", kOk}));
    QCOMPARE(writes(s.frames('l')), expected);
    const Write& last = expected.last();
    QCOMPARE(s.frames('l').last().data, image.mid(int(last.address - base)).leftJustified(int(last.length), '\xFF'));
    QCOMPARE(s.flash(0, int(base)), QByteArray(int(base), '\xFF'));
    QCOMPARE(s.flash(base, length), image);
    QCOMPARE(s.flash(base + uint32_t(length), 4096), QByteArray(4096, '\xFF'));
    QCOMPARE(s.frames('n').value(0).address, base);
    QCOMPARE(s.sink.progress_value, 100);
    QVERIFY(s.sink.actions);
    VERIFY_BOXES(s.sink);
}

void UpdateFlashTest::full_image_log()
{
    FlashRig s(chip(kVq4410));
    QVERIFY(s.start());
    const QByteArray image = pattern(4096);
    s.load_image("image.bin", image);
    QVERIFY(s.open_identified());
    s.clear_records();
    s.update_flash();
    const QString image_crc = hex32(crc(image));
    QCOMPARE(without_timers(s.sink.log),
             QStringList({"vcom_index = 0", "VQ4410 Boot_Version:10002", "Connect", "Get Flash ID", "Start to update flash ...", "Mcu_Type = 0x19714410",
                          "vcom_index = 0", "End to update flash", "Start to get flash crc... 0",
                          "flashCode_Size: 4096", "Crc Value: " + image_crc, "Read crc value: " + image_crc,
                          "Check flash CRC pass.", kOk}));
    // Identify-mode connect, then flash target mode, on the open port.
    const QVector<SimFrame> connects = s.frames('K');
    QCOMPARE(connects.size(), 2);
    QCOMPARE(connects[0].variant, '0');
    QCOMPARE(connects[1].variant, '2');
    VERIFY_BOXES(s.sink);
}

void UpdateFlashTest::info_block_blanked_on_flash_only_data()
{
    QTest::addColumn<uint>("chip_id");
    QTest::addColumn<uint>("base");
    QTest::newRow("from address 0") << uint(kVq4410) << 0u;
    QTest::newRow("VQ210 Uart0 at its base") << uint(kVq210Uart0) << 0x80000u;
}

void UpdateFlashTest::info_block_blanked_on_flash_only()
{
    QFETCH(uint, chip_id);
    QFETCH(uint, base);
    FlashRig s(chip(chip_id));
    QVERIFY(s.start());
    QByteArray programmed = pattern(6000);
    programmed.replace(372, 12, QByteArray(12, '\xFF'));
    const QByteArray image = with_info(pattern(6000), 6000, crc(programmed));
    const QString path = s.load_image("image.bin", image);
    QVERIFY(s.open_identified());
    s.update_flash();
    QCOMPARE(s.sink.log.last(), kOk);
    QCOMPARE(s.flash(base, 6000), programmed);
    // The check asks for the CRC the info block states, not the file's.
    QCOMPARE(s.frames('n').size(), 1);
    QCOMPARE(sim_wire::u32(s.frames('n').value(0).raw, 9), crc(programmed));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), image);
    VERIFY_BOXES(s.sink);
}

void UpdateFlashTest::packet_streams_data()
{
    QTest::addColumn<uint>("chip_id");
    QTest::addColumn<int>("middle_packets");  // two blocks of 2048 and a tail of 300
    QTest::newRow("512-byte packets") << uint(kVq4410) << 2 * 3;
    QTest::newRow("64-byte packets, VQ350A") << uint(kVq350A) << 2 * 32 + 3;
}

void UpdateFlashTest::packet_streams()
{
    QFETCH(uint, chip_id);
    QFETCH(int, middle_packets);
    SimConfig c = chip(chip_id);
    c.vcom = true;
    FlashRig s(c);
    QVERIFY(s.start());
    const QByteArray image = pattern(2 * 2048 + 300);
    s.load_image("image.bin", image);
    QVERIFY(s.open_identified());
    QCOMPARE(s.in.vcom_index(), 1);
    s.update_flash();
    QCOMPARE(s.sink.log.last(), kOk);
    QCOMPARE(s.flash(0, image.size()), image);
    const QVector<SimFrame> starts = s.frames('j');
    QCOMPARE(starts.size(), 3);
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(starts[i].address, uint32_t(i * 2048));
        QCOMPARE(starts[i].seq, i & 1);
    }
    QCOMPARE(s.frames('k').size(), middle_packets);
    VERIFY_BOXES(s.sink);
}

void UpdateFlashTest::diff_records_data()
{
    QTest::addColumn<QVector<int>>("lengths");
    QTest::addColumn<uint>("dblk_number");
    QTest::addColumn<QVector<Write>>("expected");
    QTest::newRow("100 bytes") << QVector<int>{100} << 1u << QVector<Write>{{0x10000, 0, 2047}};
    QTest::newRow("2048 bytes") << QVector<int>{2048} << 1u << QVector<Write>{{0x10000, 0, 2048}};
    QTest::newRow("2049 bytes") << QVector<int>{2049} << 1u
                                << QVector<Write>{{0x10000, 0, 2048}, {0x10800, 1, 2047}};
    // The sequence bit starts at 0 for every record.
    QTest::newRow("two records") << QVector<int>{2048, 100} << 2u
                                 << QVector<Write>{{0x10000, 0, 2048}, {0x20000, 0, 2047}};
    QTest::newRow("three records, dblk_number 1") << QVector<int>{10, 20, 30} << 1u
                                                   << QVector<Write>{{0x10000, 0, 2047},
                                                                     {0x20000, 0, 2047},
                                                                     {0x30000, 0, 2047}};
}

void UpdateFlashTest::diff_records()
{
    QFETCH(QVector<int>, lengths);
    QFETCH(uint, dblk_number);
    QFETCH(QVector<Write>, expected);
    FlashRig s(chip(kVq4410));
    QVERIFY(s.start());
    QByteArray blocks;
    QStringList record_lines;
    for (int i = 0; i < lengths.size(); ++i) {
        const QByteArray data = pattern(lengths[i], i);
        const uint32_t address = 0x10000u * uint32_t(i + 1);
        // What the range holds once written: the data (the flash was erased).
        blocks += diff_record(address, data, crc(data));
        record_lines << QString("Write block:%1,%2,%3").arg(hex32(address)).arg(data.size()).arg(hex32(crc(data)));
    }
    s.load_image("update.diff", diff_file(blocks, uint32_t(blocks.size()), false, false, dblk_number));
    QVERIFY(s.open_identified());
    s.update_flash();
    const QStringList log = s.sink.log;
    QCOMPARE(log.last(), kDiffOk);
    QCOMPARE(writes(s.frames('l')), expected);
    for (int i = 0; i < lengths.size(); ++i) {
        const uint32_t address = 0x10000u * uint32_t(i + 1);
        QCOMPARE(s.flash(address, lengths[i]), pattern(lengths[i], i));
        QVERIFY(log.contains(record_lines[i]));
    }
    QCOMPARE(s.frames('n').size(), lengths.size());
    QCOMPARE(s.sink.progress_value, 100);
    VERIFY_BOXES(s.sink);
}

void UpdateFlashTest::diff_nothing_written_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QStringList>("boxes");
    QTest::addColumn<QStringList>("log");  // its last lines, or all of it when nothing was sent; "*": a prefix
    QTest::addColumn<int>("checks");       // flash CRC requests; -1: nothing sent after the open, not even a connect
    const QByteArray data = pattern(100);
    const QByteArray good = diff_record(0x1000, data, crc(data));
    const QString illegal = "Illegal block record at file offset ";
    // A check of no bytes has no passes to wait for its answer: the update can only fail.
    QTest::newRow("empty record") << diff_file(diff_record(0x10000, QByteArray(), 0), 16) << QStringList{"Time over!"}
                                  << QStringList({"Write block:0x00010000,0,0x00000000",
                                                  "Write block data crc:0x00000000", "Crc Value: 0x00000000,0", "",
                                                  kDiffFail})
                                  << 1;
    QTest::newRow("no blocks") << diff_file(diff_record(0, data, crc(data)), 116, false, false, 0) << QStringList()
                               << QStringList({"There are not any block to update...", "", kDiffFail}) << 0;
    QTest::newRow("record header cut short")
        << diff_file(good + good.left(10), 126) << QStringList()
        << QStringList({illegal + "148: the record header runs past the end of the file", "", kDiffFail}) << -1;
    const QByteArray past = good + diff_record(0x2000, data, crc(data)).left(50);
    QTest::newRow("data past the end") << diff_file(past, uint32_t(past.size())) << QStringList()
                                       << QStringList({illegal + "148: the data runs past the end of the file", "",
                                                       kDiffFail})
                                       << -1;
    const QByteArray negative = be32(0x1000) + be32(0x80000000u) + be32(0) + be32(0) + data;
    QTest::newRow("negative length") << diff_file(negative, uint32_t(negative.size())) << QStringList()
                                     << QStringList({illegal + "32: the length 2147483648 is too large", "", kDiffFail})
                                     << -1;
    // Refused when it was chosen, refused again at the update.
    QTest::newRow("bad blk_tCRC") << diff_file(diff_record(0, data, crc(data)), 116, false, true)
                                  << QStringList({"Illegal document", "Illegal document"})
                                  << QStringList({"par_tCRC:*", "blk_tCRC:*"}) << -1;
}

void UpdateFlashTest::diff_nothing_written()
{
    QFETCH(QByteArray, file);
    QFETCH(QStringList, boxes);
    QFETCH(QStringList, log);
    QFETCH(int, checks);
    FlashRig s(chip(kVq4410));
    QVERIFY(s.start());
    for (const QString& box : boxes)
        s.sink.expect_error(box);
    s.load_image("update.diff", file);
    QVERIFY(s.open_identified());
    s.clear_records();
    s.update_flash();
    const QStringList got = s.sink.log;
    if (checks < 0) {
        QCOMPARE(got.size(), log.size());
        QVERIFY(s.sim.with_device([](SimDevice& d) { return d.frames().isEmpty(); }));
    } else {
        QCOMPARE(s.frames('n').size(), checks);
    }
    for (int i = 0; i < log.size(); ++i) {
        const QString& line = got.value(got.size() - log.size() + i);
        QVERIFY2(log[i].endsWith('*') ? line.startsWith(log[i].chopped(1)) : line == log[i], qPrintable(line));
    }
    QVERIFY(s.frames('l').isEmpty());
    QCOMPARE(s.flash(0, 0x4000), QByteArray(0x4000, '\xFF'));
    VERIFY_BOXES(s.sink);
}

enum BlockFault { RefusedThrice, TailAtStatus2, OneSilent, SilentChip, FinalCrcWrong };

void UpdateFlashTest::block_faults_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("time_overs");
    QTest::addColumn<QVector<uint32_t>>("written");  // addresses of the block writes the device saw
    QTest::addColumn<QStringList>("tail");           // the last log lines
    QTest::newRow("block refused three times") << int(RefusedThrice) << 5000 << 0 << QVector<uint32_t>{0, 0, 0}
                                               << QStringList({"CRC Error:0x00000000", "", kFail});
    QTest::newRow("tail at status 2 on the third attempt") << int(TailAtStatus2) << 1000 << 0
                                                           << QVector<uint32_t>{0, 0, 0} << QStringList({kOk});
    // The time-out is shown, the next block follows, the CRC decides.
    QTest::newRow("a silent block") << int(OneSilent) << 6000 << 1 << QVector<uint32_t>{0, 2048, 4096}
                                    << QStringList({kOk});
    // With the window's rule (no limit on silent blocks) the update keeps
    // writing to a chip that takes the data of every block but answers only
    // the first. (vqprog's limit is judged where vqprog runs.)
    QTest::newRow("silent chip") << int(SilentChip) << 5 * 2048 << 4 << QVector<uint32_t>{0, 2048, 4096, 6144, 8192}
                                 << QStringList({kOk});
    QTest::newRow("final CRC wrong") << int(FinalCrcWrong) << 3000 << 0 << QVector<uint32_t>{0, 2048}
                                     << QStringList({"Check flash CRC fail,return CRC Value: 0x0000001F", "", kFail});
}

void UpdateFlashTest::block_faults()
{
    QFETCH(int, fault);
    QFETCH(int, length);
    QFETCH(int, time_overs);
    QFETCH(QVector<uint32_t>, written);
    QFETCH(QStringList, tail);
    FlashRig s(chip(kVq4410));
    QVERIFY(s.start());
    const QByteArray image = pattern(length);
    s.load_image("image.bin", image);
    QVERIFY(s.open_identified());
    s.sim.with_device([fault](SimDevice& d) {
        switch (fault) {
        case RefusedThrice: d.set_status('l', 3, 3); break;
        case TailAtStatus2: d.set_status('l', 2, 3); break;
        case OneSilent: d.set_silent('l', 1); break;
        case SilentChip: d.set_silent('l', SimDevice::kAlways, 1); break;
        case FinalCrcWrong: d.set_wrong_crc('n', 1, 0x1Fu); break;
        }
        return 0;
    });
    for (int i = 0; i < time_overs; ++i)
        s.sink.expect_error("Time over!");
    s.update_flash();
    const QStringList log = s.sink.log;
    QCOMPARE(log.mid(log.size() - tail.size()), tail);
    QCOMPARE(log.contains(kOk), tail.last() == kOk);
    QCOMPARE(addresses(s.frames('l')), written);
    if (tail.last() == kOk)
        QCOMPARE(s.flash(0, length), image);
    if (fault == RefusedThrice)
        QVERIFY(s.frames('n').isEmpty());  // no check after a failed block
    VERIFY_BOXES(s.sink);
}

void UpdateFlashTest::unplugged_mid_update()
{
    FlashRig s(chip(kVq4410));
    QVERIFY(s.start());
    s.load_image("image.bin", pattern(20000));
    QVERIFY(s.open_identified());
    s.sim.unplug_after('l', 3);
    QElapsedTimer clock;
    clock.start();
    s.update_flash();
    QVERIFY2(clock.elapsed() < 10000, "the update did not end at the removal");
    QCOMPARE(s.sink.log.last(), kFail);
    QCOMPARE(s.sink.failed_port, s.sim.slave_path());
    QVERIFY(!s.session.port_open());
    QCOMPARE(s.frames('l').size(), 3);
    QVERIFY(s.frames('n').isEmpty());
    VERIFY_BOXES(s.sink);
}

void UpdateFlashTest::flash_modes_data()
{
    QTest::addColumn<uint>("chip_id");
    QTest::addColumn<uint>("flash_id");
    QTest::addColumn<uint>("size");
    QTest::addColumn<int>("mode");  // 0: no set-flash-mode command
    QTest::addColumn<QString>("line");
    QTest::newRow("128 MiB, VQ4410") << uint(kVq4410) << uint(kId128M) << 128 * kMiB << 2 << "Set nand flash";
    QTest::newRow("128 MiB, VQ350A") << uint(kVq350A) << uint(kId128M) << 128 * kMiB << 0 << "";
    QTest::newRow("64 MiB") << uint(kVq4410) << uint(kId64M) << 64 * kMiB << 1 << "Set 32 bits Address!";
    QTest::newRow("48 MiB") << uint(kVq4410) << uint(kId48M) << 48 * kMiB << 0 << "";
}

void UpdateFlashTest::flash_modes()
{
    QFETCH(uint, chip_id);
    QFETCH(uint, flash_id);
    QFETCH(uint, size);
    QFETCH(int, mode);
    QFETCH(QString, line);
    FlashRig s(chip(chip_id, flash_id, flash_id, size));
    QVERIFY(s.start());
    s.load_image("image.bin", pattern(3000));
    QVERIFY(s.open_identified());
    s.update_flash();
    QCOMPARE(s.sink.log.last(), kOk);
    const QStringList log = without_timers(s.sink.log);
    QStringList expected = {"Connect", "Get Flash ID"};
    if (mode)
        expected << "Set 32bits Addr ok" << line;
    expected << "Start to update flash ...";
    QCOMPARE(log.mid(log.indexOf("Connect"), expected.size()), expected);
    QCOMPARE(s.frames('o').size(), mode ? 1 : 0);
    if (mode)
        QCOMPARE(int(s.frames('o')[0].variant), mode);
    VERIFY_BOXES(s.sink);
}

void UpdateFlashTest::flash_mode_refused()
{
    FlashRig s(chip(kVq4410, kId32M, kId32M, 32 * kMiB));
    QVERIFY(s.start());
    s.load_image("image.bin", pattern(3000));
    QVERIFY(s.open_identified());
    s.sim.with_device([](SimDevice& d) { d.set_wrong_letter('o', SimDevice::kAlways); return 0; });
    // Without 32-bit addresses the writes would land in the wrong place: nothing is written, nothing checked.
    s.update_flash();
    QCOMPARE(s.sink.log.last(), kFail);
    QVERIFY(s.frames('l').isEmpty());
    s.session.check_flash(false);
    QCOMPARE(s.frames('o').size(), 2);
    QVERIFY(s.frames('n').isEmpty());
    VERIFY_BOXES(s.sink);
}

void UpdateFlashTest::flash_size_limit_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<bool>("fits");
    QTest::newRow("one byte over the flash") << 512 * 1024 + 1 << false;
    QTest::newRow("as long as the flash") << 512 * 1024 << true;
}

void UpdateFlashTest::flash_size_limit()
{
    QFETCH(int, length);
    QFETCH(bool, fits);
    FlashRig s(chip(kVq4410, kId512K, kId512K, 512 * 1024));
    QVERIFY(s.start());
    s.sim.set_pacing(false);  // a whole flash at the line rate would only be slow
    const QByteArray image = pattern(length);
    s.load_image("image.bin", image);
    QVERIFY(s.open_identified());
    if (!fits)
        s.sink.expect_error("The file is over than the flash ic's size");
    s.update_flash();
    QCOMPARE(s.frames('l').isEmpty(), !fits);
    QCOMPARE(s.sink.log.last(), fits ? kOk : kFail);
    if (fits)
        QCOMPARE(s.flash(0, length), image);
    VERIFY_BOXES(s.sink);
}

void UpdateFlashTest::empty_image_never_passes()
{
    FlashRig s(chip(kVq4410));
    QVERIFY(s.start());
    s.load_image("image.bin", QByteArray());
    QVERIFY(s.open_identified());
    // A check of no bytes has no passes to wait for its answer.
    s.sink.expect_error("Time over!");
    s.update_flash();
    QVERIFY(s.frames('l').isEmpty());
    QCOMPARE(s.sink.log.last(), kFail);
    VERIFY_BOXES(s.sink);
}

// The update reads the named file again: a changed file is what is written,
// a file gone is refused before anything is written, its path logged.
void UpdateFlashTest::update_reads_file_afresh()
{
    FlashRig s(chip(kVq4410));
    QVERIFY(s.start());
    const QString path = s.load_image("image.bin", pattern(3000));
    const QByteArray changed = pattern(4500, 42);
    s.write("image.bin", changed);
    QVERIFY(s.open_identified());
    s.update_flash();
    QCOMPARE(s.sink.log.last(), kOk);
    QCOMPARE(s.flash(0, 4500), changed);
    QCOMPARE(s.sink.flash_label_text, QString("Flash code, FileCRC = %1  Len = 4500").arg(hex32(crc(changed))));

    QVERIFY(QFile::remove(path));
    s.clear_records();
    s.sink.log.clear();
    s.sink.expect_error("Read fail,please check the path!");
    s.update_flash();
    QCOMPARE(s.sink.log, QStringList({path}));
    QVERIFY(s.sim.with_device([](SimDevice& d) { return d.frames().isEmpty(); }));
    VERIFY_BOXES(s.sink);
}

void UpdateFlashTest::port_closed()
{
    FlashSession s(chip(kVq4410));
    QVERIFY(s.start());
    s.load_image("image.bin", pattern(3000));
    s.a().button("pushButton_UpdateFlash")->setEnabled(true);
    s.dialogs.expect_error("Please open the port!");
    s.click("pushButton_UpdateFlash");
    // The empty line before the verdict goes into the first, empty line of
    // the cleared pane.
    QCOMPARE(s.a().log(), QStringList({kFail}));
    for (const char* name : {"pushButton_UpdateMCU", "pushButton_CheckMCU", "pushButton_UpdateFlash",
                             "pushButton_FlashInfo", "pushButton_CheckFlash"})
        QVERIFY2(s.a().button(name)->isEnabled(), name);
    VERIFY_BOXES(s.dialogs);
}

QTEST_MAIN(UpdateFlashTest)
#include "test_update_flash.moc"
