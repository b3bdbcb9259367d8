// The pure core: CRC, reply gathering, config.ini line rules, catalogue and
// the connect/run frames, each against values worked out by hand.

#include <QtTest>
#include <chrono>

#include "platform/platform.h"
#include "protocol/catalogue.h"
#include "protocol/config_lines.h"
#include "protocol/connect_frame.h"
#include "protocol/crc32.h"
#include "protocol/frame.h"
#include "protocol/reply_gather.h"

class CoreTest : public QObject {
    Q_OBJECT

private slots:
    void crc_check_values_data();
    void crc_check_values();
    void crc_against_bitwise_data();
    void crc_against_bitwise();

    void gathering_data();
    void gathering();
    void gathering_keeps_partial_reply_in_front();

    void config_line_rules_data();
    void config_line_rules();
    void config_composition();

    void catalogue_values();
    void catalogue_sets_data();
    void catalogue_sets();
    void catalogue_labels_and_lookup();
    void catalogue_facts_data();
    void catalogue_facts();

    void connect_request_layout();
    void connect_nonce_from_local_time();
    void connect_reply_fields();
    void pacing_from_link_code_data();
    void pacing_from_link_code();
    void run_request_layout();
    void delay_us_never_short_data();
    void delay_us_never_short();
};

void CoreTest::crc_check_values_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<uint>("crc");
    QTest::newRow("digits") << QByteArray("123456789") << 0x2DFD2D88u;
    QTest::newRow("abc") << QByteArray("abc") << 0xCA6598D0u;
    QTest::newRow("L") << QByteArray("L") << 0x7F6A0DBBu;
    QTest::newRow("empty") << QByteArray() << 0u;
}

void CoreTest::crc_check_values()
{
    QFETCH(QByteArray, data);
    QFETCH(uint, crc);
    QCOMPARE(boot_crc32(data), crc);
}

namespace {
// The boot loader's definition, one bit at a time: what the library's
// folding must reproduce for every length and alignment.
uint32_t bitwise_boot_crc32(const uint8_t* data, size_t len)
{
    uint32_t crc = 0;
    for (size_t i = 0; i < len; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return crc;
}
}  // namespace

void CoreTest::crc_against_bitwise_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("start");  // offset into the buffer: unaligned starts
    for (int length : {0, 1, 7, 8, 63, 64, 4095, 1 << 20})
        QTest::addRow("%d bytes", length) << length << 0;
    QTest::newRow("4095 bytes from offset 3") << 4095 << 3;
    QTest::newRow("1 MiB from offset 1") << (1 << 20) << 1;
}

void CoreTest::crc_against_bitwise()
{
    QFETCH(int, length);
    QFETCH(int, start);
    QByteArray buffer(start + length, '\0');
    QRandomGenerator rng(uint(length * 31 + start));
    for (char& c : buffer)
        c = char(rng.generate());
    const auto* data = reinterpret_cast<const uint8_t*>(buffer.constData()) + start;
    QCOMPARE(boot_crc32(data, size_t(length)), bitwise_boot_crc32(data, size_t(length)));
}

namespace {
QByteArray counting(int n, int first = 0)
{
    QByteArray b(n, '\0');
    for (int i = 0; i < n; ++i)
        b[i] = char((first + i) & 0xFF);
    return b;
}
}  // namespace

void CoreTest::gathering_data()
{
    // Chunks delivered one after another; what rx_buf[0..62] then holds.
    QTest::addColumn<QList<QByteArray>>("chunks");
    QTest::addColumn<int>("ready");
    QTest::addColumn<int>("len");
    QTest::addColumn<QByteArray>("reply");

    QTest::newRow("63 in one chunk") << QList<QByteArray>{counting(63)} << 1 << 0 << counting(63);
    QTest::newRow("64 keeps bytes 1..63") << QList<QByteArray>{counting(64)} << 1 << 0 << counting(63, 1);
    QTest::newRow("30 then 33") << QList<QByteArray>{counting(30), counting(33, 30)} << 1 << 0 << counting(63);
    QTest::newRow("2000 keeps 961..1023") << QList<QByteArray>{counting(2000)} << 1 << 0 << counting(63, 961);
    QTest::newRow("62 is not yet a reply") << QList<QByteArray>{counting(62)} << 0 << 62 << QByteArray();
    QTest::newRow("empty delivery at 62") << QList<QByteArray>{counting(62), QByteArray()} << 0 << 62 << QByteArray();
    QTest::newRow("empty delivery alone") << QList<QByteArray>{QByteArray()} << 0 << 0 << QByteArray();
}

void CoreTest::gathering()
{
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(int, ready);
    QFETCH(int, len);
    QFETCH(QByteArray, reply);

    uint8_t rx_buf[kRxBufLen] = {};
    int rx_len = 0;
    bool rx_ready = false;
    for (const QByteArray& c : chunks)
        gather_chunk(c.constData(), c.size(), rx_buf, rx_len, rx_ready);
    QCOMPARE(int(rx_ready), ready);
    QCOMPARE(rx_len, len);
    if (!reply.isEmpty())
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(rx_buf), 63), reply);
}

void CoreTest::gathering_keeps_partial_reply_in_front()
{
    // 20 bytes left over by an earlier command stay in front of the next reply.
    uint8_t rx_buf[kRxBufLen] = {};
    int rx_len = 0;
    bool rx_ready = false;
    const QByteArray stale(20, 'x');
    const QByteArray reply = counting(63);
    gather_chunk(stale.constData(), stale.size(), rx_buf, rx_len, rx_ready);
    QCOMPARE(rx_ready, false);
    gather_chunk(reply.constData(), reply.size(), rx_buf, rx_len, rx_ready);
    QCOMPARE(rx_ready, true);
    QCOMPARE(rx_len, 0);
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(rx_buf), 63), stale + reply.left(43));
}

void CoreTest::config_line_rules_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("checked");
    QTest::addColumn<int>("bl_set");
    QTest::addColumn<int>("wait_index");

    QTest::newRow("written defaults") << "EWHOLE:0" << false << 0 << 0;
    QTest::newRow("10 has a 1") << "EWHOLE:10" << true << 1 << 0;
    QTest::newRow("12 gives 1") << "BLSET:12" << true << 1 << 2;
    QTest::newRow("2 alone") << "BLSET:2" << false << 2 << 2;
    QTest::newRow("7 selects 8ms") << "WAITT:7" << false << 0 << 7;
    QTest::newRow("8 selects beyond the box") << "WAITT:8" << false << 0 << 8;
    QTest::newRow("9 does not count") << "WAITT:9" << false << 0 << 3;
    QTest::newRow("last usable digit wins") << "WAITT:59" << false << 0 << 5;
    QTest::newRow("no value") << "WAITT:" << false << 0 << 3;
    QTest::newRow("empty") << "" << false << 0 << 3;
    QTest::newRow("non-latin digits ignored") << QString::fromUtf8("WAITT:٣") << false << 0 << 3;
}

void CoreTest::config_line_rules()
{
    QFETCH(QString, line);
    QFETCH(bool, checked);
    QFETCH(int, bl_set);
    QFETCH(int, wait_index);
    QCOMPARE(return_115200_from_line(line), checked);
    QCOMPARE(bl_set_from_line(line), bl_set);
    QCOMPARE(wait_index_from_line(line), wait_index);
}

void CoreTest::config_composition()
{
    QCOMPARE(compose_config(false, "./", "./", 0, 2), QString("EWHOLE:0\nNFLASH:0\n./\n./\nBLSET:0\nWAITT:2\n"));
    QCOMPARE(compose_config(true, "/a/m.bin", "/b/f.diff", 2, 7),
             QString("EWHOLE:1\nNFLASH:0\n/a/m.bin\n/b/f.diff\nBLSET:2\nWAITT:7\n"));
    // No entry selected (-1) or one beyond the box is written as 3.
    QVERIFY(compose_config(false, "", "", 0, -1).endsWith("WAITT:3\n"));
    QVERIFY(compose_config(false, "", "", 0, 8).endsWith("WAITT:3\n"));
    QCOMPARE(wait_ms_for_index(0), 1);
    QCOMPARE(wait_ms_for_index(7), 8);
    QCOMPARE(wait_ms_for_index(8), 3);
    QCOMPARE(wait_ms_for_index(-1), 3);
}

void CoreTest::catalogue_values()
{
    const QStringList names = {"VQ4410", "VQ210",  "VQ210 Uart0", "VQ230",  "VQ330",  "VQ250A",
                               "VQ250B", "VQ250C", "VQ250D",      "VQ350A", "VQ350B", "VQ360",
                               "VQ350C", "VQ350D", "VQ4420",      "VQ340",  "VQ470"};
    const uint32_t ids[] = {0x19714410, 0x19712100, 0x19710210, 0x19712300, 0x19713300, 0x1971250A,
                            0x1971250B, 0x1971250C, 0x1971250D, 0x1971350A, 0x1971350B, 0x19713600,
                            0x1971350C, 0x1971350D, 0x19714420, 0x19713400, 0x19714700};
    const uint32_t sizes[] = {0x1F8000, 0x76000, 0x76000, 0x76000, 0x76000, 0x76000, 0x1F8000, 0x76000, 0x76000,
                              0xE800,   0x74000, 0x74000, 0x74000, 0x74000, 0x74000, 0x70000,  0x1F8000};
    for (int i = 0; i < kChipModelCount; ++i) {
        QCOMPARE(model_name(i), names[i]);
        QCOMPARE(kChipModels[i].chip_id, ids[i]);
        QCOMPARE(kChipModels[i].max_mcu_size, sizes[i]);
        QCOMPARE(model_index_of(ids[i]), i);
    }
    QCOMPARE(kUnknownChipId, 0x19710000u);
}

void CoreTest::catalogue_sets_data()
{
    QTest::addColumn<QString>("model");
    QTest::addColumn<bool>("run_address");
    QTest::addColumn<bool>("flash128");
    QTest::addColumn<bool>("reserved");
    const char* rows[][4] = {
        {"VQ4410", "0", "1", "0"}, {"VQ210", "0", "1", "1"},  {"VQ210 Uart0", "0", "1", "1"},
        {"VQ230", "0", "0", "1"},  {"VQ330", "0", "0", "1"},  {"VQ250A", "0", "1", "0"},
        {"VQ250B", "0", "1", "0"}, {"VQ250C", "0", "0", "1"}, {"VQ250D", "0", "0", "1"},
        {"VQ350A", "0", "0", "0"}, {"VQ350B", "1", "1", "0"}, {"VQ360", "1", "1", "0"},
        {"VQ350C", "1", "1", "0"}, {"VQ350D", "1", "1", "0"}, {"VQ4420", "1", "1", "0"},
        {"VQ340", "0", "1", "0"},  {"VQ470", "0", "1", "0"},
    };
    for (const auto& r : rows)
        QTest::newRow(r[0]) << QString(r[0]) << (r[1][0] == '1') << (r[2][0] == '1') << (r[3][0] == '1');
}

void CoreTest::catalogue_sets()
{
    QFETCH(QString, model);
    QFETCH(bool, run_address);
    QFETCH(bool, flash128);
    QFETCH(bool, reserved);
    int index = -1;
    for (int i = 0; i < kChipModelCount; ++i) {
        if (model_name(i) == model)
            index = i;
    }
    QVERIFY(index >= 0);
    const uint32_t id = kChipModels[index].chip_id;
    QCOMPARE(in_run_address_set(id), run_address);
    QCOMPARE(in_flash_set_128m(id), flash128);
    QCOMPARE(in_reserved_area_set(id), reserved);
    QCOMPARE(chip_model(id).app == AppStore::ExternalFlash, model == "VQ210 Uart0");
    QCOMPARE(chip_model(id).packets == PacketForm::Narrow64, model == "VQ350A");
}

void CoreTest::catalogue_labels_and_lookup()
{
    QCOMPARE(version_label(0x19710210), QString("VQ210 Boot_Version:"));
    QCOMPARE(version_label(0x19712100), QString("VQ210 Boot_Version:"));
    QCOMPARE(version_label(0x1971350A), QString("VQ350A Boot_Version:"));
    QCOMPARE(version_label(0x19714700), QString("VQ470 Boot_Version:"));
    // An ID in no entry gets the first model's limits.
    QCOMPARE(model_index_of(kUnknownChipId), 0);
    QCOMPARE(kChipModels[model_index_of(kUnknownChipId)].max_mcu_size, 2064384u);
    QVERIFY(!in_flash_set_128m(kUnknownChipId));
    QVERIFY(!in_reserved_area_set(kUnknownChipId));
}

void CoreTest::catalogue_facts_data()
{
    // Packet size, where the application lives, the flash image's base, the
    // MCU update's limit and the version label's name.
    QTest::addColumn<uint>("id");
    QTest::addColumn<QString>("facts");
    const struct {
        const char* model;
        uint id;
        const char* facts;
    } rows[] = {
        {"VQ4410", 0x19714410, "512 internal 0x0 0x1f8000 VQ4410"},
        {"VQ210", 0x19712100, "512 internal 0x0 0x76000 VQ210"},
        {"VQ210 Uart0", 0x19710210, "512 external 0x80000 0x76000 VQ210"},
        {"VQ230", 0x19712300, "512 internal 0x0 0x76000 VQ230"},
        {"VQ330", 0x19713300, "512 internal 0x0 0x76000 VQ330"},
        {"VQ250A", 0x1971250A, "512 internal 0x0 0x76000 VQ250A"},
        {"VQ250B", 0x1971250B, "512 internal 0x0 0x1f8000 VQ250B"},
        {"VQ250C", 0x1971250C, "512 internal 0x0 0x76000 VQ250C"},
        {"VQ250D", 0x1971250D, "512 internal 0x0 0x76000 VQ250D"},
        {"VQ350A", 0x1971350A, "64 internal 0x0 0xe800 VQ350A"},
        {"VQ350B", 0x1971350B, "512 internal 0x0 0x77800 VQ350B"},
        {"VQ360", 0x19713600, "512 internal 0x0 0x77800 VQ360"},
        {"VQ350C", 0x1971350C, "512 internal 0x0 0x77800 VQ350C"},
        {"VQ350D", 0x1971350D, "512 internal 0x0 0x77800 VQ350D"},
        {"VQ4420", 0x19714420, "512 internal 0x0 0x75800 VQ4420"},
        {"VQ340", 0x19713400, "512 internal 0x0 0x70000 VQ340"},
        {"VQ470", 0x19714700, "512 internal 0x0 0x1f8000 VQ470"},
        // An ID in no row: the first model's name and limits.
        {"unlisted", 0x19719999, "512 internal 0x0 0x1f8000 VQ4410"},
    };
    for (const auto& r : rows)
        QTest::newRow(r.model) << r.id << QString(r.facts);
}

void CoreTest::catalogue_facts()
{
    QFETCH(uint, id);
    QFETCH(QString, facts);
    const ChipModel& m = chip_model(id);
    const QString label = version_label(id);
    QVERIFY(label.endsWith(" Boot_Version:"));
    const QStringList got = {m.packets == PacketForm::Narrow64 ? "64" : "512",
                             m.app == AppStore::ExternalFlash ? "external" : "internal",
                             "0x" + QString::number(m.flash_image_base, 16),
                             "0x" + QString::number(m.mcu_update_limit, 16), label.chopped(14)};
    QCOMPARE(got.join(' '), facts);
    // Where the run-address rule does not apply, the update's limit is the catalogued size.
    if (!in_run_address_set(id))
        QCOMPARE(m.mcu_update_limit, m.max_mcu_size);
}

void CoreTest::connect_request_layout()
{
    const uint32_t nonce = 0x11223344;
    const uint32_t chip = 0x1971350A;
    const QByteArray f = build_connect_request('0', nonce, chip, 9, 0x01ABCDEF, 0x00123456);
    QCOMPARE(f.size(), 64);
    QCOMPARE(f.left(8), QByteArray::fromHex("4b30565144332211"));
    // First CRC: over the first eight bytes followed by the chip ID, which is not sent.
    QCOMPARE(get_u32le(f, 8), boot_crc32(QByteArray::fromHex("4b30565144332211") + QByteArray::fromHex("0a357119")));
    QCOMPARE(f.mid(12, 4), QByteArray::fromHex("e8170000"));
    QCOMPARE(uint8_t(f[16]), uint8_t(9));
    // Only the low three bytes of the MCU image length travel.
    QCOMPARE(f.mid(17, 3), QByteArray::fromHex("efcdab"));
    QCOMPARE(f.mid(20, 4), QByteArray::fromHex("56341200"));
    QCOMPARE(f.mid(24, 8), QByteArray(8, '\0'));
    QCOMPARE(get_u32le(f, 32), boot_crc32(f, 32));
    QCOMPARE(f.mid(36), QByteArray(28, '\0'));

    const uint32_t signature = boot_crc32(f.left(8) + QByteArray::fromHex("0a357119") + QByteArray("ZKMB"));
    QCOMPARE(reply_signature(f, chip), signature);
    QVERIFY(reply_signature(f, 0x1971350B) != signature);
}

void CoreTest::connect_nonce_from_local_time()
{
    const platform::LocalTime t{2026, 12, 7, 19, 56, 21, 345};
    QCOMPARE(connect_nonce(t), uint32_t(12 * 1036800 + 7 * 86400 + 19 * 3600 + 56 * 60 + 21 + 26 * 345));
    // Before 2000 the product wraps around instead of going negative.
    const platform::LocalTime old{1999, 1, 1, 0, 0, 0, 5};
    QCOMPARE(connect_nonce(old), uint32_t(1036800 + 86400) - 5u);
}

void CoreTest::connect_reply_fields()
{
    uint8_t reply[63] = {};
    reply[0] = 'K';
    const uint8_t sig[] = {0x78, 0x56, 0x34, 0x12};
    memcpy(reply + 1, sig, 4);
    const uint8_t version[] = {0x52, 0x03, 0x00, 0x00};
    memcpy(reply + 9, version, 4);
    const uint8_t code[] = {0x81, 0x00, 0xBA, 0xEE};
    memcpy(reply + 13, code, 4);
    ConnectReply r = parse_connect_reply(reply);
    QCOMPARE(r.signature, 0x12345678u);
    QCOMPARE(r.boot_version, 0x352u);
    QCOMPARE(r.link_code, 0xEEBA0081u);
    QVERIFY(!r.vcom);
    QVERIFY(!r.no_wait);
    reply[17] = 'V';
    reply[18] = 'v';
    reply[30] = 'x';
    reply[31] = 0x87;
    r = parse_connect_reply(reply);
    QVERIFY(r.vcom);
    QVERIFY(r.no_wait);
    reply[18] = 'V';  // both letters must match exactly
    reply[31] = 0x86;
    r = parse_connect_reply(reply);
    QVERIFY(!r.vcom);
    QVERIFY(!r.no_wait);
}

void CoreTest::pacing_from_link_code_data()
{
    QTest::addColumn<uint>("code");
    QTest::addColumn<int>("current");
    QTest::addColumn<int>("pacing");
    QTest::newRow("0080") << 0xEEBA0080u << 50 << 125;
    QTest::newRow("0081") << 0xEEBA0081u << 125 << 50;
    QTest::newRow("0020") << 0xEEBA0020u << 50 << 125;
    QTest::newRow("zero keeps") << 0u << 50 << 50;
    QTest::newRow("unknown keeps") << 0xEEBA0082u << 125 << 125;
}

void CoreTest::pacing_from_link_code()
{
    QFETCH(uint, code);
    QFETCH(int, current);
    QFETCH(int, pacing);
    QCOMPARE(pacing_for_link_code(code, current), pacing);
}

void CoreTest::run_request_layout()
{
    const QByteArray f = build_run_request(0x08008000);
    QCOMPARE(f.size(), 64);
    QCOMPARE(f.left(12), QByteArray::fromHex("4f0080000800000000000000"));
    QCOMPARE(get_u32le(f, 12), boot_crc32(QByteArray::fromHex("4f0080000800000000000000")));
    QCOMPARE(f.mid(16), QByteArray(48, '\0'));
}

void CoreTest::delay_us_never_short_data()
{
    QTest::addColumn<int>("us");
    QTest::newRow("short pacing") << 50;
    QTest::newRow("long pacing") << 125;
}

// An adapter's chip may drop a block sent before its pause is over: no call
// may return early, however the kernel happens to wake the thread.
void CoreTest::delay_us_never_short()
{
    QFETCH(int, us);
    using clock = std::chrono::steady_clock;
    for (int call = 0; call < 5000; ++call) {
        const auto start = clock::now();
        platform::delay_us(us);
        const auto took = std::chrono::duration_cast<std::chrono::nanoseconds>(clock::now() - start).count();
        QVERIFY2(took >= us * 1000LL, qPrintable(QString("call %1: %2 ns").arg(call).arg(took)));
    }
}

QTEST_APPLESS_MAIN(CoreTest)
#include "test_core.moc"
