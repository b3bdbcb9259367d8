// The external-flash rules: Flash.ini lines and lookups, the flash command
// frames and replies, the flash CRC wait arithmetic, and the flash image
// rules, each against values worked out by hand.

#include <QtTest>

#include <chrono>
#include <future>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "flash/flash_frames.h"
#include "flash/flash_ini.h"
#include "flashimage/image_rules.h"
#include "protocol/catalogue.h"
#include "protocol/crc32.h"
#include "protocol/frame.h"
#include "protocol/hex_text.h"

Q_DECLARE_METATYPE(FlashCrcReplyKind)

namespace {
constexpr uint32_t kVq230ChipId = 0x19712300;
constexpr int k16MiB = 16777216;
constexpr int kWatchdogSeconds = 5;
}  // namespace

class FlashRulesTest : public QObject {
    Q_OBJECT

private slots:
    void ini_lines_data();
    void ini_lines();
    void ini_lookup_data();
    void ini_lookup();
    void ini_lookup_megabyte_line();
    void reserved_area_data();
    void reserved_area();
    void ini_reader_refuses_non_files_data();
    void ini_reader_refuses_non_files();
    void ini_reader_bounds_a_huge_file();
    void catalogue_lookup_texts();

    void flash_frames();
    void flash_replies_data();
    void flash_replies();
    void crc_budget_data();
    void crc_budget();
    void crc_progress_data();
    void crc_progress();
    void image_check_crcs();
    void crc_replies_judged_data();
    void crc_replies_judged();
    void crc_fail_lines_data();
    void crc_fail_lines();

    void image_names_data();
    void image_names();
    void bin_info_block_data();
    void bin_info_block();
    void diff_header_and_log();
    void diff_integrity_data();
    void diff_integrity();
};

void FlashRulesTest::ini_lines_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<uint>("id");
    QTest::addColumn<bool>("matches");
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("name");

    QTest::newRow("plain") << QByteArray("0x1234,128,65536,PART_A,") << 0x1234u << true << 8388608 << "PART_A";
    QTest::newRow("semicolon, blank before ID") << QByteArray("; 0x1234,128,65536,PART_A,") << 0x1234u << true
                                                << 8388608 << "PART_A";
    QTest::newRow("blanks around values") << QByteArray("0x00AB12, 2048, 4096, PART_B ,") << 0xAB12u << true
                                          << 8388608 << "PART_B";
    QTest::newRow("no final comma: no name") << QByteArray("0x1234,128,65536,PART_A") << 0x1234u << true
                                             << 8388608 << "";
    QTest::newRow("0X and eight digits") << QByteArray("0X89ABCDEF,1,2,N,") << 0x89ABCDEFu << true << 2 << "N";
    QTest::newRow("twelve digits read 0") << QByteArray("0x123456789ABC,1,2,N,") << 0u << true << 2 << "N";
    QTest::newRow("twelve digits, not the tail") << QByteArray("0x123456789ABC,1,2,N,") << 0x56789ABCu << false
                                                 << 0 << "";
    QTest::newRow("name with blanks") << QByteArray("0x1,1,1, My Flash 8M ,") << 1u << true << 1 << "MyFlash8M";
    QTest::newRow("unit after number") << QByteArray("0x1,4M,2,N,") << 1u << true << 8 << "N";
    QTest::newRow("first char unchecked") << QByteArray("1x10,1,1,N,") << 0x10u << true << 1 << "N";
    QTest::newRow("x among digits is 0") << QByteArray("0x1x2,1,1,N,") << 0x102u << true << 1 << "N";
    QTest::newRow("0x alone is 0") << QByteArray("0x,1,1,N,") << 0u << true << 1 << "N";
    QTest::newRow("decimal ID") << QByteArray("4660,1,1,N,") << 0x1234u << true << 1 << "N";
    QTest::newRow("invalid decimal is 0") << QByteArray("12A,3,4,N,") << 0u << true << 12 << "N";
    QTest::newRow("ID without comma") << QByteArray("0x1234") << 0x1234u << false << 0 << "";
    QTest::newRow("blank line, ID 0") << QByteArray("") << 0u << false << 0 << "";
    QTest::newRow("blank before [FLASH]") << QByteArray(" [FLASH]") << 0u << false << 0 << "";
    QTest::newRow("missing factor is 0") << QByteArray("0x1234,8M") << 0x1234u << true << 0 << "";
    QTest::newRow("missing second factor") << QByteArray("0x1234,128,65536") << 0x1234u << true << 0 << "";
    QTest::newRow("after the name ignored") << QByteArray("0x1,2,3,N,0x1,9,9,M,") << 1u << true << 6 << "N";
    QTest::newRow("signed factor") << QByteArray("0x1,0xFFFFFFFF,8,N,") << 1u << true << -8 << "N";
    QTest::newRow("product beyond int is 0") << QByteArray("0x1,65536,65536,N,") << 1u << true << 0 << "N";
    QTest::newRow("decimal beyond 32 bits is 0") << QByteArray("4294967296,1,1,N,") << 0u << true << 1 << "N";
    QTest::newRow("NUL and high bytes dropped") << QByteArray("0x1\0\xff,2,3,N\x80,", 13) << 1u << true << 6
                                                << "N";
    QTest::newRow("267-character name kept")
        << QByteArray("0x1,1,1,") + QByteArray(267, 'a') + "," << 1u << true << 1 << QString(267, 'a');
    QTest::newRow("268-character name refused")
        << QByteArray("0x1,1,1,") + QByteArray(268, 'a') + "," << 1u << false << 0 << "";
    QTest::newRow("268-character ID refused")
        << QByteArray(266, '0') + "0x1,1,1,N," << 0u << false << 0 << "";
}

void FlashRulesTest::ini_lines()
{
    QFETCH(QByteArray, line);
    QFETCH(uint, id);
    QFETCH(bool, matches);
    QFETCH(int, size);
    QFETCH(QString, name);
    int flash_size = -1;
    QString flash_name = QStringLiteral("untouched");
    QCOMPARE(Parse_FlashIniLine(line, id, flash_size, flash_name), matches);
    if (matches) {
        QCOMPARE(flash_size, size);
        QCOMPARE(flash_name, name);
    } else {
        QCOMPARE(flash_size, -1);
    }
}

void FlashRulesTest::ini_lookup_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<uint>("id");
    QTest::addColumn<bool>("found");
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("name");

    QTest::newRow("first match wins") << QByteArray("0x1,1,2,A,\n0x1,1,4,B,\n") << 1u << true << 2 << "A";
    QTest::newRow("[FLASH] anywhere") << QByteArray("[FLASH]\n0x1,1,2,A,\n[FLASH]0x2,1,1,C,\n[FLASH]\n0x2,1,3,B,")
                                      << 2u << true << 3 << "B";
    QTest::newRow("CRLF") << QByteArray("[FLASH]\r\n0x1,1,2,A,\r\n0x2,1,3,B,\r\n") << 2u << true << 3 << "B";
    QTest::newRow("CRLF, no final comma") << QByteArray("0x2,1,3,B\r\n") << 2u << true << 3 << "";
    QTest::newRow("no newline at the end") << QByteArray("0x1,1,2,A,\n0x2,1,3,B,") << 2u << true << 3 << "B";
    QTest::newRow("not listed") << QByteArray("[FLASH]\n0x1,1,2,A,\n") << 3u << false << 0 << "";
    QTest::newRow("empty file, ID 0") << QByteArray() << 0u << false << 0 << "";
    QTest::newRow("NUL before a non-ASCII name") << QByteArray("0x1\0,2,3,N\xC3\xA9M,\n", 15) << 1u << true << 6
                                                 << "NM";
    QTest::newRow("blank lines, ID 0") << QByteArray("\n\r\n\n") << 0u << false << 0 << "";
}

void FlashRulesTest::ini_lookup()
{
    QFETCH(QByteArray, file);
    QFETCH(uint, id);
    QFETCH(bool, found);
    QFETCH(int, size);
    QFETCH(QString, name);
    const FlashIniMatch m = lookup_flash_ini(file, id);
    QCOMPARE(m.found, found);
    QCOMPARE(m.size, size);
    QCOMPARE(m.name, name);
}

void FlashRulesTest::ini_lookup_megabyte_line()
{
    // Kept characters overflow the field at once; dropped ones are merely skipped.
    const QByteArray entry("\n0x2,1,3,B,\n");
    QCOMPARE(lookup_flash_ini(QByteArray(8 << 20, 'a') + entry, 2).size, 3);
    QCOMPARE(lookup_flash_ini(QByteArray(8 << 20, ' ') + entry, 2).size, 3);
    QCOMPARE(lookup_flash_ini(QByteArray("0x2,1,1,") + QByteArray(8 << 20, 'n') + entry, 2).size, 3);
}

void FlashRulesTest::reserved_area_data()
{
    QTest::addColumn<uint>("chip");
    QTest::addColumn<int>("catalogue");
    QTest::addColumn<int>("usable");
    QTest::newRow("VQ230 16 MiB") << uint(kVq230ChipId) << k16MiB << 16252928;
    QTest::newRow("VQ210 Uart0 16 MiB") << uint(kVq210Uart0ChipId) << k16MiB << 16252928;
    QTest::newRow("VQ350A 16 MiB") << uint(kVq350AChipId) << k16MiB << k16MiB;
    QTest::newRow("unidentified 16 MiB") << uint(kUnknownChipId) << k16MiB << k16MiB;
    QTest::newRow("VQ230 512 KiB") << uint(kVq230ChipId) << 0x80000 << 0x80000;
    QTest::newRow("VQ230 512 KiB + 1") << uint(kVq230ChipId) << 0x80001 << 1;
    QTest::newRow("VQ350A 512 KiB") << uint(kVq350AChipId) << 0x80000 << 0x80000;
}

void FlashRulesTest::reserved_area()
{
    QFETCH(uint, chip);
    QFETCH(int, catalogue);
    QFETCH(int, usable);
    QCOMPARE(usable_flash_size(catalogue, chip), usable);
}

void FlashRulesTest::ini_reader_refuses_non_files_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("missing") << "missing";
    QTest::newRow("directory") << "directory";
#ifdef Q_OS_UNIX
    QTest::newRow("fifo") << "fifo";
    QTest::newRow("symlink to /dev/zero") << "zero";
#endif
}

void FlashRulesTest::ini_reader_refuses_non_files()
{
    QFETCH(QString, kind);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("Flash.ini"));
    if (kind == QLatin1String("directory"))
        QVERIFY(QDir().mkdir(path));
#ifdef Q_OS_UNIX
    if (kind == QLatin1String("fifo"))
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    if (kind == QLatin1String("zero"))
        QVERIFY(QFile::link(QStringLiteral("/dev/zero"), path));
#endif
    auto read = std::async(std::launch::async, [path] { return read_flash_ini(path); });
    if (read.wait_for(std::chrono::seconds(kWatchdogSeconds)) != std::future_status::ready) {
#ifdef Q_OS_UNIX
        // Free the blocked reader before failing, or the run would hang on it.
        const int writer = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_NONBLOCK);
        if (writer >= 0)
            ::close(writer);
#endif
        read.wait();
        QFAIL("reading the catalogue blocked");
    }
    const FlashIniFile file = read.get();
    QCOMPARE(int(file.outcome), int(FlashIniRead::Unreadable));
    QVERIFY(file.bytes.isEmpty());
}

void FlashRulesTest::ini_reader_bounds_a_huge_file()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("Flash.ini"));
    QFile out(path);
    QVERIFY(out.open(QIODevice::WriteOnly));
    const QByteArray line("0x1,1,1,NAME_OF_A_PART_WITH_A_FAIRLY_LONG_NAME,\n");  // 48 bytes
    const int lines = int(kFlashIniReadLimit / line.size()) + 1000;
    for (int i = 0; i < lines; ++i)
        out.write(line);
    out.close();

    const FlashIniFile file = read_flash_ini(path);
    QCOMPARE(int(file.outcome), int(FlashIniRead::Truncated));
    QVERIFY(file.bytes.size() <= kFlashIniReadLimit);
    QVERIFY(file.bytes.size() > kFlashIniReadLimit - line.size());
    QVERIFY(file.bytes.endsWith('\n'));
    QCOMPARE(file.bytes.size() % line.size(), 0);
}

void FlashRulesTest::catalogue_lookup_texts()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("Flash.ini"));

    FlashCatalogueLookup none = lookup_flash_catalogue(path, 0xAB12, kVq230ChipId);
    QCOMPARE(int(none.read), int(FlashIniRead::Unreadable));
    QVERIFY(!none.found);
    QCOMPARE(none.id_text, QStringLiteral("0xab12"));
    QCOMPARE(none.size_text, QStringLiteral("0"));
    QVERIFY(none.flash_name.isEmpty());

    QFile out(path);
    QVERIFY(out.open(QIODevice::WriteOnly));
    out.write("[FLASH]\r\n0x00AB12, 4096, 4096, PART B ,\r\n");
    out.close();
    const FlashCatalogueLookup hit = lookup_flash_catalogue(path, 0xAB12, kVq230ChipId);
    QCOMPARE(int(hit.read), int(FlashIniRead::Ok));
    QVERIFY(hit.found);
    QCOMPARE(hit.flash_size, 16252928);
    QCOMPARE(hit.size_text, QStringLiteral("16252928"));
    QCOMPARE(hit.flash_name, QStringLiteral("PARTB"));
    QCOMPARE(lookup_flash_catalogue(path, 0xAB12, kVq350AChipId).flash_size, k16MiB);
}

void FlashRulesTest::flash_frames()
{
    QByteArray mode(64, '\0');
    mode[0] = 'o';
    mode[1] = 2;
    QCOMPARE(build_set_flash_mode_request(kFlashModeNand), mode);

    QByteArray id(64, '\0');
    id[0] = 'm';
    id[1] = 1;
    id[2] = 1;
    QCOMPARE(build_get_flash_id_request(kFlashIdSecondVariant), id);
    id[2] = 0;
    QCOMPARE(build_get_flash_id_request(kFlashIdFirstVariant), id);

    QByteArray crc = QByteArray::fromHex("6e" "00000800" "40420f00" "efbeadde");
    const uint32_t sum = boot_crc32(crc);
    crc.append(char(sum & 0xFF)).append(char((sum >> 8) & 0xFF));
    crc.append(char((sum >> 16) & 0xFF)).append(char(sum >> 24));
    crc.append(64 - crc.size(), '\0');
    QCOMPARE(build_flash_crc_request(0x80000, 1000000, 0xDEADBEEF), crc);
}

void FlashRulesTest::flash_replies_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<FlashCrcReplyKind>("kind");
    QTest::addColumn<uint>("value");
    const QByteArray tail = QByteArray::fromHex("78563412") + QByteArray(57, '\0');
    QTest::newRow("progress") << QByteArray("~0") + tail << FlashCrcReplyKind::Progress << 0x12345678u;
    QTest::newRow("status 2") << QByteArray("~2") + tail << FlashCrcReplyKind::Status2 << 0x12345678u;
    QTest::newRow("final 1") << QByteArray("~1") + tail << FlashCrcReplyKind::Final << 0x12345678u;
    QTest::newRow("final 0x00") << QByteArray("~\0", 2) + tail << FlashCrcReplyKind::Final << 0x12345678u;
    QTest::newRow("echoed letter") << QByteArray("n1") + tail << FlashCrcReplyKind::WrongReply << 0x12345678u;
}

void FlashRulesTest::flash_replies()
{
    QFETCH(QByteArray, reply);
    QFETCH(FlashCrcReplyKind, kind);
    QFETCH(uint, value);
    const FlashCrcReply r = parse_flash_crc_reply(reinterpret_cast<const uint8_t*>(reply.constData()));
    QCOMPARE(r.kind, kind);
    QCOMPARE(r.value, value);

    // The two short commands answer with their letter plus 0x10 as well.
    uint8_t frame[kReplyLen] = {0x7F};
    QVERIFY(set_flash_mode_accepted(frame));
    frame[0] = 'o';
    QVERIFY(!set_flash_mode_accepted(frame));
    const uint8_t id_reply[kReplyLen] = {0x7D, 0x78, 0x56, 0x34, 0x12};
    QCOMPARE(parse_flash_id_reply(id_reply).ok, true);
    QCOMPARE(parse_flash_id_reply(id_reply).id, 0x12345678u);
    const uint8_t echoed[kReplyLen] = {'m', 0x78, 0x56, 0x34, 0x12};
    QCOMPARE(parse_flash_id_reply(echoed).ok, false);
}

void FlashRulesTest::crc_budget_data()
{
    QTest::addColumn<uint>("length");
    QTest::addColumn<int>("passes");
    QTest::newRow("0") << 0u << 0;
    QTest::newRow("1") << 1u << 500;
    QTest::newRow("1,000,000") << 1000000u << 500;
    QTest::newRow("1,000,001") << 1000001u << 1000;
    QTest::newRow("2,500,000") << 2500000u << 1500;
    QTest::newRow("largest") << 0xFFFFFFFFu << 2147500;
}

void FlashRulesTest::crc_budget()
{
    QFETCH(uint, length);
    QFETCH(int, passes);
    QCOMPARE(flash_crc_budget(length), passes);
}

void FlashRulesTest::crc_progress_data()
{
    QTest::addColumn<uint>("done");
    QTest::addColumn<uint>("length");
    QTest::addColumn<int>("percent");
    // 0.29 and 0.57 land just below in double precision, on the integer in single.
    QTest::newRow("29 of 100") << 29u << 100u << 29;
    QTest::newRow("57 of 100") << 57u << 100u << 57;
    QTest::newRow("1 of 3") << 1u << 3u << 33;
    QTest::newRow("2 of 3") << 2u << 3u << 66;
    QTest::newRow("almost all") << 999999u << 1000000u << 99;
    QTest::newRow("all") << 1000000u << 1000000u << 100;
    QTest::newRow("beyond the length") << 2000u << 1000u << 200;
    QTest::newRow("length 0") << 5u << 0u << 0;
}

void FlashRulesTest::crc_progress()
{
    QFETCH(uint, done);
    QFETCH(uint, length);
    QFETCH(int, percent);
    QCOMPARE(flash_crc_progress(done, length), percent);
}

void FlashRulesTest::image_check_crcs()
{
    QCOMPARE(image_check_expected_crc(true, 1, 0x11, 0x22), 0x22u);
    QCOMPARE(image_check_expected_crc(false, 1, 0x11, 0x22), 0x11u);
    QCOMPARE(image_check_expected_crc(false, 0, 0x11, 0x22), 0x22u);
    QVERIFY(image_check_accepts(0x11, 1, 0x11, 0x22));
    QVERIFY(image_check_accepts(0x22, 1, 0x11, 0x22));
    QVERIFY(!image_check_accepts(0x33, 1, 0x11, 0x22));
    // Without a valid info block its word is image bytes, not a CRC.
    QVERIFY(!image_check_accepts(0x11, 0, 0x11, 0x22));
    QVERIFY(image_check_accepts(0x22, 0, 0x11, 0x22));
}

void FlashRulesTest::crc_replies_judged_data()
{
    QTest::addColumn<int>("check");
    QTest::addColumn<QByteArray>("head");  // reply bytes 0 and 1
    QTest::addColumn<uint>("value");
    QTest::addColumn<bool>("done");
    QTest::addColumn<int>("result");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<int>("progress");
    QTest::addColumn<bool>("passed");

    const int block = int(FlashCrcCheck::Block);
    const int range = int(FlashCrcCheck::Range);
    const int image = int(FlashCrcCheck::Image);
    const QString ret = QStringLiteral("Check flash CRC return:");
    const QString fail = QStringLiteral("Check flash CRC fail,return CRC Value: ");
    const QString pass = QStringLiteral("Check flash CRC pass.");
    const QString read = QStringLiteral("Read crc value: ");

    // The job: 1000 bytes at 0x80000; block and range accept 0x1234, the image 0x1111 or 0x2222.
    QTest::newRow("block progress") << block << QByteArray("~0") << 500u << false << 0
                                    << QStringList{ret + "0x000001F4"} << 50 << false;
    QTest::newRow("range progress") << range << QByteArray("~0") << 500u << false << 0 << QStringList{} << 50
                                    << false;
    QTest::newRow("image progress") << image << QByteArray("~0") << 999u << false << 0 << QStringList{} << 99
                                    << false;
    QTest::newRow("block pass") << block << QByteArray("~1") << 0x1234u << true << 0
                                << QStringList{ret + "0x00001234", "Check blcok flash CRC pass: 0x00080000"} << -1
                                << false;
    QTest::newRow("block mismatch") << block << QByteArray("~1") << 0x8000000Au << true << -3
                                    << QStringList{ret + "0x8000000A", fail + "0x8000000A"} << -1 << false;
    QTest::newRow("block status 2") << block << QByteArray("~2") << 0x1234u << true << 2
                                    << QStringList{ret + "0x00001234"} << -1 << false;
    QTest::newRow("range pass") << range << QByteArray("~1") << 0x1234u << true << 0 << QStringList{pass} << -1
                                << true;
    QTest::newRow("range mismatch") << range << QByteArray("~1") << 0x8000000Au << true << -3
                                    << QStringList{fail + "0x8000000a"} << -1 << false;
    QTest::newRow("range status 2") << range << QByteArray("~2") << 0x1234u << true << 2 << QStringList{} << -1
                                    << false;
    QTest::newRow("image, info CRC") << image << QByteArray("~1") << 0x1111u << true << 0
                                     << QStringList{read + "0x00001111", pass} << -1 << true;
    QTest::newRow("image, file CRC") << image << QByteArray("~1") << 0x2222u << true << 0
                                     << QStringList{read + "0x00002222", pass} << -1 << true;
    QTest::newRow("image status 2 passes") << image << QByteArray("~2") << 0x1111u << true << 0
                                           << QStringList{read + "0x00001111", pass} << -1 << true;
    QTest::newRow("image status 2 mismatch") << image << QByteArray("~2") << 0x1Fu << true << 2
                                             << QStringList{read + "0x0000001F", fail + "0x0000001F"} << -1 << false;
    QTest::newRow("image mismatch") << image << QByteArray("~1") << 0x1Fu << true << -3
                                    << QStringList{read + "0x0000001F", fail + "0x0000001F"} << -1 << false;
    QTest::newRow("block wrong reply") << block << QByteArray("n1") << 0x1234u << true << -1
                                       << QStringList{"Get flash crc,and return error command"} << -1 << false;
}

void FlashRulesTest::crc_replies_judged()
{
    QFETCH(int, check);
    QFETCH(QByteArray, head);
    QFETCH(uint, value);
    QFETCH(bool, done);
    QFETCH(int, result);
    QFETCH(QStringList, lines);
    QFETCH(int, progress);
    QFETCH(bool, passed);
    uint8_t reply[kReplyLen] = {uint8_t(head[0]), uint8_t(head[1])};
    for (int i = 0; i < 4; ++i)
        reply[2 + i] = uint8_t(value >> (8 * i));
    const FlashCrcJob job{FlashCrcCheck(check), 0x80000, 1000, 0x1234, 0x1111, 0x2222, 1};
    const FlashCrcStep step = judge_flash_crc_reply(job, reply);
    QCOMPARE(step.done, done);
    QCOMPARE(step.result, result);
    QCOMPARE(step.log_lines, lines);
    QCOMPARE(step.progress, progress);
    QCOMPARE(step.passed, passed);
    QCOMPARE(step.wrong_reply, head[0] != '~');
}

void FlashRulesTest::crc_fail_lines_data()
{
    QTest::addColumn<uint>("value");
    QTest::addColumn<QString>("upper");
    QTest::addColumn<QString>("lower");
    QTest::newRow("top bit") << 0x8000000Au << "Check flash CRC fail,return CRC Value: 0x8000000A"
                             << "Check flash CRC fail,return CRC Value: 0x8000000a";
    QTest::newRow("small") << 0x1Fu << "Check flash CRC fail,return CRC Value: 0x0000001F"
                           << "Check flash CRC fail,return CRC Value: 0x1f";
}

void FlashRulesTest::crc_fail_lines()
{
    QFETCH(uint, value);
    QFETCH(QString, upper);
    QFETCH(QString, lower);
    QCOMPARE(flash_text::fail_line_hex32(value), upper);
    QCOMPARE(flash_text::fail_line_lower(value), lower);
    QCOMPARE(flash_text::block_request_line(value, 16), QStringLiteral("Crc Value: ") + upper.right(10) + ",16");
}

void FlashRulesTest::image_names_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("diff");
    QTest::newRow(".diff") << "/tmp/a.diff" << true;
    QTest::newRow("only .diff") << ".diff" << true;
    QTest::newRow(".DIFF") << "/tmp/a.DIFF" << false;
    QTest::newRow(".diff.bin") << "/tmp/a.diff.bin" << false;
    QTest::newRow("diff") << "diff" << false;
    QTest::newRow(".bin") << "/tmp/a.bin" << false;
}

void FlashRulesTest::image_names()
{
    QFETCH(QString, name);
    QFETCH(bool, diff);
    QCOMPARE(is_diff_image_name(name), diff);
    // Whatever the content, the name alone picks the rules.
    QCOMPARE(check_flash_image(QByteArray(40, '\0'), name).is_diff, diff);
}

namespace {
QByteArray counting(int n)
{
    QByteArray b(n, '\0');
    for (int i = 0; i < n; ++i)
        b[i] = char(i * 7 + 3);
    return b;
}

QByteArray with_info(QByteArray file, uint32_t len, uint32_t crc, uint32_t complement)
{
    put_u32le(file, 372, len);
    put_u32le(file, 376, crc);
    put_u32le(file, 380, complement);
    return file;
}

void put_u32be(QByteArray& f, int at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        f[at + i] = char((v >> (24 - 8 * i)) & 0xFF);
}

// A .diff whose header holds both CRCs right.
QByteArray good_diff(const QByteArray& records, uint32_t dblk_lenght)
{
    QByteArray f(32, '\0');
    put_u32be(f, 0, 0x00000007);
    put_u32be(f, 4, dblk_lenght);
    put_u32be(f, 8, boot_crc32(records));
    put_u32be(f, 12, 1);
    put_u32be(f, 16, 4000000000u);
    put_u32be(f, 20, 0xCAFEF00D);
    put_u32be(f, 24, 0x0000ABCD);
    put_u32be(f, 28, boot_crc32(f, 28));
    return f + records;
}
}  // namespace

void FlashRulesTest::bin_info_block_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("has_info");
    QTest::addColumn<uint>("info_crc");

    QTest::newRow("valid") << with_info(counting(400), 400, 0x12345678, ~0x12345678u) << 1 << 0x12345678u;
    QTest::newRow("valid at 384 bytes") << with_info(counting(384), 384, 0x0, 0xFFFFFFFF) << 1 << 0u;
    QTest::newRow("length off by one") << with_info(counting(400), 401, 0x12345678, ~0x12345678u) << 0
                                       << 0x12345678u;
    QTest::newRow("complement wrong") << with_info(counting(400), 400, 0x12345678, 0x12345678) << 0 << 0x12345678u;
    // Too short for the block: the file's own CRC stands in for FlashCRC.
    QTest::newRow("383 bytes") << counting(383) << 0 << boot_crc32(counting(383));
    QTest::newRow("empty") << QByteArray() << 0 << 0u;
}

void FlashRulesTest::bin_info_block()
{
    QFETCH(QByteArray, file);
    QFETCH(int, has_info);
    QFETCH(uint, info_crc);
    const FlashImageCheck c = check_flash_image(file, QStringLiteral("image.bin"));
    QVERIFY(!c.is_diff);
    QVERIFY(c.ok);
    QVERIFY(c.log_lines.isEmpty());
    QCOMPARE(c.len, file.size());
    QCOMPARE(c.crc, boot_crc32(file));
    QCOMPARE(c.has_info, has_info);
    QCOMPARE(c.info_crc, info_crc);
    QString label = QStringLiteral("Flash code, FileCRC = ") + hex32_text(c.crc);
    if (has_info)
        label += QStringLiteral("  FlashCRC = ") + hex32_text(info_crc);
    QCOMPARE(c.label, label + QStringLiteral("  Len = ") + QString::number(file.size()));
}

void FlashRulesTest::diff_header_and_log()
{
    const QByteArray records = counting(100);
    const FlashImageCheck c = check_flash_image(good_diff(records, 0x80000000), QStringLiteral("u.diff"));
    QVERIFY(c.is_diff);
    QVERIFY(c.ok);
    QCOMPARE(c.len, 132);
    QCOMPARE(c.diff_info[kNFileCrc], 0xCAFEF00Du);
    const QStringList expected = {
        "file_diff_info.diff_index :0x00000007",
        "file_diff_info.dblk_lenght:2147483648",
        "file_diff_info.dblk_crc   :" + hex32_text(boot_crc32(records)),
        "file_diff_info.dblk_number:0x00000001",
        "file_diff_info.nFile_lenght:4000000000",
        "file_diff_info.nFile_crc  :0xCAFEF00D",
        "file_diff_info.nFile_ui_crc:0x0000ABCD",
        "file_diff_info.diff_para_crc:" + hex32_text(c.diff_info[kDiffParaCrc]),
        "par_tCRC:" + hex32_text(c.diff_info[kDiffParaCrc]),
        "blk_tCRC:" + hex32_text(boot_crc32(records)),
    };
    QCOMPARE(c.log_lines, expected);
    // The block area's CRC and dblk_lenght, signed, not the whole file's.
    QCOMPARE(c.label, "Flash code, FileCRC = " + hex32_text(boot_crc32(records)) + "  Len = -2147483648");
}

void FlashRulesTest::diff_integrity_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<bool>("ok");

    QByteArray bad_para = good_diff(counting(50), 50);
    bad_para[0] = 1;
    QByteArray bad_blk = good_diff(counting(50), 50);
    bad_blk[40] = char(bad_blk[40] ^ 1);

    QTest::newRow("records") << good_diff(counting(50), 50) << true;
    QTest::newRow("32 bytes") << good_diff(QByteArray(), 0) << true;
    QTest::newRow("bad par_tCRC") << bad_para << false;
    QTest::newRow("bad blk_tCRC") << bad_blk << false;
    // All-zero headers pass both CRCs (the boot CRC of zeros is 0), so a short
    // file must be refused for its length.
    QTest::newRow("empty") << QByteArray() << false;
    QTest::newRow("31 zero bytes") << QByteArray(31, '\0') << false;
    QTest::newRow("header cut short") << good_diff(QByteArray(), 0).left(20) << false;
}

void FlashRulesTest::diff_integrity()
{
    QFETCH(QByteArray, file);
    QFETCH(bool, ok);
    const FlashImageCheck c = check_flash_image(file, QStringLiteral("u.diff"));
    QCOMPARE(c.ok, ok);
    QCOMPARE(c.log_lines.size(), 10);
    QCOMPARE(c.error, ok ? QString() : QStringLiteral("Illegal document"));
    QCOMPARE(c.label.isEmpty(), !ok);
    QCOMPARE(c.len, file.size());
    if (file.size() < kDiffHeaderLen) {
        // The words the file does not hold read as 0.
        const DiffHeader h = Parse_DiffHeader(file);
        for (int i = file.size() / 4; i < kDiffHeaderWords; ++i)
            QCOMPARE(h[size_t(i)], 0u);
    }
}

QTEST_GUILESS_MAIN(FlashRulesTest)
#include "test_flash_rules.moc"
