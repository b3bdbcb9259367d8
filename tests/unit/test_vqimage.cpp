// The image tools: differential images built and applied over generated
// images (the result must be the new image, the file must pass the tool's
// own Input File rules, no padding may land on the new image), the info
// block stamp, the dry run's refusals, and the vqimage program itself on
// good and bad input.

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <random>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "flashimage/diff_builder.h"
#include "flashimage/diff_check.h"
#include "flashimage/image_rules.h"
#include "flashimage/update_plan.h"
#include "platform/file_write.h"
#include "protocol/crc32.h"

namespace {

constexpr int kBlock = 2048;

QByteArray random_bytes(int n, uint32_t seed)
{
    std::mt19937 rng(seed);
    QByteArray b(n, '\0');
    for (int i = 0; i < n; ++i)
        b[i] = char(rng());
    return b;
}

QByteArray be32(uint32_t v)
{
    const char w[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    return QByteArray(w, 4);
}

QByteArray record(uint32_t address, const QByteArray& data, uint32_t crc)
{
    return be32(address) + be32(uint32_t(data.size())) + be32(crc) + be32(0) + data;
}

// A .diff with right integrity CRCs around the given records.
QByteArray diff_of(const QByteArray& blocks, uint32_t number, uint32_t new_len, uint32_t new_crc)
{
    QByteArray h = be32(1) + be32(uint32_t(blocks.size())) + be32(boot_crc32(blocks)) + be32(number) +
                   be32(new_len) + be32(new_crc) + be32(new_crc);
    h += be32(boot_crc32(h));
    return h + blocks;
}

// The same with a dblk_lenght that need not be the block area's length.
QByteArray diff_claiming(const QByteArray& blocks, uint32_t dblk_lenght)
{
    QByteArray h = be32(1) + be32(dblk_lenght) + be32(boot_crc32(blocks)) + be32(1) + be32(0) + be32(0) + be32(0);
    h += be32(boot_crc32(h));
    return h + blocks;
}

QByteArray with_info_block(QByteArray image)
{
    stamp_image_info(&image);
    return image;
}

// Every record either is whole blocks or ends at NEW's end; records ascend
// without overlap and start on the alignment.
void verify_padding_rule(const DiffBuild& b, int new_len, int align)
{
    qint64 previous_end = 0;
    for (const DiffRecordRange& r : b.records) {
        QVERIFY(r.length > 0);
        QVERIFY2(r.length % kBlock == 0 || qint64(r.address) + r.length == new_len,
                 qPrintable(QString("record at %1 of %2 bytes").arg(r.address).arg(r.length)));
        QVERIFY(qint64(r.address) >= previous_end);
        QCOMPARE(r.address % uint32_t(align), 0u);
        QVERIFY(qint64(r.address) + r.length <= new_len);
        previous_end = qint64(r.address) + r.length;
    }
}

void verify_round_trip(const QByteArray& old_image, const QByteArray& new_image, int align)
{
    DiffBuildOptions options;
    options.align = align;
    options.index = 7;
    const DiffBuild b = build_diff(old_image, new_image, options);
    QCOMPARE(b.status, DiffBuildStatus::Ok);
    verify_padding_rule(b, new_image.size(), align);

    const FlashImageCheck check = check_flash_image(b.file, QStringLiteral("update.diff"));
    QVERIFY(check.is_diff);
    QVERIFY(check.ok);
    QCOMPARE(check.diff_info[kDiffIndex], 7u);
    QCOMPARE(check.diff_info[kDblkLenght], uint32_t(b.file.size() - kDiffHeaderLen));
    QCOMPARE(check.diff_info[kDblkNumber], uint32_t(b.records.size()));
    QCOMPARE(check.diff_info[kNFileLenght], uint32_t(new_image.size()));
    QCOMPARE(check.diff_info[kNFileCrc], boot_crc32(new_image));
    const ImageInfoBlock info = read_image_info_block(new_image);
    QCOMPARE(check.diff_info[kNFileUiCrc], info.valid ? info.flash_crc : boot_crc32(new_image));

    // The flash holds OLD as Update Flash programmed it; what lies past OLD
    // is unknown, so garbage stands for it.
    const QByteArray flash = image_as_programmed(old_image) + random_bytes(3 * kBlock, 99);
    const DiffDryRun run = apply_diff(flash, b.file);
    QVERIFY2(run.ok, qPrintable(run.error));
    QCOMPARE(run.records.size(), b.records.size());
    QVERIFY(run.image_checked);
    QCOMPARE(run.flash.left(new_image.size()), image_as_programmed(new_image));
}

}  // namespace

class VqimageTest : public QObject {
    Q_OBJECT

private slots:
    void round_trip_data();
    void round_trip();
    void round_trip_random();
    void records_cover_only_changes();
    void builder_refusals_data();
    void builder_refusals();
    void stamp_and_input_file_data();
    void stamp_and_input_file();
    void dry_run_writes_the_padded_tail();
    void dry_run_refusals_data();
    void dry_run_refusals();
    void record_problems_data();
    void record_problems();

    void cli_round_trip();
    void cli_info_refuses();
    void cli_bad_input_data();
    void cli_bad_input();
    void cli_stamp_in_place();
    void cli_output_targets_data();
    void cli_output_targets();
    void replacement_keeps_the_mode_data();
    void replacement_keeps_the_mode();
    void cli_refuses_huge_files();
};

void VqimageTest::round_trip_data()
{
    QTest::addColumn<QByteArray>("old_image");
    QTest::addColumn<QByteArray>("new_image");
    QTest::addColumn<int>("align");
    const QByteArray base = random_bytes(100000, 1);
    auto changed = [&base](std::initializer_list<int> at) {
        QByteArray b = base;
        for (int i : at)
            b[i] = char(b[i] ^ 0x5A);
        return b;
    };
    QTest::newRow("scattered") << base << changed({10, 5000, 40000, 77777}) << 4096;
    QTest::newRow("last byte") << base << changed({99999}) << 4096;
    QTest::newRow("last byte, align 1") << base << changed({99999}) << 1;
    QTest::newRow("first byte, align 1") << base << changed({0}) << 1;
    QTest::newRow("inside a block") << base << changed({2100, 2200}) << 512;
    QTest::newRow("across a block boundary") << base << changed({2047, 2048}) << 1;
    QTest::newRow("just before a boundary") << base << changed({4095}) << 1000;
    QTest::newRow("close changes merge") << base << changed({100, 2048 + 110}) << 1;
    QTest::newRow("new longer") << base << base + random_bytes(5000, 2) << 4096;
    QTest::newRow("new longer by one byte") << base << base + "x" << 4096;
    QTest::newRow("new shorter, same prefix but one byte") << base << changed({50}).left(60001) << 4096;
    QTest::newRow("new shorter with a change at its end") << base << changed({60000}).left(60001) << 1;
    QTest::newRow("new shorter than a block") << base << changed({3}).left(700) << 4096;
    QTest::newRow("info block in new") << base << with_info_block(changed({90000})) << 4096;
    QTest::newRow("info block in both, same body") << with_info_block(base) << with_info_block(changed({1}))
                                                   << 4096;
    QTest::newRow("info block in old only") << with_info_block(base) << changed({20000}) << 4096;
    QTest::newRow("odd alignment") << base << changed({3001, 9000, 99998}) << 3000;
    QTest::newRow("large alignment") << base << changed({70000}) << 65536;
    QTest::newRow("everything differs") << base << random_bytes(100000, 3) << 4096;
    QTest::newRow("old empty") << QByteArray() << base << 4096;
}

void VqimageTest::round_trip()
{
    QFETCH(QByteArray, old_image);
    QFETCH(QByteArray, new_image);
    QFETCH(int, align);
    verify_round_trip(old_image, new_image, align);
}

void VqimageTest::round_trip_random()
{
    std::mt19937 rng(20261207);
    const int aligns[] = {1, 7, 256, 2048, 3000, 4096, 8192};
    for (int round = 0; round < 150; ++round) {
        const int old_len = int(rng() % 30000) + 1;
        QByteArray old_image = random_bytes(old_len, rng());
        const int new_len = std::max(1, old_len + int(rng() % 12000) - 6000);
        QByteArray new_image = old_image.left(new_len);
        if (new_image.size() < new_len)
            new_image += random_bytes(new_len - new_image.size(), rng());
        const int changes = int(rng() % 12);
        for (int i = 0; i < changes; ++i) {
            const int at = int(rng() % uint32_t(new_len));
            const int run = std::min(int(rng() % 3000) + 1, new_len - at);
            for (int j = at; j < at + run; ++j)
                new_image[j] = char(rng());
        }
        if (rng() % 4 == 0 && new_len >= kImageInfoEnd)
            stamp_image_info(&new_image);
        if (rng() % 4 == 0 && old_len >= kImageInfoEnd)
            stamp_image_info(&old_image);
        const int align = aligns[rng() % (sizeof(aligns) / sizeof(aligns[0]))];
        const DiffBuild b = build_diff(old_image, new_image, {0, align});
        if (b.status == DiffBuildStatus::Identical) {
            QVERIFY(image_as_programmed(old_image).startsWith(image_as_programmed(new_image)));
            continue;
        }
        verify_round_trip(old_image, new_image, align);
        if (QTest::currentTestFailed())
            QFAIL(qPrintable(
                QString("round %1: old %2, new %3, align %4").arg(round).arg(old_len).arg(new_len).arg(align)));
    }
}

void VqimageTest::records_cover_only_changes()
{
    const QByteArray old_image = random_bytes(64 * 1024, 5);
    QByteArray new_image = old_image;
    new_image[5000] = char(new_image[5000] ^ 1);
    new_image[40000] = char(new_image[40000] ^ 1);
    const DiffBuild b = build_diff(old_image, new_image, {0, 4096});
    QCOMPARE(b.status, DiffBuildStatus::Ok);
    QCOMPARE(b.records.size(), 2);
    QCOMPARE(b.records[0].address, 4096u);
    QCOMPARE(b.records[0].length, 4096u);
    QCOMPARE(b.records[1].address, 36864u);
    QCOMPARE(b.records[1].length, 4096u);
    QCOMPARE(b.records[0].crc, boot_crc32(new_image.mid(4096, 4096)));
    QCOMPARE(b.file.size(), kDiffHeaderLen + 2 * (kDiffRecordHeaderLen + 4096));
}

void VqimageTest::builder_refusals_data()
{
    QTest::addColumn<QByteArray>("old_image");
    QTest::addColumn<QByteArray>("new_image");
    QTest::addColumn<int>("align");
    QTest::addColumn<int>("status");
    const QByteArray base = random_bytes(5000, 4);
    QByteArray stale = with_info_block(base);
    stale[10] = char(stale[10] ^ 1);  // the body changed after the stamp
    QTest::newRow("identical") << base << base << 4096 << int(DiffBuildStatus::Identical);
    QTest::newRow("new a prefix of old") << base << base.left(3000) << 1 << int(DiffBuildStatus::Identical);
    // Only the info block differs: programmed, both hold 0xFF there.
    QTest::newRow("identical as programmed")
        << with_info_block(base) << base.left(372) + QByteArray(12, '\xFF') + base.mid(384) << 1
        << int(DiffBuildStatus::Identical);
    QTest::newRow("empty new") << base << QByteArray() << 4096 << int(DiffBuildStatus::EmptyNew);
    QTest::newRow("align 0") << base << base + "x" << 0 << int(DiffBuildStatus::BadAlign);
    QTest::newRow("align too large") << base << base + "x" << kMaxDiffAlign + 1 << int(DiffBuildStatus::BadAlign);
    QTest::newRow("stale info block") << base << stale << 4096 << int(DiffBuildStatus::StaleInfoBlock);
}

void VqimageTest::builder_refusals()
{
    QFETCH(QByteArray, old_image);
    QFETCH(QByteArray, new_image);
    QFETCH(int, align);
    QFETCH(int, status);
    const DiffBuild b = build_diff(old_image, new_image, {0, align});
    QCOMPARE(int(b.status), status);
    QVERIFY(!b.error.isEmpty());
    QVERIFY(b.file.isEmpty());
}

void VqimageTest::stamp_and_input_file_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<bool>("stamped");
    QTest::newRow("exactly 384 bytes") << 384 << true;
    QTest::newRow("large") << 300000 << true;
    QTest::newRow("383 bytes") << 383 << false;
    QTest::newRow("empty") << 0 << false;
}

void VqimageTest::stamp_and_input_file()
{
    QFETCH(int, length);
    QFETCH(bool, stamped);
    const QByteArray original = random_bytes(length, 11);
    QByteArray image = original;
    QCOMPARE(stamp_image_info(&image), stamped);
    if (!stamped) {
        QCOMPARE(image, original);
        return;
    }
    QCOMPARE(image.left(kImageInfoOffset), original.left(kImageInfoOffset));
    QCOMPARE(image.mid(kImageInfoEnd), original.mid(kImageInfoEnd));
    QByteArray programmed = original;
    programmed.replace(kImageInfoOffset, 12, QByteArray(12, '\xFF'));
    const uint32_t flash_crc = boot_crc32(programmed);
    const FlashImageCheck check = check_flash_image(image, QStringLiteral("image.bin"));
    QCOMPARE(check.has_info, 1);
    QCOMPARE(check.info_crc, flash_crc);
    const QString flash_crc_text = QString("%1").arg(flash_crc, 8, 16, QChar('0')).toUpper();
    QVERIFY(check.label.contains(QStringLiteral("  FlashCRC = 0x") + flash_crc_text));
    QCOMPARE(image_as_programmed(image), programmed);
    // Stamping again changes nothing: the block does not feed its own CRC.
    QByteArray again = image;
    QVERIFY(stamp_image_info(&again));
    QCOMPARE(again, image);
}

void VqimageTest::dry_run_writes_the_padded_tail()
{
    // A 100-byte record is sent as 2047 bytes: the 0xFF behind it lands in
    // the flash, so a record made without the padding rule spoils the image.
    const QByteArray flash = random_bytes(8192, 12);
    QByteArray data = flash.left(100);
    data[0] = char(data[0] ^ 1);
    const QByteArray file = diff_of(record(0, data, boot_crc32(data)), 1, 8192, 0);
    DryRunOptions no_image;
    no_image.check_new_image = false;
    const DiffDryRun run = apply_diff(flash, file, no_image);
    QVERIFY2(run.ok, qPrintable(run.error));
    QCOMPARE(run.records.size(), 1);
    QCOMPARE(run.records[0].writes, 1);
    QCOMPARE(run.flash.left(100), data);
    QCOMPARE(run.flash.mid(100, 1947), QByteArray(1947, '\xFF'));
    QCOMPARE(run.flash.mid(2047), flash.mid(2047));

    // Written past the dump, the flash grows erased.
    const QByteArray tail = random_bytes(10, 13);
    const DiffDryRun grown = apply_diff(flash, diff_of(record(8192 + 4096, tail, boot_crc32(tail)), 1, 0, 0), no_image);
    QVERIFY2(grown.ok, qPrintable(grown.error));
    QCOMPARE(grown.flash.size(), 8192 + 4096 + 2047);
    QCOMPARE(grown.flash.mid(8192, 4096), QByteArray(4096, '\xFF'));
    QCOMPARE(grown.flash.mid(8192 + 4096, 10), tail);
}

void VqimageTest::dry_run_refusals_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("error");
    const QByteArray data = random_bytes(3000, 14);
    const QByteArray good = diff_of(record(0x1000, data, boot_crc32(data)), 1, 0, 0);
    QByteArray bad_header = good;
    bad_header[0] = char(bad_header[0] ^ 1);
    QByteArray bad_blocks = good;
    bad_blocks[40] = char(bad_blocks[40] ^ 1);
    QTest::newRow("shorter than the header") << good.left(20) << "shorter than its 32-byte header";
    QTest::newRow("truncated") << good.left(good.size() - 1) << "Illegal document";
    QTest::newRow("header CRC") << bad_header << "diff_para_crc";
    QTest::newRow("block area CRC") << bad_blocks << "dblk_crc";
    QTest::newRow("bare header") << diff_of(QByteArray(), 1, 0, 0) << "no block record";
    QTest::newRow("dblk_number 0") << diff_of(record(0, data, boot_crc32(data)), 0, 0, 0)
                                   << "There are not any block to update...";
    QTest::newRow("data past the end") << diff_of(record(0, data, 0).left(100), 1, 0, 0) << "past the end of the file";
    QTest::newRow("empty record") << diff_of(record(0, QByteArray(), 0), 1, 0, 0) << "holds no data";
    QTest::newRow("past the largest flash") << diff_of(record(0xFFFFF000u, data.left(100), 0), 1, 0, 0)
                                            << "past the largest flash";
    QTest::newRow("record CRC") << diff_of(record(0x1000, data, boot_crc32(data) ^ 1), 1, 0, 0)
                                << "Check flash CRC fail at 0x00001000";
    QTest::newRow("not made for this flash") << diff_of(record(0x1000, data, boot_crc32(data)), 1, 8192, 0x1234)
                                             << "not made for this flash";
    QTest::newRow("new image longer than the flash") << diff_of(record(0x1000, data, boot_crc32(data)), 1, 1 << 20, 0)
                                                     << "holds only";
}

void VqimageTest::dry_run_refusals()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, error);
    const DiffDryRun run = apply_diff(random_bytes(8192, 15), file);
    QVERIFY(!run.ok);
    QVERIFY2(run.error.contains(error), qPrintable(run.error));
    QVERIFY(run.flash.isEmpty());
}

void VqimageTest::record_problems_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<qint64>("flash_size");
    QTest::addColumn<int>("kind");  // DiffProblemKind, -1: none
    QTest::addColumn<int>("index");
    QTest::addColumn<qint64>("offset");
    QTest::addColumn<QString>("reason");
    const QByteArray data = random_bytes(100, 16);
    const QByteArray good = record(0x1000, data, boot_crc32(data));
    const QByteArray second = record(0x2000, data, boot_crc32(data));
    auto kind = [](DiffProblemKind k) { return int(k); };
    QTest::newRow("sound") << diff_of(good + second, 2, 0, 0) << qint64(0) << -1 << -1 << qint64(-1) << "";
    QTest::newRow("fits the flash exactly") << diff_of(good, 1, 0, 0) << qint64(0x1064) << -1 << -1 << qint64(-1)
                                            << "";
    QTest::newRow("no data") << diff_of(good + record(0x3000, QByteArray(), 0), 2, 0, 0) << qint64(0)
                             << kind(DiffProblemKind::EmptyRecord) << 1 << qint64(32 + 116)
                             << "record 2 of 2 (file offset 148, address 0x00003000): the record holds no data";
    QTest::newRow("record CRC") << diff_of(good + record(0x2000, data, 0x12345678), 2, 0, 0) << qint64(0)
                                << kind(DiffProblemKind::RecordCrc) << 1 << qint64(148) << "the record says 0x12345678";
    QTest::newRow("past the flash") << diff_of(second + good, 2, 0, 0) << qint64(0x2000)
                                    << kind(DiffProblemKind::PastFlashEnd) << 0 << qint64(32)
                                    << "ends at byte 8292, past the end of the 8192-byte flash";
    QTest::newRow("past the largest flash") << diff_of(record(0x40000000, data, boot_crc32(data)), 1, 0, 0)
                                            << qint64(0) << kind(DiffProblemKind::PastFlashEnd) << 0 << qint64(32)
                                            << "largest flash";
    const QByteArray top = random_bytes(16, 17);
    QTest::newRow("ends at 4 GiB") << diff_of(record(0xFFFFFFF0u, top, boot_crc32(top)), 1, 0, 0) << qint64(0)
                                   << kind(DiffProblemKind::PastFlashEnd) << 0 << qint64(32)
                                   << "ends at byte 4294967296, past the end";
    QTest::newRow("block area length") << diff_claiming(good, 0xFFFFFFF0u) << qint64(0)
                                       << kind(DiffProblemKind::BlockAreaLength) << -1 << qint64(-1)
                                       << "dblk_lenght says the block area holds 4294967280 bytes, it holds 116";
    // Each record is checked right after its writes; a later record's 0xFF padding is not.
    const QByteArray at_0 = record(0, data, boot_crc32(data));
    const QByteArray at_1024 = record(1024, data, boot_crc32(data));
    QTest::newRow("later padding rewritten: sound") << diff_of(at_0 + at_1024, 2, 0, 0) << qint64(0) << -1 << -1
                                                    << qint64(-1) << "";
    QTest::newRow("later padding over an earlier record") << diff_of(at_1024 + at_0, 2, 0, 0) << qint64(0)
                                                          << kind(DiffProblemKind::Overwritten) << 0 << qint64(32)
                                                          << "the writes of record 2 (data and 0xFF padding) change";
    const QByteArray other = random_bytes(100, 17);
    QTest::newRow("duplicate, same data: sound") << diff_of(good + good, 2, 0, 0) << qint64(0) << -1 << -1
                                                 << qint64(-1) << "";
    QTest::newRow("duplicate, other data") << diff_of(good + record(0x1000, other, boot_crc32(other)), 2, 0, 0)
                                           << qint64(0) << kind(DiffProblemKind::Overwritten) << 0 << qint64(32)
                                           << "record 1 of 2 (file offset 32, address 0x00001000): the writes";
    QTest::newRow("no records") << diff_of(good, 0, 0, 0) << qint64(0) << kind(DiffProblemKind::NoRecords) << -1
                                << qint64(-1) << "There are not any block to update...";
    QTest::newRow("data past the end") << diff_of(good.left(60), 1, 0, 0) << qint64(0)
                                       << kind(DiffProblemKind::Unwalkable) << -1 << qint64(-1)
                                       << "past the end of the file";
}

void VqimageTest::record_problems()
{
    QFETCH(QByteArray, file);
    QFETCH(qint64, flash_size);
    QFETCH(int, kind);
    QFETCH(int, index);
    QFETCH(qint64, offset);
    QFETCH(QString, reason);
    const QVector<DiffProblem> problems = check_diff_records(file, flash_size);
    if (kind < 0) {
        QVERIFY2(problems.isEmpty(), qPrintable(problems.value(0).reason));
        return;
    }
    QCOMPARE(problems.size(), 1);
    QCOMPARE(int(problems[0].kind), kind);
    QCOMPARE(problems[0].index, index);
    QCOMPARE(problems[0].offset, offset);
    QVERIFY2(problems[0].reason.contains(reason), qPrintable(problems[0].reason));
}

// ---- The program ----

namespace {

struct Run {
    int code;
    QString out;
    QString err;
};

Run vqimage(const QStringList& args)
{
    QProcess p;
    p.start(QStringLiteral(VQIMAGE_PATH), args);
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit)
        return {-1, QString(), QStringLiteral("did not finish")};
    return {p.exitCode(), QString::fromUtf8(p.readAllStandardOutput()), QString::fromUtf8(p.readAllStandardError())};
}

QString put(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes)
{
    QFile f(dir.filePath(name));
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        qWarning("cannot write %s", qPrintable(name));
    return f.fileName();
}

QByteArray contents(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

}  // namespace

void VqimageTest::cli_round_trip()
{
    QTemporaryDir dir;
    const QByteArray old_image = random_bytes(50000, 21);
    QByteArray new_image = old_image + random_bytes(777, 22);
    new_image[30000] = char(new_image[30000] ^ 1);
    const QString old_path = put(dir, "old.bin", old_image);
    const QString new_path = put(dir, "new.bin", new_image);
    const QString diff_path = dir.filePath("update.diff");
    const QString result_path = dir.filePath("result.bin");

    const Run stamp = vqimage({"stamp", new_path});
    QCOMPARE(stamp.code, 0);
    const QByteArray stamped = contents(new_path);
    QVERIFY(read_image_info_block(stamped).valid);

    const Run diff = vqimage({"diff", old_path, new_path, "-o", diff_path, "--index", "0x10", "--align", "2048"});
    QVERIFY2(diff.code == 0, qPrintable(diff.err));
    const QByteArray file = contents(diff_path);
    QCOMPARE(file, build_diff(old_image, stamped, {0x10, 2048}).file);

    const Run info = vqimage({"info", "--json", diff_path});
    QCOMPARE(info.code, 0);
    const QJsonObject json = QJsonDocument::fromJson(info.out.toUtf8()).object();
    QCOMPARE(json["kind"].toString(), QString("diff"));
    QCOMPARE(json["accepted"].toBool(), true);
    QCOMPARE(json["header"].toObject()["diff_index"].toInt(), 0x10);
    QCOMPARE(json["header"].toObject()["nFile_ui_crc"].toDouble(), double(read_image_info_block(stamped).flash_crc));
    QCOMPARE(json["records"].toArray().size(), int(Parse_DiffHeader(file)[kDblkNumber]));
    QCOMPARE(json["label"].toString(), check_flash_image(file, diff_path).label);

    const Run apply = vqimage({"apply", old_path, diff_path, "-o", result_path});
    QVERIFY2(apply.code == 0, qPrintable(apply.err));
    QCOMPARE(contents(result_path).left(stamped.size()), image_as_programmed(stamped));
    QVERIFY(apply.out.contains("Check blcok flash CRC pass"));

    const Run bin_info = vqimage({"info", new_path});
    QCOMPARE(bin_info.code, 0);
    QVERIFY(bin_info.out.contains("info block: valid"));
    QVERIFY(bin_info.out.contains("label: " + check_flash_image(stamped, new_path).label));
}

void VqimageTest::cli_info_refuses()
{
    QTemporaryDir dir;
    QByteArray stale = with_info_block(random_bytes(1000, 23));
    stale[999] = char(stale[999] ^ 1);
    const QByteArray data = random_bytes(100, 24);
    QByteArray spoilt = diff_of(record(0, data, boot_crc32(data)), 1, 0, 0);
    spoilt[50] = char(spoilt[50] ^ 1);
    const struct {
        const char* name;
        QByteArray bytes;
        const char* refusal;
        QStringList options = {};
        const char* absent = "\x01";  // a text the output must not hold
    } cases[] = {
        {"stale.bin", stale, "stamp it again"},
        {"empty.bin", QByteArray(), "the image is empty"},
        {"spoilt.diff", spoilt, "Illegal document"},
        {"none.diff", diff_of(record(0, data, 0), 0, 0, 0), "There are not any block to update..."},
        {"short.diff", QByteArray(10, '\0'), "shorter than its 32-byte header"},
        {"hollow.diff", diff_of(record(0, QByteArray(), 0), 1, 0, 0), "the record holds no data"},
        {"wrong-crc.diff", diff_of(record(0, data, 0x12345678), 1, 0, 0), "record 1 of 1 (file offset 32"},
        {"too-far.diff", diff_of(record(0x1000, data, boot_crc32(data)), 1, 0, 0), "past the end of the 4096-byte",
         {"--flash-size", "4096"}},
        {"big.bin", data, "the flash holds 64", {"--flash-size", "64"}},
        {"lying.diff", diff_claiming(record(0, data, boot_crc32(data)), 0xFFFFFFF0u), "dblk_lenght says", {},
         "Len = -16"},
    };
    for (const auto& c : cases) {
        const Run r = vqimage(QStringList{"info", put(dir, c.name, c.bytes)} + c.options);
        QVERIFY2(r.code == 1, c.name);
        QVERIFY2(r.out.contains(QString("verdict: refused: ")) && r.out.contains(c.refusal), qPrintable(r.out));
        QVERIFY2(!r.out.contains(c.absent), qPrintable(r.out));
    }
    // A .diff named otherwise is a plain image to the tool.
    const Run r = vqimage({"info", put(dir, "update.DIFF", diff_of(record(0, data, boot_crc32(data)), 1, 0, 0))});
    QCOMPARE(r.code, 0);
    QVERIFY(r.out.contains("kind: plain image"));
}

void VqimageTest::cli_bad_input_data()
{
    QTest::addColumn<QStringList>("args");  // OLD, NEW, DIFF, DIR, EMPTY, TRUNC, OUT stand for paths
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");
    QTest::newRow("no command") << QStringList() << 2 << "usage: vqimage diff";
    QTest::newRow("unknown command") << QStringList{"make"} << 2 << "usage: vqimage info";
    QTest::newRow("unknown option") << QStringList{"diff", "OLD", "NEW", "-o", "OUT.diff", "--fast"} << 2
                                    << "usage: vqimage diff";
    QTest::newRow("missing output") << QStringList{"diff", "OLD", "NEW"} << 2 << "-o UPDATE.diff is required";
    QTest::newRow("output not .diff") << QStringList{"diff", "OLD", "NEW", "-o", "OUT.bin"} << 2 << "*.diff";
    QTest::newRow("bad align") << QStringList{"diff", "OLD", "NEW", "-o", "OUT.diff", "--align", "0"} << 2
                               << "--align";
    QTest::newRow("bad index") << QStringList{"diff", "OLD", "NEW", "-o", "OUT.diff", "--index", "x12"} << 2
                               << "--index";
    QTest::newRow("missing file") << QStringList{"diff", "OLD", "GONE", "-o", "OUT.diff"} << 1 << "no such file";
    QTest::newRow("empty file") << QStringList{"diff", "EMPTY", "NEW", "-o", "OUT.diff"} << 1 << "the file is empty";
    QTest::newRow("a directory") << QStringList{"diff", "OLD", "DIR", "-o", "OUT.diff"} << 1 << "is a directory";
    QTest::newRow("identical") << QStringList{"diff", "OLD", "OLD", "-o", "OUT.diff"} << 1 << "identical";
    QTest::newRow("unwritable output") << QStringList{"diff", "OLD", "NEW", "-o", "DIR/no/such/OUT.diff"} << 1
                                       << "cannot write";
    QTest::newRow("diff of a .diff") << QStringList{"diff", "OLD", "DIFF", "-o", "OUT.diff"} << 1
                                     << "diff takes plain images";
    QTest::newRow("stamp a .diff") << QStringList{"stamp", "DIFF"} << 1 << "not *.diff";
    QTest::newRow("truncated diff") << QStringList{"apply", "OLD", "TRUNC", "-o", "OUT"} << 1 << "Illegal";
    QTest::newRow("apply to an empty flash") << QStringList{"apply", "EMPTY", "DIFF", "-o", "OUT"} << 1 << "empty";
    QTest::newRow("apply a plain name") << QStringList{"apply", "OLD", "NEW", "-o", "OUT"} << 1 << "not named *.diff";
    QTest::newRow("apply to another flash") << QStringList{"apply", "OTHER", "DIFF", "-o", "OUT"} << 1
                                            << "not made for this flash";
    QTest::newRow("apply, unwritable output") << QStringList{"apply", "OLD", "DIFF", "-o", "DIR"} << 1
                                              << "cannot write";
    QTest::newRow("stamp too short") << QStringList{"stamp", "TINY", "-o", "OUT"} << 1 << "at least 384 bytes";
    QTest::newRow("stamp a directory") << QStringList{"stamp", "DIR", "-o", "OUT"} << 1 << "is a directory";
    QTest::newRow("info two files") << QStringList{"info", "OLD", "NEW"} << 2 << "usage: vqimage info";
    QTest::newRow("info missing") << QStringList{"info", "GONE"} << 1 << "no such file";
}

void VqimageTest::cli_bad_input()
{
    QFETCH(QStringList, args);
    QFETCH(int, code);
    QFETCH(QString, message);
    QTemporaryDir dir;
    const QByteArray old_image = random_bytes(9000, 31);
    QByteArray new_image = old_image;
    new_image[100] = char(new_image[100] ^ 1);
    const QByteArray diff = build_diff(old_image, new_image, {}).file;
    QVERIFY(dir.path().size() > 0 && QDir(dir.path()).mkdir("dir"));
    const QMap<QString, QString> paths = {
        {"OLD", put(dir, "old.bin", old_image)},
        {"NEW", put(dir, "new.bin", new_image)},
        {"OTHER", put(dir, "other.bin", random_bytes(9000, 32))},
        {"DIFF", put(dir, "update.diff", diff)},
        {"TRUNC", put(dir, "truncated.diff", diff.left(diff.size() - 5))},
        {"EMPTY", put(dir, "empty.bin", QByteArray())},
        {"TINY", put(dir, "tiny.bin", QByteArray(383, 'x'))},
        {"GONE", dir.filePath("gone.bin")},
        {"DIR", dir.filePath("dir")},
    };
    QStringList resolved;
    for (QString a : args) {
        for (auto it = paths.begin(); it != paths.end(); ++it) {
            if (a == it.key() || a.startsWith(it.key() + "/"))
                a = it.value() + a.mid(it.key().size());
        }
        if (a.startsWith("OUT"))
            a = dir.filePath(a);
        resolved << a;
    }
    const QStringList before = QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    const Run r = vqimage(resolved);
    QCOMPARE(r.code, code);
    QVERIFY2(r.err.contains(message), qPrintable(r.err));
    QVERIFY(r.out.isEmpty() || code != 2);
    // No output and no temporary file left behind.
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), before);
    QVERIFY(QDir(dir.filePath("dir")).isEmpty());
}

void VqimageTest::cli_stamp_in_place()
{
    QTemporaryDir dir;
    const QByteArray image = random_bytes(4000, 41);
    const QString path = put(dir, "image.bin", image);
    const QString copy = dir.filePath("stamped.bin");
    QCOMPARE(vqimage({"stamp", path, "-o", copy}).code, 0);
    QCOMPARE(contents(path), image);  // -o leaves the input alone
    QCOMPARE(vqimage({"stamp", path}).code, 0);
    QCOMPARE(contents(path), contents(copy));
    QCOMPARE(contents(path), with_info_block(image));
}

void VqimageTest::cli_output_targets_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");
    QTest::newRow("a FIFO") << "fifo" << 1 << "it is a FIFO, not a regular file; nothing written";
    QTest::newRow("a device node") << "device" << 1 << "it is a character device, not a regular file";
    QTest::newRow("a link to a regular file") << "link" << 0 << "";
    QTest::newRow("a file-size limit") << "limit" << 1 << "file too large; the old";
    QTest::newRow("a full disk") << "full" << 1 << "no space left on the device; the old";
}

void VqimageTest::cli_output_targets()
{
    QFETCH(QString, target);
    QFETCH(int, code);
    QFETCH(QString, message);
    QTemporaryDir dir;
    const QString image = put(dir, "image.bin", random_bytes(20000, 51));
    const QByteArray old_bytes("the old file");
    QString out = put(dir, "out.bin", old_bytes);
    QString program = QStringLiteral(VQIMAGE_PATH);
    QStringList args{"stamp", image, "-o", out};
    struct Unmount {
        QString path;
        ~Unmount() { if (!path.isEmpty()) ::umount(QFile::encodeName(path).constData()); }
    } unmount;

    if (target == "fifo") {
        out = dir.filePath("fifo.bin");
        QVERIFY(::mkfifo(QFile::encodeName(out).constData(), 0600) == 0);
    } else if (target == "device") {
        // Only root could replace it; a regression must then not cost the machine its /dev/null.
        if (::geteuid() != 0)
            QSKIP("a device node is only at risk for root");
        out = "/dev/null";
    } else if (target == "link") {
        QVERIFY(QFile::link(out, dir.filePath("link.bin")));
        out = dir.filePath("link.bin");
    } else if (target == "limit") {
        program = "bash";
        args = QStringList{"-c", "ulimit -f 8 && exec \"$0\" \"$@\"", QStringLiteral(VQIMAGE_PATH)} + args;
    } else if (target == "full") {
        const QString mount_point = dir.filePath("small");
        QVERIFY(QDir(dir.path()).mkdir("small"));
        if (::mount("tmpfs", QFile::encodeName(mount_point).constData(), "tmpfs", 0, "size=16k") != 0)
            QSKIP("mounting a small filesystem is not permitted here");
        unmount.path = mount_point;
        out = mount_point + "/out.bin";
        QFile f(out);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(old_bytes) == old_bytes.size());
    }
    args[args.indexOf("-o") + 1] = out;
    struct stat before;
    QCOMPARE(::stat(QFile::encodeName(out).constData(), &before), 0);

    QProcess p;
    p.start(program, args);
    QVERIFY(p.waitForFinished(60000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    const QString err = QString::fromUtf8(p.readAllStandardError());
    QCOMPARE(p.exitCode(), code);
    QVERIFY2(code == 0 ? err.isEmpty() : err.contains(message) && err.contains(out), qPrintable(err));

    struct stat after;
    QCOMPARE(::stat(QFile::encodeName(out).constData(), &after), 0);
    QCOMPARE(after.st_mode & S_IFMT, before.st_mode & S_IFMT);
    if (target == "link") {
        QVERIFY(QFileInfo(out).isSymLink());
        QCOMPARE(contents(out), with_info_block(contents(image)));
    } else if (S_ISREG(before.st_mode)) {
        QCOMPARE(contents(out), old_bytes);
        QCOMPARE(QDir(QFileInfo(out).path()).entryList(QDir::Files | QDir::Hidden).size(),
                 target == "full" ? 1 : 2);  // no temporary file left
    }
}

void VqimageTest::replacement_keeps_the_mode_data()
{
    QTest::addColumn<int>("old_mode");  // -1: no file yet
    QTest::addColumn<int>("umask");
    QTest::addColumn<int>("mode");
    QTest::newRow("a file of 0640") << 0640 << 022 << 0640;
    QTest::newRow("a new file, umask 027") << -1 << 027 << 0640;
}

void VqimageTest::replacement_keeps_the_mode()
{
    QFETCH(int, old_mode);
    QFETCH(int, umask);
    QFETCH(int, mode);
    QTemporaryDir dir;
    const QString path = dir.filePath("out.bin");
    if (old_mode >= 0)
        QCOMPARE(::chmod(QFile::encodeName(put(dir, "out.bin", "old")).constData(), mode_t(old_mode)), 0);
    const mode_t saved = ::umask(mode_t(umask));
    QString why;
    const bool ok = replace_file(path, "new", &why);
    ::umask(saved);
    QVERIFY2(ok, qPrintable(why));
    struct stat st;
    QCOMPARE(::stat(QFile::encodeName(path).constData(), &st), 0);
    QCOMPARE(int(st.st_mode & 07777), mode);
    QCOMPARE(contents(path), QByteArray("new"));
}

void VqimageTest::cli_refuses_huge_files()
{
    QTemporaryDir dir;
    const QString small = put(dir, "small.bin", random_bytes(1000, 61));
    const QString huge = dir.filePath("huge.bin");
    {
        QFile f(huge);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.resize(qint64(4) << 30));  // sparse: no disk, 4 GiB of size
    }
    const QList<QStringList> runs = {{"info", huge}, {"stamp", huge, "-o", dir.filePath("out.bin")},
                                     {"diff", small, huge, "-o", dir.filePath("out.diff")}};
    for (const QStringList& args : runs) {
        const Run r = vqimage(args);
        QCOMPARE(r.code, 1);
        QVERIFY2(r.err.contains(huge + ": 4294967296 bytes, larger than the largest flash"), qPrintable(r.err));
    }
    // Refused from its size: reading it first would cost a gigabyte.
    struct rusage children {};
    QCOMPARE(::getrusage(RUSAGE_CHILDREN, &children), 0);
    qInfo("peak resident memory of a vqimage run so far: %ld MiB", children.ru_maxrss / 1024);
    QVERIFY(children.ru_maxrss < 256 * 1024);
}

QTEST_GUILESS_MAIN(VqimageTest)
#include "test_vqimage.moc"
