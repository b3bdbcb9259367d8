// Per-board stamps: what each format writes for a serial number, what is
// refused (and that the message names the stamp), and that a stamped flash
// image with an info block still passes the boot loader's final check: its
// FlashCRC is the CRC of the stamped image as programmed. The refusals vqprog
// meets on a production line are judged there, with nothing sent.

#include <QtTest>

#include "flashimage/board_stamp.h"
#include "flashimage/diff_builder.h"
#include "flashimage/image_rules.h"

namespace {

QByteArray pattern(int n)
{
    QByteArray b(n, '\0');
    for (int i = 0; i < n; ++i)
        b[i] = char(i * 7 + 3);
    return b;
}

QVector<BoardStamp> parse_all(const QStringList& texts)
{
    QVector<BoardStamp> out;
    for (const QString& t : texts) {
        const StampParse p = parse_board_stamp(t);
        if (!p.ok)
            qWarning("%s", qPrintable(p.error));
        out.append(p.stamp);
    }
    return out;
}

}  // namespace

class BoardStampTest : public QObject {
    Q_OBJECT

private slots:
    void bytes_for_serial_data();
    void bytes_for_serial();
    void parse_refusals_data();
    void parse_refusals();
    void image_refusals_data();
    void image_refusals();
    void stamped_image_data();
    void stamped_image();
};

void BoardStampTest::bytes_for_serial_data()
{
    QTest::addColumn<QString>("stamp");
    QTest::addColumn<qint64>("serial");
    QTest::addColumn<QByteArray>("bytes");  // hex; empty: refused
    QTest::addColumn<QString>("value");

    QTest::newRow("u32le") << "flash@0:u32le" << qint64(0x12345678) << QByteArray("78563412") << "flash@0=305419896";
    QTest::newRow("u32be") << "mcu@0x10:u32be" << qint64(0x12345678) << QByteArray("12345678") << "mcu@0x10=305419896";
    QTest::newRow("u32 max") << "flash@0:u32le" << qint64(0xFFFFFFFF) << QByteArray("ffffffff") << "";
    QTest::newRow("u32 over") << "flash@0:u32le" << qint64(0x100000000) << QByteArray() << "";
    QTest::newRow("dec padded") << "flash@8:dec:10" << qint64(42) << QByteArray("30303030303030303432")
                                << "flash@8=0000000042";
    QTest::newRow("dec exact") << "flash@8:dec:3" << qint64(999) << QByteArray("393939") << "flash@8=999";
    QTest::newRow("dec one past") << "flash@8:dec:4" << qint64(10000) << QByteArray() << "";
    QTest::newRow("hex upper") << "mcu@0:hex:4" << qint64(0xabc) << QByteArray("30414243") << "mcu@0=0ABC";
    QTest::newRow("hex too long") << "mcu@0:hex:2" << qint64(0x100) << QByteArray() << "";
    QTest::newRow("mac") << "mcu@0:mac:02:00:5E:00:00:10" << qint64(5) << QByteArray("02005e000015")
                         << "mcu@0=02:00:5E:00:00:15";
    QTest::newRow("mac carries") << "mcu@0:mac:02:00:5E:00:FF:FF" << qint64(1) << QByteArray("02005e010000") << "";
    QTest::newRow("mac last") << "mcu@0:mac:02:00:5E:FF:FF:FE" << qint64(1) << QByteArray("02005effffff") << "";
    QTest::newRow("mac huge serial") << "mcu@0:mac:02:00:5E:00:00:00" << qint64(0x1000000) << QByteArray() << "";
    QTest::newRow("negative") << "flash@0:u32le" << qint64(-1) << QByteArray() << "";
}

void BoardStampTest::bytes_for_serial()
{
    QFETCH(QString, stamp);
    QFETCH(qint64, serial);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, value);
    const StampParse p = parse_board_stamp(stamp);
    QVERIFY2(p.ok, qPrintable(p.error));
    QByteArray got;
    QString error;
    const bool ok = stamp_bytes(p.stamp, serial, &got, &error);
    QCOMPARE(ok, !bytes.isEmpty());
    if (ok) {
        QCOMPARE(got.toHex(), bytes);
        QCOMPARE(got.size(), p.stamp.length());
        if (!value.isEmpty())
            QCOMPARE(stamp_value_text(p.stamp, serial), value);
    } else {
        QVERIFY2(error.startsWith("stamp " + stamp + ": "), qPrintable(error));
        QCOMPARE(check_stamp_serial({p.stamp}, serial), QStringList{error});
    }
}

void BoardStampTest::parse_refusals_data()
{
    QTest::addColumn<QString>("stamp");
    QTest::addColumn<QString>("why");
    QTest::newRow("no format") << "flash@12" << "MEMORY@OFFSET:FORMAT";
    QTest::newRow("memory") << "eeprom@0:u32le" << "flash or mcu";
    QTest::newRow("offset text") << "flash@x12:u32le" << "offset";
    QTest::newRow("offset negative") << "flash@-4:u32le" << "offset";
    QTest::newRow("offset bare 0x") << "flash@0x:u32le" << "offset";
    QTest::newRow("format") << "flash@0:u16le" << "the format is";
    QTest::newRow("u32 with arg") << "flash@0:u32le:4" << "the format is";
    QTest::newRow("dec no count") << "flash@0:dec:" << "dec:N";
    QTest::newRow("dec zero") << "flash@0:dec:0" << "dec:N";
    QTest::newRow("dec too many") << "flash@0:dec:21" << "dec:N";
    QTest::newRow("hex too many") << "flash@0:hex:17" << "hex:N";
    QTest::newRow("mac short") << "mcu@0:mac:02:00:5E:00:00" << "six hexadecimal bytes";
    QTest::newRow("mac bad byte") << "mcu@0:mac:02:00:5E:00:00:G0" << "six hexadecimal bytes";
    QTest::newRow("mac long byte") << "mcu@0:mac:02:00:5E:00:00:100" << "six hexadecimal bytes";
}

void BoardStampTest::parse_refusals()
{
    QFETCH(QString, stamp);
    QFETCH(QString, why);
    const StampParse p = parse_board_stamp(stamp);
    QVERIFY(!p.ok);
    QVERIFY2(p.error.startsWith("stamp " + stamp + ": ") && p.error.contains(why), qPrintable(p.error));
}

void BoardStampTest::image_refusals_data()
{
    QTest::addColumn<QStringList>("stamps");
    QTest::addColumn<int>("image_len");
    QTest::addColumn<QString>("file");
    QTest::addColumn<QStringList>("refused");  // the stamps named, in order; empty: accepted

    QTest::newRow("fits at the end") << QStringList{"flash@996:u32le"} << 1000 << "a.bin" << QStringList();
    QTest::newRow("one past the end") << QStringList{"flash@997:u32le"} << 1000 << "a.bin"
                                      << QStringList{"flash@997:u32le"};
    QTest::newRow("far outside") << QStringList{"flash@0x100000:dec:4"} << 1000 << "a.bin"
                                 << QStringList{"flash@0x100000:dec:4"};
    QTest::newRow("overlap by one byte") << QStringList{"flash@0:dec:10", "flash@9:u32le"} << 1000 << "a.bin"
                                         << QStringList{"flash@9:u32le"};
    QTest::newRow("adjacent") << QStringList{"flash@0:dec:10", "flash@10:u32le"} << 1000 << "a.bin"
                              << QStringList();
    QTest::newRow("other memory ignored") << QStringList{"mcu@0:dec:10", "mcu@5000:u32le", "flash@0:u32le"} << 1000
                                          << "a.bin" << QStringList();
    QTest::newRow("info block end") << QStringList{"flash@383:dec:1"} << 1000 << "a.bin"
                                    << QStringList{"flash@383:dec:1"};
    QTest::newRow("before the block") << QStringList{"flash@368:u32le", "flash@384:u32le"} << 1000 << "a.bin"
                                      << QStringList();
    QTest::newRow("short image, no block") << QStringList{"flash@372:u32le"} << 383 << "a.bin" << QStringList();
    QTest::newRow("mcu run address") << QStringList{"mcu@4:u32le"} << 1000 << "m.bin" << QStringList{"mcu@4:u32le"};
    QTest::newRow("mcu run address, last byte") << QStringList{"mcu@0:dec:8"} << 1000 << "m.bin"
                                                << QStringList{"mcu@0:dec:8"};
    QTest::newRow("mcu around the run address") << QStringList{"mcu@0:dec:4", "mcu@8:u32le"} << 1000 << "m.bin"
                                                << QStringList();
}

void BoardStampTest::image_refusals()
{
    QFETCH(QStringList, stamps);
    QFETCH(int, image_len);
    QFETCH(QString, file);
    QFETCH(QStringList, refused);
    const QVector<BoardStamp> parsed = parse_all(stamps);
    const StampMemory memory = parsed.last().memory;
    const QStringList errors = check_board_stamps(parsed, memory, pattern(image_len), file);
    QCOMPARE(errors.size(), refused.size());
    for (int i = 0; i < refused.size(); ++i)
        QVERIFY2(errors[i].startsWith("stamp " + refused[i] + ": "), qPrintable(errors[i]));
    // Nothing refused is ever applied.
    const StampedImage stamped = apply_board_stamps(parsed, memory, pattern(image_len), file, 7);
    QCOMPARE(stamped.ok, refused.isEmpty());
    QCOMPARE(stamped.errors, errors);
    if (!stamped.ok)
        QVERIFY(stamped.bytes.isEmpty());
}

void BoardStampTest::stamped_image_data()
{
    QTest::addColumn<bool>("info_block");
    QTest::addColumn<int>("memory");
    QTest::newRow("flash, plain") << false << int(StampMemory::Flash);
    QTest::newRow("flash, info block") << true << int(StampMemory::Flash);
    QTest::newRow("mcu") << false << int(StampMemory::Mcu);
}

void BoardStampTest::stamped_image()
{
    QFETCH(bool, info_block);
    QFETCH(int, memory);
    const StampMemory mem = StampMemory(memory);
    const QString prefix = mem == StampMemory::Flash ? "flash" : "mcu";
    QByteArray image = pattern(3000);
    if (info_block)
        QVERIFY(stamp_image_info(&image));
    const QVector<BoardStamp> stamps =
        parse_all({prefix + "@0x800:dec:10", prefix + "@100:mac:02:00:5E:00:00:10", "mcu@2000:u32be"});

    QVector<QByteArray> images;
    for (qint64 serial : {1, 2}) {
        const StampedImage s = apply_board_stamps(stamps, mem, image, "board.bin", serial);
        QVERIFY2(s.ok, qPrintable(s.errors.join('\n')));
        QCOMPARE(s.bytes.size(), image.size());
        QCOMPARE(s.bytes.mid(0x800, 10), QByteArray("000000000") + QByteArray::number(serial));
        QCOMPARE(s.bytes.mid(100, 6).toHex(), QByteArray("02005e00001") + QByteArray::number(serial));
        QCOMPARE(s.info_block_restamped, info_block);
        // Every other byte is the image's, the info block aside.
        QByteArray others = s.bytes;
        others.replace(0x800, 10, image.mid(0x800, 10)).replace(100, 6, image.mid(100, 6));
        if (mem == StampMemory::Mcu)
            others.replace(2000, 4, image.mid(2000, 4));
        if (info_block)
            others.replace(kImageInfoOffset, 12, image.mid(kImageInfoOffset, 12));
        QCOMPARE(others, image);
        const ImageInfoBlock info = read_image_info_block(s.bytes);
        QCOMPARE(info.valid, info_block);
        if (info_block)
            QCOMPARE(info.flash_crc, programmed_flash_crc(s.bytes));
        images.append(s.bytes);
    }
    QVERIFY(images[0] != images[1]);
    if (info_block)
        QVERIFY(read_image_info_block(images[0]).flash_crc != read_image_info_block(images[1]).flash_crc);
    // A counter's number past what a stamp holds was never checked up front: nothing to program.
    const StampedImage past = apply_board_stamps(parse_all({prefix + "@0x800:dec:4"}), mem, image, "b.bin", 10000);
    QVERIFY(!past.ok && past.bytes.isEmpty());
    QCOMPARE(past.errors, QStringList{"stamp " + prefix + "@0x800:dec:4: serial number 10000 needs more than 4 digits"});
}

QTEST_GUILESS_MAIN(BoardStampTest)
#include "test_board_stamp.moc"
