// The window's operation_ended signal, as a front end sees it: every button's
// operation started against the simulated boot loader,
// once ending well and once not, reports exactly once, with its named code,
// after every line it logs (its verdict among them).

#include <QtTest>

#include "flash_fixtures.h"
#include "mcu/mcu_frames.h"
#include "mcu/mcu_plan.h"

using namespace flash_fixtures;

namespace {

QByteArray mcu_image()
{
    QByteArray b = pattern(4100, 11);
    sim_wire::set_u32(b, 4, kInternalFlashBase);
    return b;
}

struct Ended {
    Operation operation;
    int result;
    int lines_before;  // log lines the operation had written when it reported
};

}  // namespace

class OperationsTest : public QObject {
    Q_OBJECT

private slots:
    void ends_once_after_its_lines_data();
    void ends_once_after_its_lines();
};

void OperationsTest::ends_once_after_its_lines_data()
{
    QTest::addColumn<Operation>("operation");
    QTest::addColumn<QString>("fault");     // what the session lacks or the device does wrong
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("verdict");   // the start of a line logged before the signal
    QTest::addColumn<QStringList>("boxes");

    using namespace operation_result;
    const QStringList none;
    QTest::newRow("open") << Operation::OpenPort << "" << int(kOk) << "Reconnected with the new baud rate..." << none;
    QTest::newRow("open, silent chip") << Operation::OpenPort << "silent K" << int(kNoChip) << "" << QStringList{"Time over!"};
    QTest::newRow("open, no such port") << Operation::OpenPort << "no port" << int(kOpenFailed) << "" << QStringList{"Open fail"};
    QTest::newRow("close") << Operation::ClosePort << "" << int(kOk) << "" << none;
    QTest::newRow("bootmode 1") << Operation::BootMode1 << "" << int(kOk) << "" << none;
    QTest::newRow("bootmode 1, no such port") << Operation::BootMode1 << "no port" << int(kOpenFailed) << "" << QStringList{"Open fail"};
    QTest::newRow("bootmode 2") << Operation::BootMode2 << "" << int(kOk) << "" << none;
    QTest::newRow("bootmode 2, no such port") << Operation::BootMode2 << "no port" << int(kOpenFailed) << "" << QStringList{"Open fail"};
    QTest::newRow("input mcu") << Operation::InputMcuImage << "" << int(kOk) << "enter_Addr:0x08008000" << none;
    QTest::newRow("input mcu, missing") << Operation::InputMcuImage << "missing file" << int(kReadFailed) << ""
                                        << QStringList{"Read fail,please check the path!"};
    QTest::newRow("update mcu") << Operation::UpdateMcu << "" << int(mcu_update_result::kOk) << "Update MCU is OK!!!!!!" << none;
    QTest::newRow("update mcu, wrong crc") << Operation::UpdateMcu << "wrong crc N" << int(mcu_update_result::kCrcFailed)
                                           << "Update MCU is fail....." << none;
    QTest::newRow("check mcu") << Operation::CheckMcu << "" << int(mcu_crc_result::kOk) << "Check MCU CRC is OK..." << none;
    QTest::newRow("check mcu, other code") << Operation::CheckMcu << "other code" << int(mcu_crc_result::kMismatch)
                                           << "Check MCU CRC is NG..." << none;
    QTest::newRow("input flash") << Operation::InputFlashImage << "" << int(kOk) << "" << none;
    QTest::newRow("input flash, spoilt diff") << Operation::InputFlashImage << "spoilt diff" << int(kImageRejected) << ""
                                              << QStringList{"Illegal document"};
    QTest::newRow("update flash") << Operation::UpdateFlash << "" << int(flash_update_result::kOk)
                                  << "Update flash is OK!!!!!!" << none;
    QTest::newRow("update flash, refused block") << Operation::UpdateFlash << "refuse l" << int(flash_update_result::kBlockRefused)
                                                 << "Update flash is fail....." << none;
    QTest::newRow("flash info") << Operation::FlashInfo << "" << int(flash_id_result::kOk) << "" << none;
    QTest::newRow("flash info, unlisted") << Operation::FlashInfo << "unlisted" << int(flash_id_result::kNotCatalogued) << "" << none;
    QTest::newRow("check flash") << Operation::CheckFlash << "" << int(flash_crc_result::kOk) << "Check flash CRC pass." << none;
    QTest::newRow("check flash, other code") << Operation::CheckFlash << "other code" << int(flash_crc_result::kMismatch)
                                             << "Check flash CRC fail" << none;
    QTest::newRow("run") << Operation::RunApp << "" << int(kOk) << "" << none;
    QTest::newRow("run, closed") << Operation::RunApp << "closed" << int(kPortClosed) << "" << QStringList{"Please open the port!"};
}

void OperationsTest::ends_once_after_its_lines()
{
    QFETCH(Operation, operation);
    QFETCH(QString, fault);
    QFETCH(int, result);
    QFETCH(QString, verdict);
    QFETCH(QStringList, boxes);

    FlashSession s(fault == "unlisted" ? chip(kVq4410, kUnlisted, kUnlisted) : chip(kVq4410));
    QVERIFY(s.start());
    MainWindowTestAccess& a = s.a();
    const QByteArray mcu = mcu_image();
    const QByteArray flash = pattern(5000, 1);
    const QString flash_path =
        fault == "spoilt diff" ? s.write("image.diff", diff_file(pattern(100), 100, true)) : s.write("flash.bin", flash);
    a.edit("lineEdit_MCU")->setText(fault == "missing file" ? s.work_dir.filePath("none.bin") : s.write("mcu.bin", mcu));
    a.edit("lineEdit_Flash")->setText(flash_path);
    s.sim.with_device([&](SimDevice& d) {
        if (fault != "other code") {
            d.internal_flash().replace(0, mcu.size(), mcu);
            d.external_flash().write(0, flash);
        }
        if (fault == "silent K")
            d.set_silent('K', SimDevice::kAlways);
        else if (fault == "wrong crc N")
            d.set_wrong_crc('N');
        else if (fault == "refuse l")
            d.set_status('l', sim_status::kBadCrc);
        return 0;
    });
    if (operation == Operation::CheckMcu)
        a.start(Operation::InputMcuImage);
    if (operation == Operation::CheckFlash)
        a.start(Operation::InputFlashImage);
    const bool needs_session = operation != Operation::OpenPort && operation != Operation::BootMode1 &&
                               operation != Operation::BootMode2 && operation != Operation::InputMcuImage &&
                               operation != Operation::InputFlashImage;
    if (needs_session && fault != "closed")
        s.open_identified();
    if (fault == "no port")
        a.set_port(s.work_dir.filePath("no-such-port"));
    s.dialogs.shown.clear();

    QStringList lines;
    QVector<Ended> ended;
    QObject listener;  // goes before the lists: the window logs again as it closes
    QObject::connect(s.window.get(), &MainWindow::logged, &listener, [&](const QString& line) { lines << line; });
    QObject::connect(s.window.get(), &MainWindow::operation_ended, &listener,
                     [&](Operation op, int code) { ended.append({op, code, int(lines.size())}); });
    a.start(operation);

    QCOMPARE(ended.size(), 1);
    QCOMPARE(ended[0].operation, operation);
    QCOMPARE(ended[0].result, result);
    QCOMPARE(ended[0].lines_before, lines.size());
    if (!verdict.isEmpty())
        QVERIFY2(!lines.filter(QRegularExpression("^" + QRegularExpression::escape(verdict))).isEmpty(),
                 qPrintable(lines.join('\n')));
    QStringList shown;
    for (const ShownBox& b : s.dialogs.shown)
        shown << b.text;
    QCOMPARE(shown, boxes);
}

QTEST_MAIN(OperationsTest)
#include "test_operations.moc"
