// The window's own side of its updates, on the simulated boot loader: Write
// only changed blocks (kept per user), and a .diff refused before anything is sent.

#include <QtTest>

#include "fake_port_map.h"
#include "flash_fixtures.h"

using namespace flash_fixtures;

class DeskWindowTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(config_home_.isValid());
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config_home_.path()));
    }
    void changed_blocks_only();
    void diff_records_written_over_refused();

private:
    QTemporaryDir config_home_;
};

void DeskWindowTest::changed_blocks_only()
{
    const QByteArray image = pattern(3 * 2048 + 100);
    {
        FlashSession s(chip(kVq4410));
        QVERIFY(s.start());
        s.load_image("image.bin", image);
        s.open_identified();
        auto* box = s.a().widget<QCheckBox>("checkBox_SkipUnchanged");
        QVERIFY(!box->isChecked());
        s.click("pushButton_UpdateFlash");
        QCOMPARE(s.frames('l').size(), 4);
        QVERIFY(s.a().log().filter("Blocks that differ").isEmpty());

        QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(6, box->height() / 2));
        s.clear_records();
        s.click("pushButton_UpdateFlash");
        QVERIFY(s.a().log().contains("Blocks that differ: 0 of 4, 0 bytes to write"));
        QCOMPARE(s.a().last_log(), QString("Update flash is OK!!!!!!"));
        QVERIFY(s.frames('l').isEmpty());
        QCOMPARE(s.flash(0, image.size()), image);
        QVERIFY(s.close_window_writes_config());  // its six lines, nothing added
        VERIFY_BOXES(s.dialogs);
    }
    MainWindow again(nullptr, std::make_unique<FakePortMap>(std::make_shared<FakePortMap::Shared>()));
    again.set_config_written_at_exit(false);
    QVERIFY(MainWindowTestAccess(again).widget<QCheckBox>("checkBox_SkipUnchanged")->isChecked());
}

void DeskWindowTest::diff_records_written_over_refused()
{
    // Record 2's 0xFF padding runs over record 1 (1024..1123) after record 1's check.
    FlashSession s(chip(kVq4410));
    QVERIFY(s.start());
    const QByteArray one = pattern(100, 1);
    const QByteArray two = pattern(100, 2);
    const QByteArray blocks = diff_record(1024, one, crc(one)) + diff_record(0, two, crc(two));
    s.load_image("update.diff", diff_file(blocks, uint32_t(blocks.size())));
    s.open_identified();
    s.clear_records();
    s.click("pushButton_UpdateFlash");
    const QStringList log = s.a().log();
    QVERIFY2(log[0].startsWith("Illegal document: record 1 of 2 (file offset 32, address 0x00000400): the writes "
                               "of record 2 "),
             qPrintable(log[0]));
    QCOMPARE(log.mid(1), QStringList({"", "Diff Update flash is fail....."}));
    QVERIFY(s.sim.with_device([](SimDevice& d) { return d.frames().isEmpty(); }));
    VERIFY_BOXES(s.dialogs);
}

QTEST_MAIN(DeskWindowTest)
#include "test_desk_window.moc"
