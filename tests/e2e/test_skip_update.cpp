// Updates that leave out what the device already holds: the session end to
// end through a pty to the simulated boot loader computing its CRCs at
// 8 MB/s: what is sent (the frames it received), what the memory holds
// afterwards, and the verdict, which is always the full update's.

#include <QtTest>

#include "flash_fixtures.h"

using namespace flash_fixtures;

namespace {

const QString kOk = "Update flash is OK!!!!!!";
const QString kFail = "Update flash is fail.....";
const QString kDiffOk = "Diff Update flash is OK!!!!!!";
constexpr uint32_t kUart0Base = 0x80000;
constexpr int kBlk = 2048;

SimConfig device(uint32_t chip_id = kVq4410, uint32_t id = kId16M, uint32_t size = 16 * kMiB)
{
    SimConfig c = chip(chip_id, id, id, size);
    c.crc_rate = kDefaultCrcRate;
    c.progress_reports = 3;
    return c;
}

QByteArray flipped(QByteArray bytes, const QVector<int>& at)
{
    for (int i : at)
        bytes[i] = char(~bytes.at(i));
    return bytes;
}

constexpr int kRate1382400 = 9;

// The board plugged in again: a new pty on the same memory, opened at
// 1382400 as production lines run.
void replug(FlashRig& r)
{
    QTRY_VERIFY_WITH_TIMEOUT(!r.session.port_open(), 5000);
    QVERIFY(r.sim.replug());
    QVERIFY(r.open_identified(kRate1382400));
    r.clear_records();
}

}  // namespace

class SkipUpdateTest : public QObject {
    Q_OBJECT

private slots:
    void leaves_out_what_the_flash_holds_data();
    void leaves_out_what_the_flash_holds();
    void resume_after_unplug_data();
    void resume_after_unplug();
    void survey_faults_data();
    void survey_faults();
    void mcu_data();
    void mcu();
    void diff_record_padded_over();
};

void SkipUpdateTest::leaves_out_what_the_flash_holds_data()
{
    QTest::addColumn<uint32_t>("chip_id");
    QTest::addColumn<uint32_t>("flash_id");
    QTest::addColumn<int>("length");
    QTest::addColumn<bool>("info");           // a valid info block, programmed as 0xFF
    QTest::addColumn<QVector<int>>("stale");  // image offsets the flash holds otherwise
    QTest::addColumn<QVector<uint32_t>>("written");

    const int k64 = 65536;
    const int m16 = int(16 * kMiB);
    QTest::newRow("identical: nothing written") << kVq4410 << kId16M << k64 << false << QVector<int>{}
                                                << QVector<uint32_t>{};
    QTest::newRow("first block") << kVq4410 << kId16M << k64 << false << QVector<int>{10} << QVector<uint32_t>{0};
    QTest::newRow("a middle block") << kVq4410 << kId16M << k64 << false << QVector<int>{k64 / 2 + 5}
                                    << QVector<uint32_t>{k64 / 2};
    QTest::newRow("last block") << kVq4410 << kId16M << k64 << false << QVector<int>{k64 - 1}
                                << QVector<uint32_t>{k64 - kBlk};
    QTest::newRow("tail of 5000 bytes") << kVq4410 << kId16M << 5000 << false << QVector<int>{4999}
                                        << QVector<uint32_t>{4096};
    QTest::newRow("info block already programmed") << kVq4410 << kId16M << 6000 << true << QVector<int>{}
                                                   << QVector<uint32_t>{};
    QTest::newRow("info block, one block stale") << kVq4410 << kId16M << 6000 << true << QVector<int>{5000}
                                                 << QVector<uint32_t>{4096};
    QTest::newRow("VQ210 Uart0 base, padded tail") << kVq210Uart0 << kId16M << 5000 << false << QVector<int>{4999}
                                                   << QVector<uint32_t>{kUart0Base + 4096};
    QTest::newRow("32 MiB flash, 32-bit addresses") << kVq4410 << kId32M << m16 + k64 << false
                                                    << QVector<int>{m16 + 100} << QVector<uint32_t>{16 * kMiB};
}

void SkipUpdateTest::leaves_out_what_the_flash_holds()
{
    QFETCH(uint32_t, chip_id);
    QFETCH(uint32_t, flash_id);
    QFETCH(int, length);
    QFETCH(bool, info);
    QFETCH(QVector<int>, stale);
    QFETCH(QVector<uint32_t>, written);
    FlashRig s(device(chip_id, flash_id, flash_id == kId32M ? 32 * kMiB : 16 * kMiB));
    QVERIFY(s.start());
    QByteArray programmed = pattern(length);
    QByteArray file = programmed;
    if (info) {
        programmed.replace(372, 12, QByteArray(12, '\xFF'));
        file = with_info(file, uint32_t(length), crc(programmed));
    }
    const uint32_t base = chip_id == kVq210Uart0 ? kUart0Base : 0;
    // The base-address update writes its tail as 2047 bytes: 0xFF behind the image.
    const QByteArray in_flash = base ? programmed + QByteArray(4096 + 2047 - length, '\xFF') : programmed;
    s.put_in_flash(base, flipped(in_flash, stale));
    const QString path = s.write("image.bin", file);
    QVERIFY(s.open_identified());
    s.clear_records();

    const UpdateReport report = s.session.update_flash(path, s.options(true));
    QCOMPARE(report.code, 0);
    QCOMPARE(s.sink.log.last(), kOk);
    QCOMPARE(addresses(s.frames('l')), written);
    QCOMPARE(s.flash(base, in_flash.size()), in_flash);
    const QString survey = QString("Blocks that differ: %1 of %2, ").arg(written.size()).arg((length + kBlk - 1) / kBlk + (base && length % kBlk == 0 ? 1 : 0));
    QCOMPARE(s.sink.log.filter(survey).size(), 1);
    QCOMPARE(report.bytes.bytes_written + report.bytes.bytes_skipped, qint64(length));
    QCOMPARE(report.bytes.bytes_written == 0, written.isEmpty());
    QCOMPARE(s.frames('o').size(), flash_id == kId32M ? 1 : 0);
    QCOMPARE(s.sink.progress_value, 100);
    VERIFY_BOXES(s.sink);
}

void SkipUpdateTest::resume_after_unplug_data()
{
    QTest::addColumn<bool>("diff");
    QTest::newRow(".bin") << false;
    QTest::newRow(".diff") << true;
}

void SkipUpdateTest::resume_after_unplug()
{
    QFETCH(bool, diff);
    FlashRig s(device());
    QVERIFY(s.start());
    const QByteArray image = pattern(2 * kMiB, 11);
    QString path;
    if (diff) {
        // Sixteen records of 128 KiB, each with the CRC its range has once written.
        QByteArray records;
        for (int r = 0; r < 16; ++r) {
            const QByteArray data = image.mid(r * 131072, 131072);
            records += diff_record(uint32_t(r) * 131072, data, crc(data));
        }
        path = s.write("image.diff", diff_file(records, uint32_t(records.size()), false, false, 16));
    } else {
        path = s.write("image.bin", image);
    }
    const int blocks = image.size() / kBlk;
    QVERIFY(s.open_identified(kRate1382400));
    s.sim.unplug_after('l', blocks / 2 + 1);
    QVERIFY(s.session.update_flash(path, s.options(true)).verdict != Verdict::Passed);
    QCOMPARE(s.sink.log.last(), diff ? QString("Diff Update flash is fail.....") : kFail);
    replug(s);

    QCOMPARE(s.session.update_flash(path, s.options(true)).code, 0);
    QCOMPARE(s.sink.log.last(), diff ? kDiffOk : kOk);
    QCOMPARE(s.flash(0, image.size()), image);
    QVERIFY2(s.frames('l').size() < blocks * 6 / 10, qPrintable(QString::number(s.frames('l').size())));
    VERIFY_BOXES(s.sink);
}

void SkipUpdateTest::survey_faults_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<QString>("verdict");
    QTest::addColumn<int>("written");  // blocks; -1: any

    // One stale block in a 64 KiB image: the first question covers all of it.
    QTest::newRow("wrong reply: written whole") << 0 << kOk << 32;
    QTest::newRow("status 2: written whole") << 1 << kOk << 32;
    QTest::newRow("silence: no box, written whole") << 2 << kOk << 32;
    QTest::newRow("wrong CRC: narrowed, proven block by block") << 3 << kOk << 1;
    QTest::newRow("a CRC that lies: the final check fails") << 4 << kFail << 0;
}

void SkipUpdateTest::survey_faults()
{
    QFETCH(int, fault);
    QFETCH(QString, verdict);
    QFETCH(int, written);
    FlashRig s(device());
    QVERIFY(s.start());
    const QByteArray image = pattern(65536, 4);
    const QByteArray stale = flipped(image, {40000});
    s.put_in_flash(0, stale);
    const QString path = s.write("image.bin", image);
    QVERIFY(s.open_identified());
    s.clear_records();
    s.sim.with_device([&](SimDevice& d) {
        switch (fault) {
        case 0: d.set_wrong_letter('n', 1); break;
        case 1: d.set_status('n', kFlashCrcRefused, 1); break;
        case 2: d.set_silent('n', 1); break;
        case 3: d.set_wrong_crc('n', 1); break;
        case 4: d.set_wrong_crc('n', 1, crc(image)); break;
        }
        return 0;
    });
    s.session.update_flash(path, s.options(true));
    QCOMPARE(s.sink.log.last(), verdict);
    QCOMPARE(s.frames('l').size(), written);
    QCOMPARE(s.flash(0, image.size()), verdict == kOk ? image : stale);
    VERIFY_BOXES(s.sink);
}

void SkipUpdateTest::mcu_data()
{
    QTest::addColumn<bool>("held");
    QTest::newRow("chip holds the image: nothing erased or written") << true;
    QTest::newRow("one byte differs: the MCU update") << false;
}

void SkipUpdateTest::mcu()
{
    QFETCH(bool, held);
    FlashRig s(device());
    QVERIFY(s.start());
    QByteArray image = pattern(100000, 8);
    sim_wire::set_u32(image, 4, 0x08008000);  // run from the application base: offset 0
    s.sim.with_device([&](SimDevice& d) {
        d.internal_flash().replace(0, image.size(), held ? image : flipped(image, {50000}));
        return 0;
    });
    const QString path = s.write("mcu.bin", image);
    QVERIFY(s.open_identified());
    s.clear_records();
    const UpdateReport report = s.session.update_mcu(path, s.options(true));
    QCOMPARE(report.code, 0);
    QCOMPARE(s.sink.log.last(), QString("Update MCU is OK!!!!!!"));
    QCOMPARE(s.sim.with_device([&](SimDevice& d) { return d.internal_flash().left(image.size()); }), image);
    QCOMPARE(s.frames('L').isEmpty(), held);
    QCOMPARE(s.frames('J').isEmpty(), held);
    QCOMPARE(report.bytes.bytes_skipped, held ? qint64(image.size()) : 0);
    VERIFY_BOXES(s.sink);
}

// B's bytes are in the flash already, but A's 0xFF padding wipes them.
void SkipUpdateTest::diff_record_padded_over()
{
    FlashRig s(device());
    QVERIFY(s.start());
    const QByteArray a = pattern(100, 1);
    const QByteArray b = pattern(100, 2);
    const QByteArray records = diff_record(0, a, crc(a)) + diff_record(1024, b, crc(b));
    const QString path = s.write("image.diff", diff_file(records, uint32_t(records.size()), false, false, 2));
    s.put_in_flash(1024, b);
    QVERIFY(s.open_identified(kRate1382400));
    QCOMPARE(s.session.update_flash(path, s.options(true)).code, 0);
    QCOMPARE(s.sink.log.last(), kDiffOk);
    QCOMPARE(s.flash(0, 1124), a + QByteArray(924, '\xFF') + b);
    VERIFY_BOXES(s.sink);
}

QTEST_MAIN(SkipUpdateTest)
#include "test_skip_update.moc"
