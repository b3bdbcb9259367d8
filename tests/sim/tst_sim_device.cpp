#include <QtTest>

#include "hand_frames.h"
#include "protocol/catalogue.h"
#include "sim_device.h"

using namespace hand;

namespace {

constexpr uint32_t kVq4410 = 0x19714410;
constexpr uint32_t kVq210 = 0x19712100;
constexpr uint32_t kVq350B = 0x1971350B;  // places the image by its run address

SimConfig config_for(uint32_t chip, bool vcom = false)
{
    SimConfig c;
    c.chip_id = chip;
    c.vcom = vcom;
    return c;
}

QList<QByteArray> feed_all(SimDevice& d, const QList<QByteArray>& frames)
{
    QList<QByteArray> replies;
    for (const QByteArray& f : frames)
        replies += d.feed(f);
    return replies;
}

// "0:504 1:508 ..." from what the device recorded: variant or letter, and length.
QString layout_of(const QVector<SimFrame>& frames)
{
    QStringList parts;
    for (const SimFrame& f : frames)
        parts += QStringLiteral("%1:%2").arg(QChar(f.kind == FrameKind::ProgramPart ? f.variant : f.letter)).arg(f.length);
    return parts.join(' ');
}

QString repeated(const QString& part, int times)
{
    QStringList parts;
    for (int i = 0; i < times; ++i)
        parts += part;
    return parts.join(' ');
}

}  // namespace

class TestSimDevice : public QObject {
    Q_OBJECT

private slots:
    void connect_reply_data();
    void connect_reply();
    void connect_golden_frame();
    void mcu_commands();
    void mcu_erased_range_data();
    void mcu_erased_range();
    void mcu_crc_start_by_model();
    void faults_skip_blocks();
    void flash_id_replies_data();
    void flash_id_replies();
    void bad_crc_refused_data();
    void bad_crc_refused();
    void chunking_data();
    void chunking();
    void block_streams_data();
    void block_streams();
    void broken_streams_data();
    void broken_streams();
    void l_after_stream_is_block_write();
    void flash_crc_replies_data();
    void flash_crc_replies();
    void crc_timing_data();
    void crc_timing();
    void sparse_crc_data();
    void sparse_crc();
    void faults_data();
    void faults();
    void faulty_reply_still_executes();
    void resync_and_boot_mode();
    void halt_after();
    void halt_after_blocks_data();
    void block_faults_count_blocks_data();
    void block_faults_count_blocks();
    void halt_after_blocks();
    void own_crc_check_values_data();
    void own_crc_check_values();
    void reconfigure();
};

void TestSimDevice::connect_reply_data()
{
    QTest::addColumn<bool>("flags");  // virtual COM and "no need to wait"
    QTest::addColumn<uint>("expected_chip");
    QTest::addColumn<bool>("corrupt");
    QTest::addColumn<int>("baud");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<int>("rate_after");

    QTest::newRow("own ID, no flags, no baud change") << false << uint(kVq4410) << false << 0x7F << true << 115200;
    QTest::newRow("own ID, switch to 1382400") << true << uint(kVq4410) << false << 9 << true << 1382400;
    QTest::newRow("own ID, switch to 9600") << true << uint(kVq4410) << false << 0 << true << 9600;
    QTest::newRow("rate index beyond the table") << true << uint(kVq4410) << false << 11 << true << 115200;
    QTest::newRow("another chip's ID") << true << uint(kVq210) << false << 9 << false << 115200;
    QTest::newRow("unknown chip ID") << false << uint(kUnknownChipId) << false << 0x7F << false << 115200;
    QTest::newRow("bad second CRC") << true << uint(kVq4410) << true << 9 << false << 115200;
}

void TestSimDevice::connect_reply()
{
    QFETCH(bool, flags);
    QFETCH(uint, expected_chip);
    QFETCH(bool, corrupt);
    QFETCH(int, baud);
    QFETCH(bool, accepted);
    QFETCH(int, rate_after);

    SimConfig c = config_for(kVq4410, flags);
    c.no_wait_flag = flags;
    c.boot_version = 0x00020107;
    c.link_code = 0xEEBA0081;
    SimDevice d(c);
    QByteArray request = connect_request('0', expected_chip, baud, 0x12345678, 0x89ABCDEF);
    if (corrupt)
        request[33] = char(request[33] ^ 0x01);

    const QList<QByteArray> replies = d.feed(request);
    QCOMPARE(replies.size(), 1);
    const QByteArray r = replies.first();
    QCOMPARE(r.size(), 63);
    QCOMPARE(r.at(0), 'K');
    QCOMPARE(read_le32(r, 1) == signature(request, expected_chip), accepted);
    QCOMPARE(read_le32(r, 9), 0x00020107u);
    QCOMPARE(read_le32(r, 13), 0xEEBA0081u);
    QCOMPARE(r.mid(17, 2), flags ? QByteArray("Vv") : QByteArray(2, '\0'));
    QCOMPARE(r.mid(30, 2), flags ? bytes({'x', 0x87}) : QByteArray(2, '\0'));
    QCOMPARE(d.rate_in_force(), rate_after);
    QCOMPARE(d.last_connect().accepted, accepted);
    QCOMPARE(int(d.last_connect().baud_request), baud);
    QCOMPARE(d.last_connect().mcu_image_len, 0x345678u);  // only the low three bytes travel
    QCOMPARE(d.last_connect().flash_image_len, 0x89ABCDEFu);
}

// Values worked out independently of the tool's CRC routine.
void TestSimDevice::connect_golden_frame()
{
    const QByteArray request = padded(
        QByteArray::fromHex("4b30565104030201f0f57708e81700007f000000000000000000000000000000ac54e2c7"), 64);
    SimDevice d(config_for(kVq4410));
    const QList<QByteArray> replies = d.feed(request);
    QCOMPARE(replies.size(), 1);
    QCOMPARE(read_le32(replies.first(), 1), 0x5EB65C8Cu);
    QCOMPARE(d.frames().first().variant, '0');
    QVERIFY(d.frames().first().crc_ok);
}

void TestSimDevice::mcu_commands()
{
    SimDevice d(config_for(kVq350B));
    const QByteArray first = bytes({0x0F, 0xF0, 0x55, 0xAA});
    QCOMPARE(d.feed(program(0x100, first)), QList<QByteArray>{padded("J", 63)});
    QCOMPARE(d.internal_flash().mid(0x100, 4), first);

    // Without an erase in between the cells only lose bits.
    QCOMPARE(d.feed(program(0x100, bytes({0xF0, 0xFF, 0xFF, 0x00}))).first().left(2), bytes({'J', 0}));
    const QByteArray anded = bytes({0x00, 0xF0, 0x55, 0x00});
    QCOMPARE(d.internal_flash().mid(0x100, 4), anded);
    QCOMPARE(read_le32(d.feed(mcu_crc(0x100, 4)).first(), 1), boot_crc32(anded));

    const QByteArray erase_literal = padded(QByteArray::fromHex("4c0001000000030000fe45979c"), 64);
    QCOMPARE(d.feed(erase_literal).first().left(2), bytes({'L', 0}));
    QCOMPARE(d.internal_flash().mid(0x100, 0x200), QByteArray(0x200, '\xFF'));
    const QByteArray crc_reply = d.feed(mcu_crc(0x100, 256, 0xF33E2D79)).first();
    QCOMPARE(crc_reply.at(0), 'N');
    QCOMPARE(read_le32(crc_reply, 1), 0xF33E2D79u);

    QCOMPARE(d.feed(program(0x200, QByteArray())).first().left(2), bytes({'J', 0}));  // a 12-byte frame
    const uint32_t size = d.config().internal_flash_size;
    QCOMPARE(d.feed(erase(0, size + 1)).first().left(2), bytes({'L', sim_status::kOutOfRange}));
    QCOMPARE(d.feed(program(size - 2, first)).first().left(2), bytes({'J', sim_status::kOutOfRange}));
    QCOMPARE(read_le32(d.feed(mcu_crc(0xF7FF8000, 16)).first(), 1), 0u);  // a run address of 0

    QVERIFY(d.feed(run()).isEmpty());
    QVERIFY(d.app_started());
    QCOMPARE(d.run_address(), 0x08008000u);
}

// After an erase only its range takes programming; what lies outside is
// refused with a status the host retries, and keeps its contents.
void TestSimDevice::mcu_erased_range_data()
{
    QTest::addColumn<uint>("offset");
    QTest::addColumn<int>("len");
    QTest::addColumn<int>("status");
    QTest::newRow("inside") << 0x1000u << 16 << int(sim_status::kOk);
    QTest::newRow("whole range") << 0x1000u << 0x800 << int(sim_status::kOk);
    QTest::newRow("empty at the end") << 0x1800u << 0 << int(sim_status::kOk);
    QTest::newRow("one byte past the end") << 0x17F0u << 17 << int(sim_status::kOutOfRange);
    QTest::newRow("one byte before the start") << 0xFFFu << 16 << int(sim_status::kOutOfRange);
    QTest::newRow("far beyond") << 0x100000u << 16 << int(sim_status::kOutOfRange);
}

void TestSimDevice::mcu_erased_range()
{
    QFETCH(uint, offset);
    QFETCH(int, len);
    QFETCH(int, status);
    SimDevice d(config_for(kVq4410));
    d.internal_flash().replace(0x0FF0, 0x820, QByteArray(0x820, '\x11'));
    QCOMPARE(d.feed(erase(0x1000, 0x1800)).first().left(2), bytes({'L', 0}));
    QCOMPARE(d.internal_flash().mid(0x1000, 0x800), QByteArray(0x800, '\xFF'));
    QCOMPARE(d.internal_flash().mid(0x0FF0, 16), QByteArray(16, '\x11'));
    const QByteArray data(len, '\x5A');
    QCOMPARE(d.feed(program(offset, data)).first().left(2), bytes({'J', status}));
    const QByteArray held = d.internal_flash().mid(int(offset), len);
    if (status == sim_status::kOk)
        QCOMPARE(held, data);
    else
        QVERIFY(held != data);

    // The J0/J1/J2 form answers the same way.
    SimDevice v(config_for(kVq4410, true));
    v.feed(erase(0x1000, 0x1800));
    const QList<QByteArray> replies = feed_all(v, j_frames(false, offset, data));
    QCOMPARE(replies.size(), 1);
    QCOMPARE(replies.first().left(2), bytes({'J', status}));
}

// A model that places the image by its run address computes from the offset
// the request names; the others always program from 0 and compute from there.
void TestSimDevice::mcu_crc_start_by_model()
{
    const QByteArray image = QByteArray::fromHex("00112233445566778899aabbccddeeff");
    for (uint32_t chip : {kVq350B, kVq4410}) {
        SimDevice d(config_for(chip));
        d.internal_flash().replace(0, image.size(), image);
        d.internal_flash().replace(0x8000, image.size(), image);
        QCOMPARE(read_le32(d.feed(mcu_crc(0x8000, 16)).first(), 1), boot_crc32(image));
        const uint32_t wrapped = read_le32(d.feed(mcu_crc(0xF7FF8000, 16)).first(), 1);
        QCOMPARE(wrapped, chip == kVq4410 ? boot_crc32(image) : 0u);
    }
    SimDevice d(config_for(kVq4410));
    d.internal_flash().replace(0, image.size(), image);
    QCOMPARE(read_le32(d.feed(mcu_crc(0x8000, 16)).first(), 1), boot_crc32(image));
}

// Faults may spare the first commands: block k of an update is refused or
// left unanswered, whichever form carries it.
void TestSimDevice::faults_skip_blocks()
{
    const QByteArray block(2048, '\x42');
    for (bool vcom : {false, true}) {
        SimDevice d(config_for(kVq4410, vcom));
        d.set_status('J', 7, 2, 1);
        d.set_silent('J', 1, 3);
        const auto send = [&](uint32_t at) {
            return vcom ? feed_all(d, j_frames(false, at, block)) : d.feed(program(at, block));
        };
        QCOMPARE(send(0).first().at(1), '\0');
        QCOMPARE(send(0x800).first().at(1), '\x07');
        QCOMPARE(send(0x800).first().at(1), '\x07');
        QVERIFY(send(0x800).isEmpty());  // the reply of the fourth block is lost
        QCOMPARE(send(0x1000).first().at(1), '\0');
        QCOMPARE(d.internal_flash().mid(0x800, 2048), block);  // executed all the same
    }
}

void TestSimDevice::flash_id_replies_data()
{
    QTest::addColumn<int>("variant");
    QTest::addColumn<bool>("fails");
    QTest::addColumn<QByteArray>("reply");

    QTest::newRow("variant 0") << 0 << false << (bytes({0x7D}) + le32(0x00C84018));
    QTest::newRow("variant 1") << 1 << false << (bytes({0x7D}) + le32(0x00EF4019));
    QTest::newRow("variant 0 fails") << 0 << true << bytes({'m', 0, 0, 0, 0});
    QTest::newRow("no variant 2") << 2 << false << bytes({'m', 0, 0, 0, 0});
}

void TestSimDevice::flash_id_replies()
{
    QFETCH(int, variant);
    QFETCH(bool, fails);
    QFETCH(QByteArray, reply);

    SimConfig c;
    c.flash_id = {0x00C84018, 0x00EF4019};
    c.flash_id_fails[0] = fails;
    SimDevice d(c);
    QCOMPARE(d.feed(flash_id(variant)).first().left(5), reply);

    QCOMPARE(d.feed(flash_mode(2)).first(), padded(bytes({0x7F}), 63));
    QCOMPARE(d.flash_mode(), 2);
}

void TestSimDevice::bad_crc_refused_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QList<QByteArray>>("replies");  // prefixes

    const auto flip = [](QByteArray f, int at) {
        f[at] = char(f[at] ^ 0x40);
        return f;
    };
    const QByteArray data = pattern(16);
    QTest::newRow("erase, CRC") << flip(erase(0, 16), 10) << QList<QByteArray>{bytes({'L', 3})};
    QTest::newRow("program, CRC") << flip(program(0, data), 8 + 16) << QList<QByteArray>{bytes({'J', 3})};
    QTest::newRow("program, data") << flip(program(0, data), 8) << QList<QByteArray>{bytes({'J', 3})};
    QTest::newRow("block write, CRC") << flip(block_write(0, 0, data), 27) << QList<QByteArray>{bytes({0x7C, 3})};
    QTest::newRow("block write, address") << flip(block_write(0, 0, data), 2) << QList<QByteArray>{bytes({0x7C, 3})};
    QTest::newRow("MCU CRC") << flip(mcu_crc(0, 16), 16) << QList<QByteArray>{bytes({'N', 0, 0, 0, 0})};
    QTest::newRow("flash CRC") << flip(flash_crc(0, 16), 14) << QList<QByteArray>{bytes({0x7E, '2', 0, 0, 0, 0})};
    QTest::newRow("run") << flip(run(), 13) << QList<QByteArray>{};
}

void TestSimDevice::bad_crc_refused()
{
    QFETCH(QByteArray, frame);
    QFETCH(QList<QByteArray>, replies);

    SimDevice d;
    d.internal_flash().replace(0, 16, QByteArray(16, '\0'));  // visible to an erase that slipped through
    const QByteArray internal_before = d.internal_flash();

    const QList<QByteArray> got = d.feed(frame);
    QCOMPARE(got.size(), replies.size());
    for (int i = 0; i < got.size(); ++i)
        QVERIFY2(got.at(i).startsWith(replies.at(i)), got.at(i).toHex().constData());
    QVERIFY(!d.frames().last().crc_ok);
    QVERIFY(d.internal_flash() == internal_before);
    QCOMPARE(d.external_flash().pages_in_use(), 0);
    QVERIFY(!d.app_started());
}

void TestSimDevice::chunking_data()
{
    QTest::addColumn<bool>("vcom");
    QTest::addColumn<int>("chunk");

    for (bool vcom : {false, true}) {
        for (int chunk : {1, 7, 63, 511, 100000})
            QTest::addRow("%s, %d-byte chunks", vcom ? "vcom" : "plain", chunk) << vcom << chunk;
    }
}

// The same bytes cut anywhere must give the same replies, records and memories.
void TestSimDevice::chunking()
{
    QFETCH(bool, vcom);
    QFETCH(int, chunk);

    const QByteArray block = pattern(2048, 7);
    QList<QByteArray> script = {connect_request('0', kVq4410), bytes({0x00, 0x42}), erase(0, 0x1000)};
    if (vcom) {
        script += j_frames(false, 0x800, block);
        script += packet_stream(false, 0x3000, 1, block);
    } else {
        script += program(0x800, block);
        script += block_write(0x3000, 1, block);
    }
    script += {block_write(0x5001, 0, block.left(5)), mcu_crc(0x800, 2048), flash_mode(1), flash_id(0),
               flash_crc(0x3000, 2053), run()};
    QByteArray stream;
    for (const QByteArray& f : script)
        stream += f;

    SimDevice whole(config_for(kVq4410, vcom));
    SimDevice cut(config_for(kVq4410, vcom));
    const QList<QByteArray> expected = whole.feed(stream);
    QList<QByteArray> got;
    for (int at = 0; at < stream.size(); at += chunk)
        got += cut.feed(stream.mid(at, chunk));

    QCOMPARE(expected.size(), 12);  // connect, erase, three blocks, N, o, m, and n with 3 progress reports
    QCOMPARE(got, expected);
    QCOMPARE(cut.frames().size(), whole.frames().size());
    for (int i = 0; i < cut.frames().size(); ++i)
        QCOMPARE(cut.frames().at(i).raw, whole.frames().at(i).raw);
    QCOMPARE(cut.received(), stream);
    QVERIFY(cut.internal_flash() == whole.internal_flash());
    QCOMPARE(cut.internal_flash().mid(0x800, 2048), block);
    QCOMPARE(cut.external_flash().read(0x3000, 2048), block);
    QVERIFY(cut.app_started());
}

void TestSimDevice::block_streams_data()
{
    QTest::addColumn<uint>("chip");
    QTest::addColumn<bool>("packets");  // j/k/l to the external flash, else J0/J1/J2 to the internal one
    QTest::addColumn<int>("n");
    QTest::addColumn<QString>("layout");

    const uint big = kVq4410;
    const uint small = kVq350AChipId;
    QTest::newRow("J 512: 2048") << big << false << 2048 << ("0:504 " + repeated("1:508", 3) + " 2:20");
    QTest::newRow("J 512: 504") << big << false << 504 << "0:504 2:0";
    QTest::newRow("J 512: 505") << big << false << 505 << "0:504 2:1";
    QTest::newRow("J 512: 1012") << big << false << 1012 << "0:504 1:508 2:0";
    QTest::newRow("J 64: 2048") << small << false << 2048 << ("0:2048 " + repeated("1:62", 32) + " 2:8");
    QTest::newRow("J 64: 56") << small << false << 56 << "0:56 2:0";
    QTest::newRow("J 64: 117") << small << false << 117 << "0:117 2:61";
    QTest::newRow("J 64: 118") << small << false << 118 << "0:118 1:62 2:0";
    QTest::newRow("jkl 512: 2048") << big << true << 2048 << ("j:504 " + repeated("k:509", 3) + " l:17");
    QTest::newRow("jkl 512: 2047") << big << true << 2047 << ("j:504 " + repeated("k:509", 3) + " l:16");
    QTest::newRow("jkl 512: 300") << big << true << 300 << "j:300 l:0";
    QTest::newRow("jkl 512: 504") << big << true << 504 << "j:504 l:0";
    QTest::newRow("jkl 512: 505") << big << true << 505 << "j:504 l:1";
    QTest::newRow("jkl 512: 1013") << big << true << 1013 << "j:504 k:509 l:0";
    QTest::newRow("jkl 64: 2048") << small << true << 2048 << ("j:57 " + repeated("k:62", 32) + " l:7");
    QTest::newRow("jkl 64: 57") << small << true << 57 << "j:57 l:0";
    QTest::newRow("jkl 64: 118") << small << true << 118 << "j:57 l:61";
    QTest::newRow("jkl 64: 119") << small << true << 119 << "j:57 k:62 l:0";
}

void TestSimDevice::block_streams()
{
    QFETCH(uint, chip);
    QFETCH(bool, packets);
    QFETCH(int, n);
    QFETCH(QString, layout);

    const bool small = chip == kVq350AChipId;
    SimDevice d(config_for(chip, true));
    const QByteArray block = pattern(n, n);
    const uint32_t at = 0x1800;
    const QList<QByteArray> frames = packets ? packet_stream(small, at, 1, block) : j_frames(small, at, block);
    QList<QByteArray> replies;
    for (const QByteArray& f : frames) {
        QVERIFY(replies.isEmpty());  // nothing is answered before the last frame
        replies += d.feed(f);
    }

    // The short packet form is never answered; the others once.
    QByteArrayList expected{packets ? padded(bytes({0x7C}), 63) : padded("J", 63)};
    QCOMPARE(replies, small && packets ? QByteArrayList{} : expected);
    QCOMPARE(layout_of(d.frames()), layout);
    QCOMPARE(d.frames().first().address, at);
    const QByteArray written = packets ? d.external_flash().read(at, n + 1) : d.internal_flash().mid(int(at), n + 1);
    QCOMPARE(written, block + '\xFF');
    if (packets)
        QCOMPARE(d.frames().first().seq, 1);
}

void TestSimDevice::broken_streams_data()
{
    QTest::addColumn<uint>("chip");
    QTest::addColumn<QList<QByteArray>>("frames");
    QTest::addColumn<QByteArray>("reply");

    const QByteArray block = pattern(1200);
    QList<QByteArray> j = j_frames(false, 0, block);
    QTest::newRow("J1 and J2 without J0") << uint(kVq4410) << j.mid(1) << bytes({'J', sim_status::kBrokenStream});
    QByteArray short_j1 = j.at(1);
    short_j1.replace(2, 2, le16(100));
    QTest::newRow("J1 count not 508") << uint(kVq4410) << QList<QByteArray>{j.at(0), short_j1, j.at(2)}
                                      << bytes({'J', sim_status::kBrokenStream});
    const QList<QByteArray> small_j = j_frames(true, 0, block.left(200));
    QTest::newRow("64: J2 while more than 61 remain") << uint(kVq350AChipId)
                                                      << QList<QByteArray>{small_j.first(), small_j.last()}
                                                      << bytes({'J', sim_status::kBrokenStream});
    const QList<QByteArray> small_100 = j_frames(true, 0, block.left(100));
    QTest::newRow("64: J1 with 61 or fewer left") << uint(kVq350AChipId)
                                                  << QList<QByteArray>{small_100.at(0), small_j.at(1), small_100.at(1)}
                                                  << bytes({'J', sim_status::kBrokenStream});
    QList<QByteArray> p = packet_stream(false, 0, 0, block);
    p[1].replace(1, 2, le16(100));
    QTest::newRow("k count not 509") << uint(kVq4410) << p << bytes({0x7C, sim_status::kBrokenStream});
    const QList<QByteArray> k_first = packet_stream(false, 0, 0, block).mid(1);
    QTest::newRow("k without j") << uint(kVq4410) << k_first << bytes({0x7C, sim_status::kBrokenStream});
    QTest::newRow("beyond the flash") << uint(kVq4410) << packet_stream(false, 16 * kMiB - 100, 0, block)
                                      << bytes({0x7C, sim_status::kOutOfRange});
}

void TestSimDevice::broken_streams()
{
    QFETCH(uint, chip);
    QFETCH(QList<QByteArray>, frames);
    QFETCH(QByteArray, reply);

    SimDevice d(config_for(chip, true));
    const QList<QByteArray> replies = feed_all(d, frames);
    QCOMPARE(replies.size(), 1);
    QCOMPARE(replies.first().left(2), reply);
    QCOMPARE(d.external_flash().pages_in_use(), 0);
    QCOMPARE(d.internal_flash().left(1200), QByteArray(1200, '\xFF'));
}

// 'l' ends an open packet stream; with none open it is a block write.
void TestSimDevice::l_after_stream_is_block_write()
{
    SimDevice d(config_for(kVq4410, true));
    const QByteArray a = pattern(300, 1);
    const QByteArray b = pattern(40, 2);
    QCOMPARE(feed_all(d, packet_stream(false, 0, 0, a)).size(), 1);

    // Block write and the next command in one go: the write is n + 12 bytes, not 512.
    const QList<QByteArray> replies = d.feed(block_write(0x1000, 1, b) + flash_id(0));
    QCOMPARE(replies.size(), 2);
    QCOMPARE(replies.at(0).left(2), bytes({0x7C, 0}));
    QCOMPARE(replies.at(1).at(0), '\x7D');
    const SimFrame write = d.frames_of('l').last();
    QCOMPARE(write.kind, FrameKind::BlockWrite);
    QCOMPARE(write.seq, 1);
    QCOMPARE(write.raw.size(), 40 + 12);
    QCOMPARE(d.external_flash().read(0, 300), a);
    QCOMPARE(d.external_flash().read(0x1000, 40), b);
}

void TestSimDevice::flash_crc_replies_data()
{
    QTest::addColumn<int>("reports");
    QTest::addColumn<int>("final_status");
    QTest::addColumn<uint>("flash_size");
    QTest::addColumn<uint>("address");
    QTest::addColumn<uint>("len");

    QTest::newRow("no progress") << 0 << int('1') << 16 * kMiB << 0x1000u << 0x2000u;
    QTest::newRow("3 reports, unaligned range") << 3 << int('1') << 16 * kMiB << 4093u << 9000u;
    QTest::newRow("odd final status") << 5 << int('Z') << 16 * kMiB << 0u << 0x3000u;
    QTest::newRow("empty range") << 2 << int('1') << 16 * kMiB << 0x1000u << 0u;
    QTest::newRow("top of 128 MiB") << 1 << int('1') << 128 * kMiB << 128 * kMiB - 0x1000 << 0x1000u;
}

void TestSimDevice::flash_crc_replies()
{
    QFETCH(int, reports);
    QFETCH(int, final_status);
    QFETCH(uint, flash_size);
    QFETCH(uint, address);
    QFETCH(uint, len);

    SimConfig c;
    c.progress_reports = reports;
    c.final_status = uint8_t(final_status);
    c.flash_size = flash_size;
    SimDevice d(c);
    const QByteArray image = pattern(0x1800, 3);
    d.feed(block_write(0x1400, 0, image.left(2048)) + block_write(0x1C00, 1, image.mid(2048)));
    QByteArray expected(int(len), '\xFF');
    for (uint i = 0; i < len; ++i) {
        if (address + i >= 0x1400 && address + i < 0x2C00)
            expected[int(i)] = image.at(int(address + i - 0x1400));
    }

    const QList<QByteArray> replies = d.feed(flash_crc(address, len, 0x1234));
    QCOMPARE(replies.size(), reports + 1);
    uint32_t done = 0;
    for (int i = 0; i < reports; ++i) {
        QCOMPARE(replies.at(i).left(2), bytes({0x7E, '0'}));
        QVERIFY(read_le32(replies.at(i), 2) >= done);
        done = read_le32(replies.at(i), 2);
        QVERIFY(done <= len);
    }
    QCOMPARE(replies.last().left(2), bytes({0x7E, final_status}));
    QCOMPARE(read_le32(replies.last(), 2), boot_crc32(expected));
    QVERIFY(d.external_flash().pages_in_use() <= 3);
}

void TestSimDevice::crc_timing_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<uint>("rate");
    QTest::addColumn<int>("reports");
    QTest::addColumn<QVector<qint64>>("after_us");  // of each reply, the final one last

    const QByteArray one_mb = hand::flash_crc(0, 1000000);
    QTest::newRow("flash, instant") << one_mb << 0u << 3 << QVector<qint64>{0, 0, 0, 0};
    QTest::newRow("flash, reports spread") << one_mb << 1000000u << 3
                                           << QVector<qint64>{250000, 500000, 750000, 1000000};
    // 125 ms of work leaves room for one report 60 ms from either end.
    QTest::newRow("flash, reports thinned") << one_mb << 8000000u << 3 << QVector<qint64>{62500, 125000};
    QTest::newRow("flash, too short for reports") << hand::flash_crc(0, 2048) << 8000000u << 3
                                                  << QVector<qint64>{256};
    QTest::newRow("MCU CRC") << hand::mcu_crc(0, 400000) << 8000000u << 3 << QVector<qint64>{50000};
}

void TestSimDevice::crc_timing()
{
    QFETCH(QByteArray, frame);
    QFETCH(uint, rate);
    QFETCH(int, reports);
    QFETCH(QVector<qint64>, after_us);
    SimConfig c;
    c.crc_rate = rate;
    c.progress_reports = reports;
    SimDevice d(c);
    const QList<SimReply> replies = d.feed_timed(hand::flash_mode(1) + frame);
    QCOMPARE(replies.size(), after_us.size() + 1);
    QCOMPARE(replies.first().after_us, qint64(0));  // the flash mode reply, in the same feed
    for (int i = 0; i < after_us.size(); ++i)
        QCOMPARE(replies.at(i + 1).after_us, after_us.at(i));
}

void TestSimDevice::sparse_crc_data()
{
    QTest::addColumn<uint>("address");
    QTest::addColumn<uint>("len");

    QTest::newRow("one byte") << 0u << 1u;
    QTest::newRow("short tail piece") << 4094u << 3u;
    QTest::newRow("one-byte tail piece") << 4095u << 2u;
    QTest::newRow("three pages, odd ends") << 4097u << 8195u;
    QTest::newRow("unwritten pages between") << 0u << 5u * 4096u;
}

// The range CRC is carried piece by piece; it must equal the CRC of the bytes.
void TestSimDevice::sparse_crc()
{
    QFETCH(uint, address);
    QFETCH(uint, len);

    SparseFlash flash(16 * kMiB);
    flash.write(0, pattern(3 * 4096, 9));
    flash.write(4 * 4096 + 10, pattern(100, 4));
    QCOMPARE(flash.crc(address, len), boot_crc32(flash.read(address, int(len))));
}

void TestSimDevice::faults_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<char>("letter");
    QTest::addColumn<int>("count");
    QTest::addColumn<uint>("value");
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QList<QByteArray>>("last_replies");  // per send; empty: no reply at all

    enum { Silent, WrongLetter, Status, WrongCrc, WrongCrcValue };
    const QByteArray none;
    const QByteArray k = connect_request('0', kVq4410);
    const QByteArray l = block_write(0, 0, pattern(8));
    const QByteArray n = flash_crc(0, 16);
    const QByteArray erased_crc = le32(boot_crc32(QByteArray(16, '\xFF')));

    QTest::newRow("silent twice") << int(Silent) << 'K' << 2 << 0u << k << QList<QByteArray>{none, none, "K"};
    QTest::newRow("silent always") << int(Silent) << 'n' << int(SimDevice::kAlways) << 0u << n
                                   << QList<QByteArray>{none, none};
    QTest::newRow("wrong letter once") << int(WrongLetter) << 'l' << 1 << uint('l') << l
                                       << QList<QByteArray>{"l", "\x7C"};
    QTest::newRow("wrong final flash CRC letter") << int(WrongLetter) << 'n' << 1 << uint('?') << n
                                                  << QList<QByteArray>{"?1", "\x7E" "1"};
    QTest::newRow("status once") << int(Status) << 'l' << 1 << 2u << l
                                 << QList<QByteArray>{bytes({0x7C, 2}), bytes({0x7C, 0})};
    QTest::newRow("status always") << int(Status) << 'L' << int(SimDevice::kAlways) << 0x80u << erase(0, 16)
                                   << QList<QByteArray>{bytes({'L', 0x80}), bytes({'L', 0x80})};
    QTest::newRow("final status") << int(Status) << 'n' << 1 << uint('2') << n
                                  << QList<QByteArray>{"\x7E" "2" + erased_crc, "\x7E" "1" + erased_crc};
    QTest::newRow("MCU CRC reported as 0") << int(WrongCrcValue) << 'N' << int(SimDevice::kAlways) << 0u
                                           << mcu_crc(0, 16) << QList<QByteArray>{bytes({'N', 0, 0, 0, 0})};
    QTest::newRow("flash CRC inverted once") << int(WrongCrc) << 'n' << 1 << 0u << n
                                             << QList<QByteArray>{"\x7E" "1" + le32(~read_le32(erased_crc, 0)),
                                                                  "\x7E" "1" + erased_crc};
}

void TestSimDevice::faults()
{
    QFETCH(int, kind);
    QFETCH(char, letter);
    QFETCH(int, count);
    QFETCH(uint, value);
    QFETCH(QByteArray, frame);
    QFETCH(QList<QByteArray>, last_replies);

    SimDevice d;
    switch (kind) {
    case 0: d.set_silent(letter, count); break;
    case 1: d.set_wrong_letter(letter, count, uint8_t(value)); break;
    case 2: d.set_status(letter, uint8_t(value), count); break;
    case 3: d.set_wrong_crc(letter, count); break;
    default: d.set_wrong_crc(letter, count, value); break;
    }
    for (const QByteArray& expected : last_replies) {
        const QList<QByteArray> replies = d.feed(frame);
        if (expected.isEmpty()) {
            QVERIFY(replies.isEmpty());
            continue;
        }
        QVERIFY(!replies.isEmpty());
        QVERIFY2(replies.last().startsWith(expected), replies.last().toHex().constData());
        for (int i = 0; i + 1 < replies.size(); ++i)  // progress reports stay intact
            QCOMPARE(replies.at(i).left(2), bytes({0x7E, '0'}));
    }
}

void TestSimDevice::faulty_reply_still_executes()
{
    SimDevice d;
    d.set_silent('l', 1);
    d.set_status('K', 5);  // 'K' has no status byte: nothing to spoil
    QVERIFY(d.feed(block_write(0x40, 0, pattern(8))).isEmpty());
    QCOMPARE(d.external_flash().read(0x40, 8), pattern(8));
    const QByteArray request = connect_request('1', kVq4410);
    QCOMPARE(read_le32(d.feed(request).first(), 1), signature(request, kVq4410));
}

void TestSimDevice::resync_and_boot_mode()
{
    SimDevice d;
    d.feed(run());
    QVERIFY(d.app_started());
    const QByteArray boot_update = QByteArray::fromHex("AAFF424F4F54555044415445A418E41B11EE");
    const QByteArray boot_mode_ii = QByteArray::fromHex("5AA507107011AA551199");
    const QList<QByteArray> replies =
        d.feed(QByteArray("\x00\x13garbage", 9) + boot_update + bytes({0x5A, 0x00}) + boot_mode_ii + flash_id(0));

    QCOMPARE(replies.size(), 1);
    QCOMPARE(replies.first().at(0), '\x7D');
    QVector<FrameKind> kinds;
    for (const SimFrame& f : d.frames().mid(1))
        kinds += f.kind;
    QCOMPARE(kinds, (QVector<FrameKind>{FrameKind::Unknown, FrameKind::BootMode, FrameKind::Unknown,
                                        FrameKind::BootMode, FrameKind::FlashId}));
    QCOMPARE(d.frames().at(1).raw, QByteArray("\x00\x13garbage", 9));
    QCOMPARE(d.frames().at(2).variant, '1');
    QCOMPARE(d.frames().at(4).variant, '2');
    QVERIFY(d.frames().at(4).crc_ok);
    QVERIFY(!d.app_started());
}

void TestSimDevice::halt_after()
{
    SimDevice d;
    d.halt_after('l', 2);
    const QByteArray a = pattern(64, 1);
    const QByteArray b = pattern(64, 2);
    const QList<QByteArray> replies = d.feed(block_write(0, 0, a) + block_write(64, 1, b) + flash_id(0));
    QCOMPARE(replies.size(), 1);
    QVERIFY(d.halted());
    QCOMPARE(d.frames_of('l').size(), 2);
    QVERIFY(d.frames_of('m').isEmpty());
    QCOMPARE(d.external_flash().read(0, 128), a + QByteArray(64, '\xFF'));

    d.resume();
    QCOMPARE(d.feed(flash_id(0)).size(), 1);

    // Framed program blocks count at their J0: the second block halts whole.
    SimDevice v(config_for(kVq4410, true));
    v.halt_after('J', 2);
    const QByteArray block(2048, '\x24');
    QCOMPARE(feed_all(v, j_frames(false, 0, block)).size(), 1);
    QVERIFY(!v.halted());
    QVERIFY(feed_all(v, j_frames(false, 0x800, block)).isEmpty());
    QVERIFY(v.halted());
    QCOMPARE(v.internal_flash().mid(0x800, 16), QByteArray(16, '\xFF'));
}

// Unplugging "after the k-th block" must count blocks whatever their framing.
void TestSimDevice::halt_after_blocks_data()
{
    QTest::addColumn<bool>("vcom");
    QTest::addColumn<char>("letter");
    QTest::newRow("J single frames") << false << 'J';
    QTest::newRow("J0/J1/J2 blocks") << true << 'J';
    QTest::newRow("l block writes") << false << 'l';
    QTest::newRow("j/k/l packet streams") << true << 'l';
}

void TestSimDevice::halt_after_blocks()
{
    QFETCH(bool, vcom);
    QFETCH(char, letter);
    constexpr int kBlocksThrough = 2;
    constexpr int kBlockLen = 2048;
    SimDevice d(config_for(kVq4410, vcom));
    d.halt_after(letter, kBlocksThrough + 1);
    int answered = 0;
    for (int k = 0; k < kBlocksThrough + 2; ++k) {
        const uint32_t at = uint32_t(k * kBlockLen);
        const QByteArray data = pattern(kBlockLen, k + 1);
        QList<QByteArray> frames;
        if (letter == 'J')
            frames = vcom ? j_frames(false, at, data) : QList<QByteArray>{program(at, data)};
        else
            frames = vcom ? packet_stream(false, at, k & 1, data) : QList<QByteArray>{block_write(at, k & 1, data)};
        answered += feed_all(d, frames).size();
    }
    QVERIFY(d.halted());
    QCOMPARE(answered, kBlocksThrough);
    const QByteArray written = letter == 'J' ? d.internal_flash().left(3 * kBlockLen)
                                             : d.external_flash().read(0, 3 * kBlockLen);
    QCOMPARE(written, pattern(kBlockLen, 1) + pattern(kBlockLen, 2) + QByteArray(kBlockLen, '\xFF'));
}

// "Refuse this block twice", "say nothing for one block": counted in
// blocks, whatever framing carries them.
void TestSimDevice::block_faults_count_blocks_data()
{
    halt_after_blocks_data();
}

void TestSimDevice::block_faults_count_blocks()
{
    QFETCH(bool, vcom);
    QFETCH(char, letter);
    constexpr uint8_t kRefused = 3;
    constexpr int kBlockLen = 600;
    SimDevice d(config_for(kVq4410, vcom));
    d.set_silent(letter, 1);
    d.set_status(letter, kRefused, 2);
    const auto send_block = [&] {
        const QByteArray data = pattern(kBlockLen);
        if (letter == 'J')
            return feed_all(d, vcom ? j_frames(false, 0, data) : QList<QByteArray>{program(0, data)});
        return feed_all(d, vcom ? packet_stream(false, 0, 0, data) : QList<QByteArray>{block_write(0, 0, data)});
    };
    const uint8_t reply_letter = letter == 'J' ? 'J' : 0x7C;
    // The lost reply was a refusal too: faults spoil replies, and this one was made, then lost.
    QVERIFY(send_block().isEmpty());
    QCOMPARE(send_block(), QList<QByteArray>{padded(bytes({reply_letter, kRefused}), 63)});
    QCOMPARE(send_block(), QList<QByteArray>{padded(bytes({reply_letter, 0}), 63)});
    QCOMPARE(send_block(), QList<QByteArray>{padded(bytes({reply_letter, 0}), 63)});
}

// The device's CRC is its own; it must still give the published check values.
void TestSimDevice::own_crc_check_values_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<uint>("crc");
    QTest::newRow("digits") << QByteArray("123456789") << 0x2DFD2D88u;
    QTest::newRow("abc") << QByteArray("abc") << 0xCA6598D0u;
    QTest::newRow("L") << QByteArray("L") << 0x7F6A0DBBu;
    QTest::newRow("empty") << QByteArray() << 0u;
}

void TestSimDevice::own_crc_check_values()
{
    QFETCH(QByteArray, bytes);
    QFETCH(uint, crc);
    QCOMPARE(uint(sim_wire::crc32(bytes)), crc);
    // Carried across a split, as the sparse flash computes it page by page.
    for (int cut = 0; cut <= bytes.size(); ++cut)
        QCOMPARE(uint(sim_wire::crc32(bytes.mid(cut), -1, sim_wire::crc32(bytes.left(cut)))), crc);
}

// Sizes change without losing what was written; the framing of 'J','0'
// follows the virtual-COM flag from the next frame on.
void TestSimDevice::reconfigure()
{
    SimDevice d;
    d.feed(program(0x10, pattern(4)) + block_write(0x20, 0, pattern(4)));
    SimConfig c = d.config();
    c.internal_flash_size = 4 * kMiB;
    c.flash_size = 4096;
    c.vcom = true;
    d.set_config(c);
    QCOMPARE(d.internal_flash().size(), int(4 * kMiB));
    QCOMPARE(d.internal_flash().mid(0x10, 4), pattern(4));
    QCOMPARE(d.internal_flash().right(1), QByteArray(1, '\xFF'));
    QCOMPARE(d.external_flash().read(0x20, 4), pattern(4));
    QCOMPARE(d.feed(block_write(4000, 0, pattern(200))).first().left(2), bytes({0x7C, sim_status::kOutOfRange}));

    const QList<QByteArray> frames = j_frames(false, 3 * kMiB, pattern(600));
    QCOMPARE(feed_all(d, frames).size(), 1);
    QCOMPARE(d.internal_flash().mid(3 * kMiB, 600), pattern(600));
}

QTEST_GUILESS_MAIN(TestSimDevice)
#include "tst_sim_device.moc"
