#include "flashimage/update_plan.h"

#include "flash/flash_frames.h"
#include "protocol/catalogue.h"
#include "protocol/crc32.h"

namespace {
constexpr int kTailThirdAttemptLimit = 2;
constexpr int kAcceptLimit = 1;

constexpr int kFlash32MiB = 0x2000000;
constexpr int kFlash64MiB = 0x4000000;
constexpr int kFlash128MiB = 0x8000000;

uint32_t get_u32be(const QByteArray& b, qint64 at)
{
    const auto* p = reinterpret_cast<const uint8_t*>(b.constData()) + at;
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

QString illegal_record(qint64 at, const QString& why)
{
    return QStringLiteral("Illegal block record at file offset ") + QString::number(at) + QStringLiteral(": ") + why;
}
}  // namespace

bool attempt_accepted(AttemptRule rule, int attempt, int result)
{
    switch (rule) {
    case AttemptRule::FlashBlock:
        return result <= kAcceptLimit;
    case AttemptRule::FlashTail:
        return result <= (attempt >= kMaxWriteAttempts ? kTailThirdAttemptLimit : kAcceptLimit);
    case AttemptRule::McuBlock:
        return result == 0;
    }
    return false;
}

bool attempt_again(AttemptRule rule, int attempt, int result)
{
    if (attempt >= kMaxWriteAttempts || attempt_accepted(rule, attempt, result))
        return false;
    // A negative MCU result is a time-out or a broken link: writing again
    // would only wait again.
    return rule != AttemptRule::McuBlock || result > 0;
}

AttemptOutcome write_with_attempts(AttemptRule rule, const std::function<int()>& write_once)
{
    AttemptOutcome o{false, 0, 0};
    do {
        ++o.attempts;
        o.result = write_once();
    } while (attempt_again(rule, o.attempts, o.result));
    o.accepted = attempt_accepted(rule, o.attempts, o.result);
    return o;
}

namespace {
// Whole blocks of blk from base, then the tail; sequence bits alternate from 0.
QVector<BlockWrite> cut(qint64 first_byte, qint64 len, int blk, uint32_t base, TailStyle style, bool with_progress)
{
    QVector<BlockWrite> writes;
    if (len < 0 || blk < 1 || blk > kFlashBlockLen)
        return writes;
    const qint64 blocks = len / blk;
    const int tail = int(len % blk);
    for (qint64 i = 0; i < blocks; ++i) {
        const int progress = with_progress ? int(100 * i / blocks) : -1;
        writes.append({first_byte + i * blk, blk, blk, uint32_t(base + uint32_t(i * blk)), int(i & 1), false, progress});
    }
    const uint32_t tail_address = uint32_t(base + uint32_t(blocks * blk));
    const int seq = int(blocks & 1);
    if (tail == 0 && style != TailStyle::PaddedAlways)
        return writes;
    const int send_len = style == TailStyle::Exact ? tail : kPaddedTailLen;
    writes.append({first_byte + blocks * blk, tail, send_len, tail_address, seq, true, -1});
    return writes;
}
}  // namespace

QVector<BlockWrite> plan_flash_image(int len, int blk, uint32_t base, TailStyle style)
{
    return cut(0, len, blk, base, style, true);
}

bool stage_block(const QByteArray& source, const BlockWrite& write, QByteArray* staged)
{
    if (write.data_offset < 0 || write.data_len < 0 || write.send_len < write.data_len ||
        write.data_offset + write.data_len > source.size())
        return false;
    *staged = source.mid(int(write.data_offset), write.data_len);
    staged->append(write.send_len - write.data_len, kFlashPadByte);
    return true;
}

DiffWalk walk_diff_records(const QByteArray& file, const DiffHeader& header)
{
    DiffWalk walk{DiffWalkStatus::Ok, QString(), {}};
    if (header[kDiffNumberWord] == 0) {
        walk.status = DiffWalkStatus::NoBlocks;
        return walk;
    }
    const qint64 len = file.size();
    auto refuse = [&walk](const QString& reason) {
        walk.status = DiffWalkStatus::Illegal;
        walk.reason = reason;
        walk.records.clear();
        return walk;
    };
    if (len < kDiffHeaderLen)
        return refuse(illegal_document(QStringLiteral("the file is shorter than its 32-byte header")));
    if (len == kDiffHeaderLen)
        return refuse(illegal_document(QStringLiteral("there is no block record behind the header")));

    for (qint64 p = kDiffHeaderLen; p < len;) {
        if (len - p < kDiffRecordHeaderLen)
            return refuse(illegal_record(p, QStringLiteral("the record header runs past the end of the file")));
        DiffRecord r{};
        r.header_offset = p;
        r.address = get_u32be(file, p);
        r.length = get_u32be(file, p + 4);
        r.crc = get_u32be(file, p + 8);
        r.data_offset = p + kDiffRecordHeaderLen;
        if (r.length > kDiffMaxRecordLen)
            return refuse(illegal_record(p, QStringLiteral("the length ") + QString::number(r.length) +
                                                QStringLiteral(" is too large")));
        if (r.length > len - r.data_offset)
            return refuse(illegal_record(p, QStringLiteral("the data runs past the end of the file")));
        if (qint64(r.address) + qint64(r.length) > (qint64(1) << 32))
            return refuse(illegal_record(p, QStringLiteral("the data runs past the end of the flash address space")));
        r.next_position = r.data_offset + r.length;
        r.progress = int(100 * r.next_position / len);
        walk.records.append(r);
        p = r.next_position;
    }
    return walk;
}

QVector<BlockWrite> plan_diff_record(const DiffRecord& record, int blk)
{
    return cut(record.data_offset, record.length, blk, record.address, TailStyle::PaddedWhenPresent, false);
}

uint32_t diff_record_data_crc(const QByteArray& file, const DiffRecord& record)
{
    if (record.data_offset < 0 || record.data_offset + qint64(record.length) > file.size())
        return 0;
    return boot_crc32(reinterpret_cast<const uint8_t*>(file.constData()) + record.data_offset, record.length);
}

int flash_mode_for_update(int flash_size, uint32_t chip_id)
{
    if (flash_size == kFlash32MiB || flash_size == kFlash64MiB)
        return kFlashMode32BitAddress;
    if (flash_size >= kFlash128MiB && in_flash_set_128m(chip_id))
        return kFlashModeNand;
    return 0;
}

int flash_mode_for_check(int flash_size, uint32_t chip_id)
{
    if (flash_size == kFlash32MiB || flash_size == kFlash64MiB)
        return kFlashMode32BitAddress;
    if (flash_size == kFlash128MiB && in_flash_set_128m(chip_id))
        return kFlashModeNand;
    return 0;
}
