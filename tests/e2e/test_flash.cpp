// The external flash end to end: Flash Info against Flash.ini, the flash
// image taken from a file, and Check Flash CRC, on the session through a
// real pty to the simulated boot loader; a few cases are the
// window's own (a closed port, the file choice, Exit).

#include <QtTest>
#include <sys/resource.h>

#include "flash_fixtures.h"

using namespace flash_fixtures;

class FlashTest : public QObject {
    Q_OBJECT

private slots:
    void flash_info_data();
    void flash_info();
    void flash_info_port_closed();
    void flash_info_wrong_reply();
    void reserved_area_data();
    void reserved_area();

    void input_bin_info_block_data();
    void input_bin_info_block();
    void input_diff_header_lines();
    void input_diff_refused_data();
    void input_diff_refused();
    void input_file_names_the_image_data();
    void input_file_names_the_image();
    void input_unreadable_file();

    void check_passes_after_progress();
    void check_accepts_info_crc_and_file_crc_data();
    void check_accepts_info_crc_and_file_crc();
    void check_status_2();
    void check_mismatch_formats_data();
    void check_mismatch_formats();
    void check_flash_modes_data();
    void check_flash_modes();
    void check_refusals_data();
    void check_refusals();
    void check_budget_runs_out();
    void check_removal_during_wait();
    void exit_during_wait_data();
    void exit_during_wait();
};

void FlashTest::flash_info_data()
{
    QTest::addColumn<uint>("id0");  // of the first and the second get-flash-ID variant
    QTest::addColumn<uint>("id1");
    QTest::addColumn<QByteArray>("catalogue");  // "-": no Flash.ini
    QTest::addColumn<QStringList>("fields");
    QTest::addColumn<int>("asks");     // the second only follows a failure
    QTest::addColumn<QString>("why");  // the one line after it; "PATH" is Flash.ini's path
    const QByteArray listed(kCatalogue);
    const QStringList w16m{"0xef4018", "16777216", "W16M"};
    QTest::newRow("catalogued") << uint(kId16M) << uint(kId16M) << listed << w16m << 1 << "";
    QTest::newRow("second variant catalogued") << uint(kUnlisted) << uint(kId16M) << listed << w16m << 2 << "";
    const QStringList unknown{"0xabcdef", "0", ""};
    QTest::newRow("neither catalogued") << uint(kUnlisted) << 0x00ABCDEFu << listed << unknown << 2
                                        << "Flash.ini: flash ID 0xabcdef is not listed in PATH";
    QTest::newRow("no Flash.ini") << uint(kId16M) << uint(kId16M) << QByteArray("-")
                                  << QStringList({"0xef4018", "0", ""}) << 2 << "Flash.ini: cannot read PATH";
    QTest::newRow("no valid line") << 0x00ABCDEFu << 0x00ABCDEFu
                                   << QByteArray("[FLASH]\r\n; W16M 16 MiB\r\n0x00EF4018,16M\r\n")
                                   << unknown << 2 << "Flash.ini: no valid flash line in PATH";
    QTest::newRow("listed alone") << 0x00ABCDEFu << 0x00ABCDEFu << QByteArray("0x00ABCDEF,1024,16384,SIM16M,\n")
                                  << QStringList({"0xabcdef", "16777216", "SIM16M"}) << 1 << "";
}

void FlashTest::flash_info()
{
    QFETCH(uint, id0);
    QFETCH(uint, id1);
    QFETCH(QByteArray, catalogue);
    QFETCH(QStringList, fields);
    QFETCH(int, asks);
    QFETCH(QString, why);
    FlashRig s(chip(kVq4410, id0, id1), false);
    if (catalogue != "-")
        s.write("Flash.ini", catalogue);
    QVERIFY(s.start());
    QVERIFY(s.open_identified());
    s.leave_partial_reply(30);  // part of a reply left over: Flash Info starts its gathering afresh
    s.flash_info();
    QCOMPARE(s.sink.flash, fields);
    QCOMPARE(s.session.chip().flash_id, fields[0].toUInt(nullptr, 16));
    QCOMPARE(s.session.chip().flash_size, fields[1].toInt());
    const QVector<SimFrame> frames = s.frames('m');
    QCOMPARE(frames.size(), asks);
    QCOMPARE(frames[0].raw, QByteArray::fromHex("6d0100") + QByteArray(61, '\0'));
    if (asks == 2)
        QCOMPARE(frames[1].raw.left(3), QByteArray::fromHex("6d0101"));
    why.replace("PATH", QDir(s.work_dir.path()).filePath("Flash.ini"));
    QCOMPARE(without_timers(s.sink.log), why.isEmpty() ? QStringList() : QStringList{why});
    VERIFY_BOXES(s.sink);
}

void FlashTest::flash_info_port_closed()
{
    FlashSession s(chip(kVq4410));
    QVERIFY(s.start());
    // As after the open port's device went away during a check.
    s.a().button("pushButton_FlashInfo")->setEnabled(true);
    s.a().edit("lineEdit_FlashID")->setText("keep");
    s.dialogs.expect_error("Please open the port!");
    s.dialogs.expect_error("Please open the port!");
    s.click("pushButton_FlashInfo");
    QCOMPARE(s.a().edit("lineEdit_FlashID")->text(), QString("keep"));
    QVERIFY(s.a().button("pushButton_FlashInfo")->isEnabled());
    QVERIFY(s.frames('m').isEmpty());
    VERIFY_BOXES(s.dialogs);
}

void FlashTest::flash_info_wrong_reply()
{
    FlashRig s(chip(kVq4410));
    QVERIFY(s.start());
    QVERIFY(s.open_identified());
    s.sim.with_device([](SimDevice& d) { d.set_wrong_letter('m', 2, 0x41); return 0; });
    s.flash_info();
    const QStringList log = s.sink.log;
    QCOMPARE(log.size(), 4);
    for (int i : {0, 2}) {
        const QStringList bytes = log[i].split(' ', Qt::SkipEmptyParts);
        QCOMPARE(bytes.size(), 16);
        QCOMPARE(bytes[0], QString("41"));
        QCOMPARE(log[i + 1], QString("Get flash id,and return error command"));
    }
    QCOMPARE(s.sink.flash, QStringList({"0", "0", ""}));
    VERIFY_BOXES(s.sink);
}

void FlashTest::reserved_area_data()
{
    QTest::addColumn<uint>("chip_id");
    QTest::addColumn<uint>("flash_id");
    QTest::addColumn<QString>("size");
    QTest::newRow("VQ230, 16 MiB loses the reserved area") << uint(kVq230) << uint(kId16M) << "16252928";
    QTest::newRow("VQ350A, 16 MiB whole") << uint(kVq350A) << uint(kId16M) << "16777216";
    QTest::newRow("VQ230, 512 KiB whole") << uint(kVq230) << uint(kId512K) << "524288";
    QTest::newRow("VQ210 Uart0, 16 MiB") << uint(kVq210Uart0) << uint(kId16M) << "16252928";
}

void FlashTest::reserved_area()
{
    QFETCH(uint, chip_id);
    QFETCH(uint, flash_id);
    QFETCH(QString, size);
    FlashRig s(chip(chip_id, flash_id, flash_id));
    QVERIFY(s.start());
    QVERIFY(s.open_identified());
    s.flash_info();
    QCOMPARE(s.sink.flash.value(1), size);
    VERIFY_BOXES(s.sink);
}

void FlashTest::input_bin_info_block_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("has_info");
    QTest::newRow("valid") << "image.bin" << with_info(pattern(1000), 1000, 0xFEDC0123) << 1;
    QTest::newRow("length off by one") << "image.bin" << with_info(pattern(1000), 1001, 0xFEDC0123) << 0;
    QTest::newRow("exactly the block") << "image.bin" << with_info(pattern(384), 384, 0xFEDC0123) << 1;
    // A .diff only by its exact suffix: these are plain images.
    QTest::newRow("upper case .DIFF") << "update.DIFF" << diff_file(pattern(50), 50) << 0;
    QTest::newRow("further suffix") << "update.diff.bin" << diff_file(pattern(50), 50) << 0;
}

void FlashTest::input_bin_info_block()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, file);
    QFETCH(int, has_info);
    FlashRig s(chip(kVq4410));
    QVERIFY(s.start());
    s.load_image(name, file);
    const uint32_t file_crc = crc(file);
    QCOMPARE(s.session.images().flash_len, file.size());
    QCOMPARE(s.session.images().flash_crc, file_crc);
    QCOMPARE(s.in.flash_image_has_info(), has_info);
    if (has_info)
        QCOMPARE(s.in.flash_image_info_crc(), 0xFEDC0123u);
    const QString label = QString(has_info ? "Flash code, FileCRC = %1  FlashCRC = 0xFEDC0123  Len = %2"
                                           : "Flash code, FileCRC = %1  Len = %2")
                              .arg(hex32(file_crc))
                              .arg(file.size());
    QCOMPARE(s.sink.flash_label_text, label);
    QCOMPARE(s.sink.log, QStringList());
    VERIFY_BOXES(s.sink);
}

void FlashTest::input_diff_header_lines()
{
    FlashRig s(chip(kVq4410));
    QVERIFY(s.start());
    const QByteArray file = diff_file(QByteArray(), 0x12345);
    s.load_image("update.diff", file);
    QCOMPARE(s.sink.log, QStringList({
                              "file_diff_info.diff_index :0x00000102",
                              "file_diff_info.dblk_lenght:74565",
                              "file_diff_info.dblk_crc   :0x00000000",
                              "file_diff_info.dblk_number:0x00000001",
                              "file_diff_info.nFile_lenght:3145728",
                              "file_diff_info.nFile_crc  :0xCAFEF00D",
                              "file_diff_info.nFile_ui_crc:0x80000001",
                              "file_diff_info.diff_para_crc:" + hex32(crc(file.left(28))),
                              "par_tCRC:" + hex32(crc(file.left(28))),
                              "blk_tCRC:0x00000000",
                          }));
    QCOMPARE(s.sink.flash_label_text, QString("Flash code, FileCRC = 0x00000000  Len = 74565"));
    QCOMPARE(s.session.images().flash_len, 32);
    QCOMPARE(s.in.file_diff_info()[3], 1u);
    VERIFY_BOXES(s.sink);
}

void FlashTest::input_diff_refused_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QVector<uint>>("header");
    const QByteArray blocks = pattern(100);
    QTest::newRow("bad par_tCRC") << diff_file(blocks, 100, true, false)
                                  << QVector<uint>{0x102, 100, crc(blocks), 1, 0x300000, 0xCAFEF00D,
                                                   0x80000001, crc(diff_file(blocks, 100).left(28)) ^ 1u};
    QTest::newRow("bad blk_tCRC") << diff_file(blocks, 100, false, true) << QVector<uint>();
    // No whole header: what the file does not hold reads as 0.
    QTest::newRow("20 bytes") << be32(0xA1A2A3A4) + be32(7) + be32(9) + be32(11) + be32(13).left(4)
                              << QVector<uint>{0xA1A2A3A4, 7, 9, 11, 13, 0, 0, 0};
    QTest::newRow("empty") << QByteArray() << QVector<uint>{0, 0, 0, 0, 0, 0, 0, 0};
}

void FlashTest::input_diff_refused()
{
    QFETCH(QByteArray, file);
    QFETCH(QVector<uint>, header);
    FlashRig s(chip(kVq4410));
    QVERIFY(s.start());
    const QString before = s.sink.flash_label_text;
    s.sink.expect_error("Illegal document");
    s.load_image("broken.diff", file);
    QCOMPARE(s.sink.flash_label_text, before);
    QCOMPARE(s.session.images().flash_len, file.size());
    if (!header.isEmpty())
        QCOMPARE(s.in.file_diff_info(), header);
    QCOMPARE(s.sink.log.size(), 10);
    VERIFY_BOXES(s.sink);
}

void FlashTest::input_file_names_the_image_data()
{
    QTest::addColumn<bool>("mcu");
    QTest::newRow("MCU") << true;
    QTest::newRow("flash") << false;
}

// The file chosen is named in the window and is where the next choice
// starts; a cancelled choice changes nothing, an unreadable one is named.
void FlashTest::input_file_names_the_image()
{
    QFETCH(bool, mcu);
    const char* const button = mcu ? "pushButton_InputMCUCode" : "pushButton_InputFlashCode";
    const char* const edit = mcu ? "lineEdit_MCU" : "lineEdit_Flash";
    const char* const label_name = mcu ? "label_MCUCRC" : "label_FlashCRC";
    FlashSession s(chip(kVq4410));
    QVERIFY(s.start());
    const QString label = s.a().label(label_name);
    s.click(button);  // no answer: cancelled
    QCOMPARE(s.a().edit(edit)->text(), QString());
    QCOMPARE(mcu ? s.a().s().images().mcu_len : s.a().s().images().flash_len, 0);
    QCOMPARE(s.a().label(label_name), label);
    QCOMPARE(without_timers(s.a().log()), QStringList());
    const QString path = s.write("image.bin", pattern(500));
    s.dialogs.file_answers << path;
    s.click(button);
    const auto chosen = [&] { return mcu ? s.a().mcu_image_path() : s.a().flash_image_path(); };
    QCOMPARE(s.a().edit(edit)->text(), path);
    QCOMPARE(chosen(), path);
    const QString shown = s.a().label(label_name);
    QCOMPARE(shown, mcu ? "Mcu code, CRC = " + hex32(crc(pattern(500))) + " Len: 500"
                        : "Flash code, FileCRC = " + hex32(crc(pattern(500))) + "  Len = 500");
    s.click(button);  // cancelled: the choice stays
    QCOMPARE(chosen(), path);
    QCOMPARE(s.a().label(label_name), shown);
    const QString missing = s.work_dir.filePath("missing.bin");
    s.dialogs.expected.append({"critical", "Error", "Read fail,please check the path!"});
    s.dialogs.file_answers << missing;
    s.click(button);
    QCOMPARE(s.a().edit(edit)->text(), missing);
    QCOMPARE(chosen(), missing);
    QCOMPARE(s.a().label(label_name), shown);
    VERIFY_BOXES(s.dialogs);
}

void FlashTest::input_unreadable_file()
{
    FlashRig s(chip(kVq4410));
    QVERIFY(s.start());
    QCOMPARE(s.session.load_flash_image(s.write("image.bin", pattern(500))), 0);
    s.sink.expected.append({"critical", "Error", "Read fail,please check the path!"});
    s.session.load_flash_image(s.work_dir.filePath("gone.bin"));
    QCOMPARE(s.session.images().flash_len, 500);
    // Larger than any flash: refused from its size, not read.
    const QString huge = s.write("huge.bin", QByteArray());
    QVERIFY(QFile::resize(huge, qint64(4) << 30));
    s.sink.expected.append({"critical", "Error", "Read fail,please check the path!"});
    s.session.load_flash_image(huge);
    QCOMPARE(s.session.images().flash_len, 500);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    QVERIFY2(usage.ru_maxrss < 512 * 1024, qPrintable(QString::number(usage.ru_maxrss)));
    VERIFY_BOXES(s.sink);
}

void FlashTest::check_passes_after_progress()
{
    SimConfig c = chip(kVq4410);
    c.progress_reports = 3;
    c.final_status = '1';
    FlashRig s(c);
    QVERIFY(s.start());
    const QByteArray image = pattern(20000);
    s.put_in_flash(0, image);
    s.load_image("image.bin", image);
    QVERIFY(s.open_identified());
    s.session.check_flash(false);
    const QString image_crc = hex32(crc(image));
    QCOMPARE(without_timers(s.sink.log), QStringList({"Start to get flash crc... 0", "flashCode_Size: 20000",
                                                       "Crc Value: " + image_crc, "Read crc value: " + image_crc,
                                                       "Check flash CRC pass."}));
    QCOMPARE(s.sink.log.first().left(6), QString("Timer:"));
    QCOMPARE(s.sink.progress_value, 100);
    const QVector<SimFrame> asks = s.frames('n');
    QCOMPARE(asks.size(), 1);
    QByteArray expected = QByteArray::fromHex("6e") + QByteArray(4, '\0');
    expected.append(QByteArray(8, '\0'));
    sim_wire::set_u32(expected, 5, 20000);
    sim_wire::set_u32(expected, 9, crc(image));
    QCOMPARE(asks[0].raw.left(13), expected);
    QCOMPARE(sim_wire::u32(asks[0].raw, 13), crc(asks[0].raw, 13));
    QCOMPARE(asks[0].raw.mid(17), QByteArray(47, '\0'));
    QVERIFY(s.frames('o').isEmpty());
    QVERIFY(s.sink.actions);
    VERIFY_BOXES(s.sink);
}

void FlashTest::check_accepts_info_crc_and_file_crc_data()
{
    QTest::addColumn<bool>("file_crc_box");
    QTest::addColumn<bool>("flash_as_programmed");
    QTest::addColumn<bool>("sends_file_crc");
    QTest::newRow("info CRC sent, flash as programmed") << false << true << false;
    QTest::newRow("file CRC sent, flash as programmed") << true << true << true;
    QTest::newRow("info CRC sent, flash holds the file") << false << false << false;
}

void FlashTest::check_accepts_info_crc_and_file_crc()
{
    QFETCH(bool, file_crc_box);
    QFETCH(bool, flash_as_programmed);
    QFETCH(bool, sends_file_crc);
    FlashRig s(chip(kVq4410));
    QVERIFY(s.start());
    QByteArray programmed = pattern(3000);
    programmed.replace(372, 12, QByteArray(12, '\xFF'));
    const QByteArray image = with_info(pattern(3000), 3000, crc(programmed));
    s.put_in_flash(0, flash_as_programmed ? programmed : image);
    s.load_image("image.bin", image);
    QVERIFY(s.open_identified());
    s.session.check_flash(file_crc_box);
    const QStringList log = without_timers(s.sink.log);
    QCOMPARE(log.first(), QString("Start to get flash crc... 1"));
    QCOMPARE(log[2], "Crc Value: " + hex32(crc(sends_file_crc ? image : programmed)));
    QCOMPARE(log.last(), QString("Check flash CRC pass."));
    VERIFY_BOXES(s.sink);
}

void FlashTest::check_status_2()
{
    SimConfig c = chip(kVq4410);
    c.final_status = '2';
    FlashRig s(c);
    QVERIFY(s.start());
    const QByteArray image = pattern(5000);
    s.load_image("image.bin", image);
    QVERIFY(s.open_identified());

    // Whole image: status '2' is still compared, and a match passes.
    s.put_in_flash(0, image);
    s.session.check_flash(false);
    QCOMPARE(without_timers(s.sink.log).last(), QString("Check flash CRC pass."));

    // A mismatch with status '2'.
    s.sink.log.clear();
    s.put_in_flash(0, pattern(5000, 99));
    s.session.check_flash(false);
    const uint32_t flash_crc = crc(pattern(5000, 99));
    QCOMPARE(without_timers(s.sink.log).mid(3),
             QStringList({"Read crc value: " + hex32(flash_crc),
                          "Check flash CRC fail,return CRC Value: " + hex32(flash_crc)}));

    // Range and block checks give 2 at once, uncompared.
    s.sink.log.clear();
    QCOMPARE(s.in.check_range_crc(0, 5000, 0x1234), 2);
    QCOMPARE(without_timers(s.sink.log),
             QStringList({"Start to get crc... ", "data_Size: 5000", "Crc Value: 0x00001234"}));
    s.sink.log.clear();
    QCOMPARE(s.in.check_block_crc(0x1000, 5000, 0x1234), 2);
    QCOMPARE(s.sink.log, QStringList({"Crc Value: 0x00001234,5000",
                                       "Check flash CRC return:" + hex32(crc(pattern(5000, 99).mid(0x1000)
                                                                                    + QByteArray(0x1000, '\xFF')))}));
    VERIFY_BOXES(s.sink);
}

void FlashTest::check_mismatch_formats_data()
{
    QTest::addColumn<uint>("chip_id");
    QTest::addColumn<uint>("reported");
    QTest::addColumn<QString>("line");
    QTest::newRow("image, top bit") << uint(kVq4410) << 0x8000000Au
                                    << "Check flash CRC fail,return CRC Value: 0x8000000A";
    QTest::newRow("image, small") << uint(kVq4410) << 0x1Fu << "Check flash CRC fail,return CRC Value: 0x0000001F";
    QTest::newRow("range, top bit") << uint(kVq210Uart0) << 0x8000000Au
                                    << "Check flash CRC fail,return CRC Value: 0x8000000a";
    QTest::newRow("range, small") << uint(kVq210Uart0) << 0x1Fu << "Check flash CRC fail,return CRC Value: 0x1f";
}

void FlashTest::check_mismatch_formats()
{
    QFETCH(uint, chip_id);
    QFETCH(uint, reported);
    QFETCH(QString, line);
    FlashRig s(chip(chip_id));
    QVERIFY(s.start());
    s.sim.with_device([reported](SimDevice& d) { d.set_wrong_crc('n', SimDevice::kAlways, reported); return 0; });
    s.load_image("image.bin", pattern(4000));
    QVERIFY(s.open_identified());
    s.session.check_flash(false);
    QCOMPARE(s.sink.log.last(), line);
    QVERIFY(!s.sink.log.contains("Check flash CRC pass."));
    QVERIFY(s.sink.actions);
    VERIFY_BOXES(s.sink);
}

void FlashTest::check_flash_modes_data()
{
    QTest::addColumn<uint>("chip_id");
    QTest::addColumn<uint>("flash_id");
    QTest::addColumn<uint>("size");
    QTest::addColumn<int>("mode");  // 0: no set-flash-mode command
    QTest::addColumn<QStringList>("lines");
    QTest::newRow("32 MiB") << uint(kVq4410) << uint(kId32M) << 32 * kMiB << 1
                            << QStringList({"Set 32bits Addr ok", "Set 32 bits Address!"});
    QTest::newRow("128 MiB, VQ340") << uint(kVq340) << uint(kId128M) << 128 * kMiB << 2
                                    << QStringList({"Set 32bits Addr ok"});
    QTest::newRow("128 MiB, VQ230") << uint(kVq230) << uint(kId128M) << 128 * kMiB << 0 << QStringList();
    QTest::newRow("16 MiB") << uint(kVq340) << uint(kId16M) << 16 * kMiB << 0 << QStringList();
    // Its image is kept at 0x80000: the range there is checked.
    QTest::newRow("VQ210 Uart0, 16 MiB") << uint(kVq210Uart0) << uint(kId16M) << 16 * kMiB << 0 << QStringList();
}

void FlashTest::check_flash_modes()
{
    QFETCH(uint, chip_id);
    QFETCH(uint, flash_id);
    QFETCH(uint, size);
    QFETCH(int, mode);
    QFETCH(QStringList, lines);
    const uint32_t base = chip_id == kVq210Uart0 ? 0x80000 : 0;
    FlashRig s(chip(chip_id, flash_id, flash_id, size));
    QVERIFY(s.start());
    const QByteArray image = pattern(2000);
    s.put_in_flash(base, image);
    s.load_image("image.bin", image);
    QVERIFY(s.open_identified());
    s.session.check_flash(false);
    QCOMPARE(s.frames('n').value(0).address, base);
    QCOMPARE(s.sink.progress_value, 100);
    const QVector<SimFrame> modes = s.frames('o');
    QCOMPARE(modes.size(), mode ? 1 : 0);
    if (mode) {
        QCOMPARE(modes[0].raw, QByteArray(1, 'o') + char(mode) + QByteArray(62, '\0'));
        QCOMPARE(s.sim.with_device([](SimDevice& d) { return d.flash_mode(); }), mode);
    }
    const QStringList log = without_timers(s.sink.log);
    QCOMPARE(log.mid(0, lines.size()), lines);
    const QStringList asked = base ? QStringList({"Start to get crc... ", "data_Size: 2000"})
                                   : QStringList({"Start to get flash crc... 0", "flashCode_Size: 2000"});
    QCOMPARE(log.mid(lines.size()), asked + QStringList({"Crc Value: " + hex32(crc(image))})
                                        + (base ? QStringList() : QStringList({"Read crc value: " + hex32(crc(image))}))
                                        + QStringList({"Check flash CRC pass."}));
    VERIFY_BOXES(s.sink);
}

void FlashTest::check_refusals_data()
{
    QTest::addColumn<uint>("flash_id");
    QTest::addColumn<int>("length");
    QTest::addColumn<QString>("box");
    QTest::newRow("one byte over the flash") << uint(kId512K) << 524289 << "The file is over than the flash ic's size";
    QTest::newRow("fits exactly") << uint(kId512K) << 524288 << "";
    QTest::newRow("15 bytes") << uint(kId16M) << 15 << "Please input UI file!";
    QTest::newRow("16 bytes") << uint(kId16M) << 16 << "";
    QTest::newRow("no image") << uint(kId16M) << -1 << "Please input UI file!";
}

void FlashTest::check_refusals()
{
    QFETCH(uint, flash_id);
    QFETCH(int, length);
    QFETCH(QString, box);
    FlashRig s(chip(kVq4410, flash_id, flash_id));
    QVERIFY(s.start());
    if (length >= 0)
        s.load_image("image.bin", pattern(length));
    QVERIFY(s.open_identified());
    if (!box.isEmpty())
        s.sink.expect_error(box);
    s.session.check_flash(false);
    QCOMPARE(s.frames('n').size(), box.isEmpty() ? 1 : 0);
    QVERIFY(s.sink.actions);
    VERIFY_BOXES(s.sink);
}

void FlashTest::check_budget_runs_out()
{
    FlashRig s(chip(kVq4410));
    QVERIFY(s.start());
    QVERIFY(s.open_identified());
    s.sim.with_device([](SimDevice& d) { d.set_silent('n', 1); return 0; });
    // A length of 0 has a budget of no passes: one idle pass, then the time-out.
    s.sink.expect_error("Time over!");
    QCOMPARE(s.in.check_range_crc(0, 0, 0), -2);
    QCOMPARE(s.frames('n').size(), 1);
    VERIFY_BOXES(s.sink);
}

void FlashTest::check_removal_during_wait()
{
    FlashRig s(chip(kVq4410));
    QVERIFY(s.start());
    s.load_image("image.bin", pattern(3000));
    QVERIFY(s.open_identified());
    s.sim.unplug_after('n', 1);
    s.session.check_flash(false);
    // Ended silently: no verdict, no box; the port is closed.
    const QStringList log = without_timers(s.sink.log);
    QVERIFY(!log.contains("Check flash CRC pass."));
    QVERIFY(!log.last().startsWith("Check flash CRC fail"));
    QCOMPARE(s.sink.failed_port, s.sim.slave_path());
    QVERIFY(!s.session.port_open());
    QCOMPARE(s.in.link_down(), 1);
    VERIFY_BOXES(s.sink);
}

void FlashTest::exit_during_wait_data()
{
    QTest::addColumn<QString>("button");
    QTest::newRow("Check Flash CRC, a silent chip") << "pushButton_CheckFlash";
    QTest::newRow("Update Flash, slow replies") << "pushButton_UpdateFlash";
}

void FlashTest::exit_during_wait()
{
    QFETCH(QString, button);
    const bool update = button == "pushButton_UpdateFlash";
    FlashSession s(chip(kVq4410));
    QVERIFY(s.start());
    s.load_image("image.bin", pattern(update ? 64 * 1024 : 3000));
    s.open_identified();
    if (update)
        s.sim.set_reply_delay_ms(50);
    else
        s.sim.with_device([](SimDevice& d) { d.set_silent('n', 1); return 0; });
    QTimer::singleShot(update ? 400 : 300, s.window.get(), [&s] { s.click("pushButton_Exit"); });
    QElapsedTimer clock;
    clock.start();
    s.click(qPrintable(button));
    QVERIFY2(clock.elapsed() < 10000, "the wait did not end at Exit");
    QVERIFY(s.a().s().link().stop().requested());
    QVERIFY(!s.window->isVisible());
    QVERIFY(!s.a().log().contains("Check flash CRC pass."));
    if (update) {
        QCOMPARE(s.a().log().last(), QString("Update flash is fail....."));
        QVERIFY(s.frames('l').size() < 32);
        QVERIFY(s.frames('n').isEmpty());
    }
    QVERIFY(s.close_window_writes_config());
    VERIFY_BOXES(s.dialogs);
}

QTEST_MAIN(FlashTest)
#include "test_flash.moc"
