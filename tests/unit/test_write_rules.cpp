// The write rules: block frames and packet streams, the MCU commands, how
// images and .diff records are cut, the attempts rule and the MCU limits,
// each against cases worked out by hand.

#include <QtTest>

#include "flashimage/block_frames.h"
#include "flashimage/diff_check.h"
#include "flashimage/update_plan.h"
#include "mcu/mcu_plan.h"
#include "protocol/catalogue.h"
#include "protocol/crc32.h"
#include "protocol/frame.h"
#include "mcu/mcu_frames.h"

namespace {
constexpr uint32_t kVq4410 = 0x19714410;
constexpr uint32_t kVq350B = 0x1971350B;

QByteArray pattern(int n, int seed = 0)
{
    QByteArray b(n, '\0');
    for (int i = 0; i < n; ++i)
        b[i] = char((i * 7 + seed) & 0xFF);
    return b;
}

QByteArray reply(std::initializer_list<int> head)
{
    QByteArray r(kReplyLen, '\0');
    int i = 0;
    for (int v : head)
        r[i++] = char(v);
    return r;
}

const uint8_t* u8(const QByteArray& b) { return reinterpret_cast<const uint8_t*>(b.constData()); }

// One write per word: address:data_len/send_len:seq[:tail]@progress
QString render(const QVector<BlockWrite>& plan)
{
    QStringList words;
    for (const BlockWrite& w : plan)
        words << QStringLiteral("%1:%2/%3:%4%5@%6")
                     .arg(w.address, 0, 16)
                     .arg(w.data_len)
                     .arg(w.send_len)
                     .arg(w.seq)
                     .arg(w.tail ? ":tail" : "")
                     .arg(w.progress);
    return words.join(' ');
}

void put_be(QByteArray& b, uint32_t v)
{
    for (int s = 24; s >= 0; s -= 8)
        b.append(char((v >> s) & 0xFF));
}

QByteArray record(uint32_t address, uint32_t len, uint32_t crc, const QByteArray& data)
{
    QByteArray r;
    put_be(r, address);
    put_be(r, len);
    put_be(r, crc);
    put_be(r, 0);
    return r + data;
}

QByteArray diff_file(const QByteArray& area) { return QByteArray(kDiffHeaderLen, '\0') + area; }

QByteArray mcu_image(int len, uint32_t run_address)
{
    QByteArray b = pattern(len);
    if (len >= 8)
        put_u32le(b, 4, run_address);
    return b;
}
}  // namespace

class WriteRulesTest : public QObject {
    Q_OBJECT

private slots:
    void block_write_frame_data();
    void block_write_frame();
    void block_packets_data();
    void block_packets();
    void block_replies_data();
    void block_replies();

    void mcu_requests();
    void mcu_crc_offset_data();
    void mcu_crc_offset();
    void program_single();
    void program_frames_data();
    void program_frames();
    void mcu_replies();

    void attempts_data();
    void attempts();

    void image_plans_data();
    void image_plans();
    void staging_pads_and_stays_inside();

    void diff_records_data();
    void diff_records();
    void diff_refusals_data();
    void diff_refusals();
    void diff_progress_beyond_int_range();

    void mcu_image_rules_data();
    void mcu_image_rules();
    void mcu_ranges_data();
    void mcu_ranges();
    void mcu_blocks_data();
    void mcu_blocks();

    void flash_modes_data();
    void flash_modes();
};

void WriteRulesTest::block_write_frame_data()
{
    QTest::addColumn<int>("n");
    QTest::addColumn<uint>("address");
    QTest::addColumn<int>("seq");
    QTest::newRow("2048 at 0x80000") << 2048 << 0x80000u << 1;
    QTest::newRow("2047 tail") << 2047 << 0x1000u << 0;
    QTest::newRow("empty") << 0 << 0xFFFFFFFFu << 1;
}

void WriteRulesTest::block_write_frame()
{
    QFETCH(int, n);
    QFETCH(uint, address);
    QFETCH(int, seq);
    const QByteArray data = pattern(n, 3);
    const QByteArray f = build_block_write(address, seq, data);
    QCOMPARE(f.size(), n + 12);
    QCOMPARE(f.at(0), 'l');
    QCOMPARE(get_u32le(f, 1), uint32_t(address));
    QCOMPARE(int(f.at(5)), seq);
    QCOMPARE(int(get_u16le(f, 6)), n);
    QCOMPARE(f.mid(8, n), data);
    QCOMPARE(get_u32le(f, 8 + n), boot_crc32(f, 8 + n));
}

void WriteRulesTest::block_packets_data()
{
    // letter+count per packet; '*' marks a second settle round after it.
    QTest::addColumn<int>("form");
    QTest::addColumn<int>("n");
    QTest::addColumn<QString>("shape");
    const int wide = int(PacketForm::Wide512), narrow = int(PacketForm::Narrow64);
    QTest::newRow("2048 wide") << wide << 2048 << "j504 k509 k509 k509* l17";
    QTest::newRow("2047 wide") << wide << 2047 << "j504 k509 k509 k509* l16";
    QTest::newRow("300 wide") << wide << 300 << "j300 l0";
    QTest::newRow("504 wide") << wide << 504 << "j504 l0";
    QTest::newRow("505 wide: two pauses") << wide << 505 << "j504* l1";
    QTest::newRow("1013 wide") << wide << 1013 << "j504 k509* l0";
    QTest::newRow("0 wide") << wide << 0 << "j0 l0";
    QTest::newRow("2048 narrow") << narrow << 2048 << "j57" + QString(" k62").repeated(31) + " k62* l7";
    QTest::newRow("57 narrow") << narrow << 57 << "j57 l0";
    QTest::newRow("58 narrow") << narrow << 58 << "j57* l1";
}

void WriteRulesTest::block_packets()
{
    QFETCH(int, form);
    QFETCH(int, n);
    QFETCH(QString, shape);
    const bool wide = form == int(PacketForm::Wide512);
    const QByteArray data = pattern(n, 5);
    const auto packets = build_block_packets(PacketForm(form), 0x12345678, 1, data);

    QStringList got;
    QByteArray joined;
    for (int i = 0; i < packets.size(); ++i) {
        const QByteArray& p = packets[i].bytes;
        QCOMPARE(p.size(), wide ? 512 : 64);
        const char letter = p.at(0);
        int count, at;
        if (letter == 'j') {
            QCOMPARE(i, 0);
            QCOMPARE(get_u32le(p, 1), 0x12345678u);
            QCOMPARE(int(p.at(5)), 1);
            count = wide ? get_u16le(p, 6) : uint8_t(p.at(6));
            at = wide ? 8 : 7;
        } else {
            count = wide ? get_u16le(p, 1) : uint8_t(p.at(1));
            at = wide ? 3 : 2;
        }
        joined += p.mid(at, count);
        const bool last = i == packets.size() - 1;
        QCOMPARE(packets[i].paced, wide && !last);
        got << QString(QChar(letter)) + QString::number(count) + (packets[i].settle_rounds == 2 ? "*" : "");
    }
    QCOMPARE(got.join(' '), shape);
    QCOMPARE(joined, data);
}

void WriteRulesTest::block_replies_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("single");
    QTest::addColumn<int>("stream");
    QTest::newRow("accepted") << reply({0x7C, 0}) << 0 << 0;
    QTest::newRow("status 1") << reply({0x7C, 1}) << 1 << 0;
    QTest::newRow("status 0xFF is -1") << reply({0x7C, 0xFF}) << -1 << 0;
    QTest::newRow("status 0x80") << reply({0x7C, 0x80}) << -128 << 0;
    QTest::newRow("letter l, not l+0x10") << reply({'l', 0}) << 5 << -2;
    QTest::newRow("wrong letter, status 1") << reply({'J', 1}) << 5 << -2;
}

void WriteRulesTest::block_replies()
{
    QFETCH(QByteArray, reply);
    QFETCH(int, single);
    QFETCH(int, stream);
    QCOMPARE(judge_block_write_reply(u8(reply)), single);
    QCOMPARE(judge_block_packets_reply(u8(reply)), stream);
}

void WriteRulesTest::mcu_requests()
{
    const QByteArray erase = build_erase_request(0x8000, 0x9000);
    QCOMPARE(erase.size(), 64);
    QCOMPARE(erase.at(0), 'L');
    QCOMPARE(get_u32le(erase, 1), 0x8000u);
    QCOMPARE(get_u32le(erase, 5), 0x9000u);
    QCOMPARE(get_u32le(erase, 9), boot_crc32(erase, 9));
    QCOMPARE(erase.mid(13), QByteArray(51, '\0'));

    const QByteArray crc = build_mcu_crc_request(0x1234, 0xCAFEF00D, 0x08010234);
    QCOMPARE(crc.size(), 64);
    QCOMPARE(crc.left(4), QByteArray("N\0\0\0", 4));
    QCOMPARE(get_u32le(crc, 4), 0x1234u);
    QCOMPARE(get_u32le(crc, 8), 0xCAFEF00Du);
    QCOMPARE(get_u32le(crc, 12), 0x8000u);
    QCOMPARE(get_u32le(crc, 16), boot_crc32(crc, 16));
    QCOMPARE(crc.mid(20), QByteArray(44, '\0'));
    QCOMPARE(mcu_crc_request_log(0x1234, 0xCAFEF00D), QStringLiteral("Get: 1234, cafef00d"));
}

void WriteRulesTest::mcu_crc_offset_data()
{
    QTest::addColumn<uint>("run_address");
    QTest::addColumn<uint>("offset");
    QTest::newRow("no run address wraps") << 0u << 0xF7FF8000u;
    QTest::newRow("page of 0x08010234") << 0x08010234u << 0x8000u;
    QTest::newRow("application base") << 0x08008000u << 0u;
    QTest::newRow("top bits kept") << 0x18008FFFu << 0x10000000u;
}

void WriteRulesTest::mcu_crc_offset()
{
    QFETCH(uint, run_address);
    QFETCH(uint, offset);
    QCOMPARE(mcu_crc_start_offset(run_address), uint32_t(offset));
    QCOMPARE(build_mcu_crc_request(16, 1, run_address).at(12), '\0');
}

void WriteRulesTest::program_single()
{
    const QByteArray empty = build_program_single(0x8000, QByteArray());
    QCOMPARE(empty.size(), 12);
    QCOMPARE(empty.left(2), QByteArray("J0"));
    QCOMPARE(get_u32le(empty, 2), 0x8000u);
    QCOMPARE(int(get_u16le(empty, 6)), 0);
    QCOMPARE(get_u32le(empty, 8), boot_crc32(empty, 8));

    const QByteArray data = pattern(2048);
    const QByteArray full = build_program_single(0x800, data);
    QCOMPARE(full.size(), 2060);
    QCOMPARE(full.mid(8, 2048), data);
    QCOMPARE(get_u32le(full, 2056), boot_crc32(full, 2056));

    QCOMPARE(build_program_single(0, pattern(4084)).size(), 4096);
    QVERIFY(build_program_single(0, pattern(4085)).isEmpty());
}

void WriteRulesTest::program_frames_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("n");
    QTest::addColumn<QString>("shape");
    const int wide = int(ProgramFrameSize::Wide512), narrow = int(ProgramFrameSize::Narrow64);
    QTest::newRow("2048 wide") << wide << 2048 << "J0:504 J1:508 J1:508 J1:508 J2:20";
    QTest::newRow("504 wide") << wide << 504 << "J0:504 J2:0";
    QTest::newRow("505 wide") << wide << 505 << "J0:504 J2:1";
    QTest::newRow("1011 wide: J2 takes 507") << wide << 1011 << "J0:504 J2:507";
    QTest::newRow("1012 wide") << wide << 1012 << "J0:504 J1:508 J2:0";
    QTest::newRow("2048 narrow") << narrow << 2048 << "J0:56" + QString(" J1:62").repeated(32) + " J2:8";
    QTest::newRow("56 narrow") << narrow << 56 << "J0:56 J2:0";
    QTest::newRow("117 narrow") << narrow << 117 << "J0:56 J2:61";
    QTest::newRow("118 narrow") << narrow << 118 << "J0:56 J1:62 J2:0";
}

void WriteRulesTest::program_frames()
{
    QFETCH(int, size);
    QFETCH(int, n);
    QFETCH(QString, shape);
    const bool wide = size == int(ProgramFrameSize::Wide512);
    const QByteArray data = pattern(n, 9);
    const auto frames = build_program_frames(ProgramFrameSize(size), 0x8800, data);

    // The narrow J1/J2 carry no count: what they hold follows from n.
    QStringList got;
    QByteArray joined;
    int left = n;
    for (const QByteArray& f : frames) {
        QCOMPARE(f.size(), wide ? 512 : 64);
        QCOMPARE(f.at(0), 'J');
        int count, at;
        if (f.at(1) == '0') {
            QCOMPARE(get_u32le(f, 2), 0x8800u);
            count = qMin(n, wide ? 504 : 56);
            QCOMPARE(int(get_u16le(f, 6)), wide ? count : n);
            at = 8;
        } else if (wide) {
            count = get_u16le(f, 2);
            at = 4;
        } else {
            count = f.at(1) == '1' ? 62 : left;
            at = 2;
        }
        QCOMPARE(f.mid(at + count), QByteArray(f.size() - at - count, '\0'));
        joined += f.mid(at, count);
        left -= count;
        got << QStringLiteral("J%1:%2").arg(f.at(1)).arg(count);
    }
    QCOMPARE(got.join(' '), shape);
    QCOMPARE(joined, data);
}

void WriteRulesTest::mcu_replies()
{
    QCOMPARE(judge_erase_reply(u8(reply({'L', 0}))), 0);
    QCOMPARE(judge_erase_reply(u8(reply({'L', 0xFE}))), -2);
    QCOMPARE(judge_erase_reply(u8(reply({'N', 0}))), int(mcu_erase_result::kWrongLetter));
    QCOMPARE(judge_program_single_reply(u8(reply({'J', 3}))), 3);
    QCOMPARE(judge_program_single_reply(u8(reply({'J', 0xFF}))), -1);
    QCOMPARE(judge_program_single_reply(u8(reply({'L', 0}))), 5);
    QCOMPARE(judge_program_frames_reply(u8(reply({'J', 7}))), 0);
    QCOMPARE(judge_program_frames_reply(u8(reply({'K', 0}))), -1);

    const auto same = judge_mcu_crc_reply(u8(reply({'N', 0x0D, 0xF0, 0xFE, 0xCA})), 0xCAFEF00D);
    QCOMPARE(same.result, 0);
    const auto other = judge_mcu_crc_reply(u8(reply({'N', 0x0D, 0xF0, 0xFE, 0xCB})), 0xCAFEF00D);
    QCOMPARE(other.result, -3);
    QCOMPARE(mcu_crc_mismatch_log(other.reported_crc), QStringLiteral("Error CRC, return CRC = 0xcbfef00d"));
    const auto zero = judge_mcu_crc_reply(u8(reply({'N'})), 0xCAFEF00D);
    QCOMPARE(zero.result, 1);
    QCOMPARE(mcu_crc_mismatch_log(zero.reported_crc), QStringLiteral("Error CRC, return CRC = 0x0"));
    QCOMPARE(judge_mcu_crc_reply(u8(reply({'L'})), 0).result, -1);
}

void WriteRulesTest::attempts_data()
{
    QTest::addColumn<int>("rule");
    QTest::addColumn<QList<int>>("results");  // what successive writes return
    QTest::addColumn<int>("attempts");
    QTest::addColumn<bool>("accepted");
    const int block = int(AttemptRule::FlashBlock), tail = int(AttemptRule::FlashTail),
              mcu = int(AttemptRule::McuBlock);
    QTest::newRow("block ok") << block << QList<int>{0} << 1 << true;
    QTest::newRow("block status 1") << block << QList<int>{1} << 1 << true;
    QTest::newRow("block time-out accepted") << block << QList<int>{-3} << 1 << true;
    QTest::newRow("block refused twice") << block << QList<int>{2, 5, 0} << 3 << true;
    QTest::newRow("block refused thrice") << block << QList<int>{2, 2, 2, 0} << 3 << false;
    QTest::newRow("block 2 on third") << block << QList<int>{2, 2, 2} << 3 << false;
    QTest::newRow("tail 2 on third") << tail << QList<int>{2, 2, 2} << 3 << true;
    QTest::newRow("tail 2 on second") << tail << QList<int>{5, 2, 1} << 3 << true;
    QTest::newRow("tail 3 on third") << tail << QList<int>{2, 2, 3} << 3 << false;
    QTest::newRow("mcu twice then ok") << mcu << QList<int>{1, 1, 0} << 3 << true;
    QTest::newRow("mcu thrice") << mcu << QList<int>{5, 5, 5, 0} << 3 << false;
    QTest::newRow("mcu time-out not retried") << mcu << QList<int>{-2, 0} << 1 << false;
    QTest::newRow("mcu negative after positive") << mcu << QList<int>{3, -1, 0} << 2 << false;
}

void WriteRulesTest::attempts()
{
    QFETCH(int, rule);
    QFETCH(QList<int>, results);
    QFETCH(int, attempts);
    QFETCH(bool, accepted);
    int calls = 0;
    const AttemptOutcome o = write_with_attempts(AttemptRule(rule), [&] { return results.at(calls++); });
    QCOMPARE(calls, attempts);
    QCOMPARE(o.attempts, attempts);
    QCOMPARE(o.accepted, accepted);
    QCOMPARE(o.result, results.at(attempts - 1));
}

void WriteRulesTest::image_plans_data()
{
    QTest::addColumn<int>("len");
    QTest::addColumn<uint>("base");
    QTest::addColumn<int>("style");
    QTest::addColumn<QString>("plan");
    const int full = int(TailStyle::Exact), at = int(TailStyle::PaddedAlways);
    QTest::newRow("4096 full") << 4096 << 0u << full << "0:2048/2048:0@0 800:2048/2048:1@50";
    QTest::newRow("4096 at") << 4096 << 0x80000u << at
                             << "80000:2048/2048:0@0 80800:2048/2048:1@50 81000:0/2047:0:tail@-1";
    QTest::newRow("5000 full") << 5000 << 0u << full << "0:2048/2048:0@0 800:2048/2048:1@50 1000:904/904:0:tail@-1";
    QTest::newRow("5000 at") << 5000 << 0x80000u << at
                             << "80000:2048/2048:0@0 80800:2048/2048:1@50 81000:904/2047:0:tail@-1";
    QTest::newRow("6144 full: seq of third") << 6144 << 0u << full << "0:2048/2048:0@0 800:2048/2048:1@33 1000:2048/2048:0@66";
    QTest::newRow("shorter than a block full") << 1000 << 0u << full << "0:1000/1000:0:tail@-1";
    QTest::newRow("shorter than a block at") << 1000 << 0u << at << "0:1000/2047:0:tail@-1";
    QTest::newRow("empty full") << 0 << 0u << full << "";
    QTest::newRow("empty at") << 0 << 0x80000u << at << "80000:0/2047:0:tail@-1";
}

void WriteRulesTest::image_plans()
{
    QFETCH(int, len);
    QFETCH(uint, base);
    QFETCH(int, style);
    QFETCH(QString, plan);
    QCOMPARE(render(plan_flash_image(len, kFlashBlockLen, base, TailStyle(style))), plan);
}

void WriteRulesTest::staging_pads_and_stays_inside()
{
    const QByteArray image = pattern(5000);
    const auto plan = plan_flash_image(image.size(), kFlashBlockLen, 0x80000, TailStyle::PaddedAlways);
    QByteArray staged;
    QVERIFY(stage_block(image, plan.at(1), &staged));
    QCOMPARE(staged, image.mid(2048, 2048));
    QVERIFY(stage_block(image, plan.last(), &staged));
    QCOMPARE(staged, image.mid(4096) + QByteArray(1143, '\xFF'));

    // A plan for a longer image than the buffer holds never reads past it.
    staged = "untouched";
    QVERIFY(!stage_block(image.left(4999), plan.last(), &staged));
    QCOMPARE(staged, QByteArray("untouched"));
}

void WriteRulesTest::diff_records_data()
{
    // Records of the file; the walk's records as address,length,progress;
    // each record's writes.
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<uint>("number");
    QTest::addColumn<QString>("records");
    QTest::addColumn<QStringList>("plans");
    const QByteArray r0 = record(0x10000, 0, 0x1234, {});
    QTest::newRow("empty record") << diff_file(r0) << 1u << "10000,0,100" << QStringList{""};
    QTest::newRow("100 bytes") << diff_file(record(0x2000, 100, 0, pattern(100))) << 1u << "2000,100,100"
                               << QStringList{"2000:100/2047:0:tail@-1"};
    QTest::newRow("2048 bytes") << diff_file(record(0x4000, 2048, 0, pattern(2048))) << 1u << "4000,2048,100"
                                << QStringList{"4000:2048/2048:0@-1"};
    QTest::newRow("2049 bytes") << diff_file(record(0x4000, 2049, 0, pattern(2049))) << 1u << "4000,2049,100"
                                << QStringList{"4000:2048/2048:0@-1 4800:1/2047:1:tail@-1"};
    // 32 + 116 + 16 of 164 bytes: 90 % after the first record.
    QTest::newRow("two records, seq restarts")
        << diff_file(record(0x100, 100, 0, pattern(100)) + r0) << 1u << "100,100,90 10000,0,100"
        << QStringList{"100:100/2047:0:tail@-1", ""};
    QTest::newRow("dblk_number 1, three records")
        << diff_file(record(0, 2049, 0, pattern(2049)) + record(0x9000, 1, 0, "x") + record(0xA000, 4096, 0, pattern(4096)))
        << 1u << "0,2049,33 9000,1,33 a000,4096,100"
        << QStringList{"0:2048/2048:0@-1 800:1/2047:1:tail@-1", "9000:1/2047:0:tail@-1",
                       "a000:2048/2048:0@-1 a800:2048/2048:1@-1"};
}

void WriteRulesTest::diff_records()
{
    QFETCH(QByteArray, file);
    QFETCH(uint, number);
    QFETCH(QString, records);
    QFETCH(QStringList, plans);
    DiffHeader header{};
    header[kDiffNumberWord] = number;
    const DiffWalk walk = walk_diff_records(file, header);
    QCOMPARE(int(walk.status), int(DiffWalkStatus::Ok));
    QStringList got;
    QStringList got_plans;
    for (const DiffRecord& r : walk.records) {
        got << QStringLiteral("%1,%2,%3").arg(r.address, 0, 16).arg(r.length).arg(r.progress);
        const auto plan = plan_diff_record(r, kFlashBlockLen);
        got_plans << render(plan);
        QCOMPARE(diff_record_data_crc(file, r), boot_crc32(file.mid(int(r.data_offset), int(r.length))));
        for (const BlockWrite& w : plan) {
            QByteArray staged;
            QVERIFY(stage_block(file, w, &staged));
            QCOMPARE(staged.left(w.data_len), file.mid(int(w.data_offset), w.data_len));
            QCOMPARE(staged.mid(w.data_len), QByteArray(w.send_len - w.data_len, '\xFF'));
        }
    }
    QCOMPARE(got.join(' '), records);
    QCOMPARE(got_plans, plans);
}

void WriteRulesTest::diff_refusals_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<uint>("number");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("reason");
    const int illegal = int(DiffWalkStatus::Illegal);
    const QByteArray good = record(0, 4, 0, "abcd");
    QTest::newRow("dblk_number 0") << diff_file(good) << 0u << int(DiffWalkStatus::NoBlocks) << "";
    QTest::newRow("header only") << diff_file({}) << 1u << illegal
                                 << "Illegal document: there is no block record behind the header";
    QTest::newRow("shorter than a header") << QByteArray(31, '\0') << 1u << illegal
                                           << "Illegal document: the file is shorter than its 32-byte header";
    QTest::newRow("record header cut") << diff_file(good + good.left(15)) << 1u << illegal
                                       << "Illegal block record at file offset 52: the record header runs past "
                                          "the end of the file";
    QTest::newRow("negative length") << diff_file(good + record(0, 0x80000000u, 0, "abcd")) << 1u << illegal
                                     << "Illegal block record at file offset 52: the length 2147483648 is too large";
    QTest::newRow("data past the end") << diff_file(good + record(0, 10, 0, "abcde")) << 1u << illegal
                                       << "Illegal block record at file offset 52: the data runs past the end of "
                                          "the file";
    QTest::newRow("past the address space") << diff_file(record(0xFFFFFFFEu, 4, 0, "abcd")) << 1u << illegal
                                            << "Illegal block record at file offset 32: the data runs past the end "
                                               "of the flash address space";
    // Record 2's 0xFF padding reaches record 1's range after record 1 was checked.
    QTest::newRow("later padding over an earlier record")
        << diff_file(record(1024, 100, 0, pattern(100)) + record(0, 100, 0, pattern(100, 1))) << 2u << illegal
        << "Illegal document: record 1 of 2 (file offset 32, address 0x00000400): the writes of record 2 (data and "
           "0xFF padding) change its data after its flash CRC check passed: the update would end with this range "
           "wrong";
}

void WriteRulesTest::diff_refusals()
{
    QFETCH(QByteArray, file);
    QFETCH(uint, number);
    QFETCH(int, status);
    QFETCH(QString, reason);
    DiffHeader header{};
    header[kDiffNumberWord] = number;
    const DiffWalk walk = walk_diff_for_update(file, header);
    QCOMPARE(int(walk.status), status);
    QCOMPARE(walk.reason, reason);
    QVERIFY(walk.records.isEmpty());
}

void WriteRulesTest::diff_progress_beyond_int_range()
{
    // 100 times a position past 21.5 MB no longer fits an int.
    const int n = 22 * 1000 * 1000;
    const QByteArray file = diff_file(record(0, 16, 0, pattern(16)) + record(0x100000, n, 0, QByteArray(n, '\0')));
    DiffHeader header{};
    header[kDiffNumberWord] = 2;
    const DiffWalk walk = walk_diff_records(file, header);
    QCOMPARE(walk.records.size(), 2);
    QCOMPARE(walk.records.at(0).progress, 0);
    QCOMPARE(walk.records.at(1).progress, 100);
}

void WriteRulesTest::mcu_image_rules_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<uint>("crc");
    QTest::addColumn<uint>("run_address");
    QTest::addColumn<QString>("label");
    QTest::newRow("empty") << QByteArray() << 0u << 0u << "Mcu code, CRC = 0x00000000 Len: 0";
    const QByteArray seven("\1\2\3\4\5\6\7");
    QTest::newRow("7 bytes: no run address") << seven << boot_crc32(seven) << 0u
                                             << "Mcu code, CRC = 0x" + QString::number(boot_crc32(seven), 16).toUpper().rightJustified(8, '0') + " Len: 7";
    const QByteArray base = QByteArray::fromHex("0000000000800008");
    QTest::newRow("run address at base") << base << boot_crc32(base) << 0x08008000u
                                         << "Mcu code, CRC = 0x" + QString::number(boot_crc32(base), 16).toUpper().rightJustified(8, '0') + " Len: 8";
}

void WriteRulesTest::mcu_image_rules()
{
    QFETCH(QByteArray, image);
    QFETCH(uint, crc);
    QFETCH(uint, run_address);
    const McuImage m = read_mcu_image(image);
    QCOMPARE(m.len, image.size());
    QCOMPARE(m.crc, uint32_t(crc));
    QCOMPARE(m.run_address, uint32_t(run_address));
    QFETCH(QString, label);
    QCOMPARE(mcu_image_label(m), label);
}

void WriteRulesTest::mcu_ranges_data()
{
    QTest::addColumn<uint>("chip");
    QTest::addColumn<int>("len");
    QTest::addColumn<uint>("run_address");
    QTest::addColumn<int>("verdict");
    QTest::addColumn<uint>("start");
    QTest::addColumn<uint>("end");
    QTest::addColumn<uint>("limit");
    const int ok = int(McuRangeVerdict::Ok), large = int(McuRangeVerdict::TooLarge);
    QTest::newRow("run address 0x08010234") << kVq350B << 4096 << 0x08010234u << ok << 0x8000u << 0x9000u << 0x77800u;
    QTest::newRow("run address at base") << kVq350B << 100 << 0x08008000u << ok << 0u << 100u << 0x77800u;
    QTest::newRow("run address below base") << kVq350B << 100 << 0x08007FFFu << int(McuRangeVerdict::RunAddressTooLow)
                                            << 0u << 0u << 0x77800u;
    QTest::newRow("run address page wraps") << kVq350B << 100 << 0x10001000u
                                            << int(McuRangeVerdict::RunAddressOutOfRange) << 0u << 0u << 0x77800u;
    QTest::newRow("run-address limit") << kVq350B << 0x77800 << 0x08008000u << ok << 0u << 0x77800u << 0x77800u;
    QTest::newRow("run-address limit + 1") << kVq350B << 0x77801 << 0x08008000u << large << 0u << 0x77801u << 0x77800u;
    QTest::newRow("VQ4420 limit") << kVq4420ChipId << 0x75800 << 0x08008000u << ok << 0u << 0x75800u << 0x75800u;
    QTest::newRow("VQ4420 limit + 1") << kVq4420ChipId << 0x75801 << 0x08008000u << large << 0u << 0x75801u << 0x75800u;
    QTest::newRow("VQ350A limit") << kVq350AChipId << 0xE800 << 0x08010000u << ok << 0u << 0xE800u << 59392u;
    QTest::newRow("VQ350A 0xE801") << kVq350AChipId << 0xE801 << 0x08010000u << large << 0u << 0xE801u << 59392u;
    QTest::newRow("catalogue model ignores run address") << kVq4410 << 1000 << 0x08010000u << ok << 0u << 1000u
                                                         << 0x1F8000u;
    QTest::newRow("7 bytes") << kVq350B << 7 << 0u << int(McuRangeVerdict::TooShort) << 0u << 0u << 0u;
}

void WriteRulesTest::mcu_ranges()
{
    QFETCH(uint, chip);
    QFETCH(int, len);
    QFETCH(uint, run_address);
    QFETCH(int, verdict);
    QFETCH(uint, start);
    QFETCH(uint, end);
    QFETCH(uint, limit);
    const McuRange r = plan_mcu_range(mcu_image(len, run_address), chip);
    QCOMPARE(int(r.verdict), verdict);
    QCOMPARE(r.start, uint32_t(start));
    QCOMPARE(r.end, uint32_t(end));
    QCOMPARE(r.limit, uint32_t(limit));
    QCOMPARE(r.run_address, r.run_address_model && len >= 8 ? uint32_t(run_address) : 0u);
}

void WriteRulesTest::mcu_blocks_data()
{
    // offset:len@progress, F marks the final write.
    QTest::addColumn<int>("total");
    QTest::addColumn<QString>("plan");
    QTest::newRow("exactly 2048: empty final") << 2048 << "8000:2048@100 F8800:0@-1";
    QTest::newRow("4096: no final") << 4096 << "8000:2048@50 8800:2048@100";
    QTest::newRow("1000: only final") << 1000 << "F8000:1000@-1";
    QTest::newRow("5000") << 5000 << "8000:2048@40 8800:2048@81 F9000:904@-1";
    QTest::newRow("6144: odd, empty final") << 6144 << "8000:2048@33 8800:2048@66 9000:2048@100 F9800:0@-1";
}

void WriteRulesTest::mcu_blocks()
{
    QFETCH(int, total);
    QFETCH(QString, plan);
    QStringList got;
    for (const McuBlockWrite& w : plan_mcu_blocks(total, kMcuBlockLen, 0x8000)) {
        QCOMPARE(w.data_offset + w.len <= total, true);
        got << QStringLiteral("%1%2:%3@%4").arg(w.final ? "F" : "").arg(w.offset, 0, 16).arg(w.len).arg(w.progress);
    }
    QCOMPARE(got.join(' '), plan);
}

void WriteRulesTest::flash_modes_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<uint>("chip");
    QTest::addColumn<int>("mode");
    QTest::newRow("32 MiB") << 0x2000000 << kVq350AChipId << 1;
    QTest::newRow("64 MiB") << 0x4000000 << kVq4410 << 1;
    QTest::newRow("64 MiB less 0x80000") << 0x4000000 - 0x80000 << kVq4410 << 0;
    QTest::newRow("48 MiB") << 0x3000000 << kVq4410 << 0;
    QTest::newRow("128 MiB, VQ4410") << 0x8000000 << kVq4410 << 2;
    QTest::newRow("256 MiB, VQ4410") << 0x10000000 << kVq4410 << 2;
    QTest::newRow("128 MiB, VQ350A") << 0x8000000 << kVq350AChipId << 0;
    QTest::newRow("16 MiB") << 0x1000000 << kVq4410 << 0;
}

void WriteRulesTest::flash_modes()
{
    QFETCH(int, size);
    QFETCH(uint, chip);
    QFETCH(int, mode);
    QCOMPARE(flash_mode_for_update(size, chip), mode);
}

QTEST_GUILESS_MAIN(WriteRulesTest)
#include "test_write_rules.moc"
