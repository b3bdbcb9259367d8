// vqimage's images programmed for real: a .diff built by the program and
// written with Update Flash through the simulator turns its flash from OLD
// into NEW with every record's CRC check passing, and a stamped image passes
// Update Flash and Check Flash CRC against its FlashCRC. The expectations
// come from the simulator's own CRC and from the bytes, not from the tool.

#include <QProcess>
#include <QtTest>

#include "flash_fixtures.h"

using namespace flash_fixtures;

namespace {

const QString kOk = "Update flash is OK!!!!!!";
const QString kDiffOk = "Diff Update flash is OK!!!!!!";
constexpr int kInfoAt = 372;
constexpr int kInfoLen = 12;

bool run_vqimage(const QStringList& args)
{
    QProcess p;
    p.start(QStringLiteral(VQIMAGE_PATH), args);
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        qWarning("vqimage %s: %s", qPrintable(args.join(' ')), p.readAllStandardError().constData());
        return false;
    }
    return true;
}

QByteArray read_back(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

uint32_t be32_at(const QByteArray& b, int at)
{
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v = (v << 8) | uint8_t(b[at + i]);
    return v;
}

// What Update Flash leaves in the flash for a plain image: a valid info
// block (length word = file length, CRC word = complement of the next) as 0xFF.
QByteArray programmed(QByteArray image)
{
    if (image.size() >= kInfoAt + kInfoLen && sim_wire::u32(image, kInfoAt) == uint32_t(image.size()) &&
        sim_wire::u32(image, kInfoAt + 4) == ~sim_wire::u32(image, kInfoAt + 8))
        image.replace(kInfoAt, kInfoLen, QByteArray(kInfoLen, '\xFF'));
    return image;
}

QByteArray with_changes(QByteArray b, std::initializer_list<int> at)
{
    for (int i : at)
        b[i] = char(b[i] ^ 0xA5);
    return b;
}

}  // namespace

class VqimageE2eTest : public QObject {
    Q_OBJECT

private slots:
    void diff_turns_old_into_new_data();
    void diff_turns_old_into_new();
    void stamp_update_and_check();
};

void VqimageE2eTest::diff_turns_old_into_new_data()
{
    QTest::addColumn<QByteArray>("old_image");
    QTest::addColumn<QByteArray>("new_image");
    QTest::addColumn<bool>("stamp_new");
    QTest::addColumn<QString>("align");
    const QByteArray base = pattern(24000, 3);
    QTest::newRow("scattered, whole blocks") << base << with_changes(base, {100, 9000, 20000}) << false << "4096";
    QTest::newRow("last byte, tail at the end") << base << with_changes(base, {23999}) << false << "1";
    QTest::newRow("across a block boundary") << base << with_changes(base, {6143, 6144}) << false << "1";
    QTest::newRow("new longer") << base << with_changes(base, {5}) + pattern(3001, 4) << false << "4096";
    QTest::newRow("new shorter") << base << with_changes(base, {15000}).left(17001) << false << "4096";
    QTest::newRow("info block in new") << base << with_changes(base, {12345}) << true << "4096";
}

void VqimageE2eTest::diff_turns_old_into_new()
{
    QFETCH(QByteArray, old_image);
    QFETCH(QByteArray, new_image);
    QFETCH(bool, stamp_new);
    QFETCH(QString, align);
    FlashSession s(chip(kVq4410));
    QVERIFY(s.start());
    const QString old_path = s.write("old.bin", old_image);
    const QString new_path = s.write("new.bin", new_image);
    if (stamp_new) {
        QVERIFY(run_vqimage({"stamp", new_path}));
        new_image = read_back(new_path);
    }
    const QString diff_path = s.work_dir.filePath("update.diff");
    QVERIFY(run_vqimage({"diff", old_path, new_path, "-o", diff_path, "--align", align}));
    const QByteArray diff = read_back(diff_path);
    const uint32_t records = be32_at(diff, 12);
    QVERIFY(records > 0);

    // The flash holds OLD, and behind it something no image vouches for.
    s.put_in_flash(0, old_image + pattern(8192, 5));
    s.load(diff_path);
    s.open_identified();
    s.click("pushButton_UpdateFlash");
    const QStringList log = s.a().log();
    QCOMPARE(log.last(), kDiffOk);
    QCOMPARE(log.filter("Check blcok flash CRC pass: ").size(), int(records));
    QCOMPARE(s.frames('n').size(), int(records));

    const QByteArray expected = programmed(new_image);
    QCOMPARE(s.flash(0, new_image.size()), expected);
    // What the header promises the flash now shows.
    QCOMPARE(sim_wire::crc32(s.flash(0, new_image.size())), be32_at(diff, 24));
    VERIFY_BOXES(s.dialogs);
}

void VqimageE2eTest::stamp_update_and_check()
{
    FlashSession s(chip(kVq4410));
    QVERIFY(s.start());
    const QByteArray image = pattern(20000, 8);
    const QString path = s.write("image.bin", image);
    QVERIFY(run_vqimage({"stamp", path}));
    const QByteArray stamped = read_back(path);
    const uint32_t flash_crc = crc(programmed(stamped));
    QCOMPARE(stamped.left(kInfoAt), image.left(kInfoAt));
    QCOMPARE(sim_wire::u32(stamped, kInfoAt + 4), flash_crc);

    s.load(path);
    QCOMPARE(s.a().label("label_FlashCRC"), QString("Flash code, FileCRC = %1  FlashCRC = %2  Len = 20000")
                                                .arg(hex32(crc(stamped)), hex32(flash_crc)));
    s.open_identified();
    s.click("pushButton_UpdateFlash");
    QCOMPARE(s.a().log().last(), kOk);
    QCOMPARE(s.flash(0, stamped.size()), programmed(stamped));

    s.a().clear_log();
    s.click("pushButton_CheckFlash");
    const QStringList log = without_timers(s.a().log());
    QVERIFY(log.contains("Read crc value: " + hex32(flash_crc)));
    QCOMPARE(log.last(), QString("Check flash CRC pass."));
    VERIFY_BOXES(s.dialogs);
}

QTEST_MAIN(VqimageE2eTest)
#include "test_vqimage_e2e.moc"
