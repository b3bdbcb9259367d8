#include "flashimage/diff_check.h"

#include <algorithm>
#include <cstring>
#include <numeric>

#include <QStringList>

#include "flashimage/flash_limits.h"
#include "flashimage/image_rules.h"
#include "protocol/hex_text.h"

namespace {

// At most this many records are named as written over: the file is refused
// at the first, and a hostile file could have every record so.
constexpr int kMaxOverwrittenNamed = 20;

QString record_label(int index, int count, const DiffRecord& r)
{
    return QStringLiteral("record %1 of %2 (file offset %3, address %4): ")
        .arg(index + 1)
        .arg(count)
        .arg(r.header_offset)
        .arg(hex32_text(r.address));
}

// One past the last flash byte the record's writes touch.
qint64 written_end(const DiffRecord& r, int blk)
{
    const QVector<BlockWrite> writes = plan_diff_record(r, blk);
    return writes.isEmpty() ? qint64(r.address) : qint64(writes.last().address) + writes.last().send_len;
}

// Records that write something, in address order.
QVector<int> by_address(const QVector<DiffRecord>& records, const QVector<qint64>& ends)
{
    QVector<int> order;
    for (int i = 0; i < records.size(); ++i) {
        if (ends[i] > records[i].address)
            order.append(i);
    }
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
        return records[a].address != records[b].address ? records[a].address < records[b].address
                                                        : records[a].length < records[b].length;
    });
    return order;
}

}  // namespace

QVector<DiffOverlap> overlapping_diff_records(const QVector<DiffRecord>& records, int blk)
{
    QVector<qint64> ends;
    for (const DiffRecord& r : records)
        ends.append(written_end(r, blk));
    const QVector<int> order = by_address(records, ends);
    QVector<DiffOverlap> groups;
    const auto close = [&groups](QVector<int> members, bool duplicate) {
        if (members.size() < 2)
            return;
        std::sort(members.begin(), members.end());
        groups.append({members, duplicate});
    };
    // Sorted by address, a record meets the group before it exactly when it
    // starts before the group's furthest write ends.
    QVector<int> group;
    QVector<int> same;
    qint64 group_end = -1;
    for (int i : order) {
        const DiffRecord& r = records[i];
        if (!same.isEmpty() && (records[same[0]].address != r.address || records[same[0]].length != r.length)) {
            close(same, true);
            same.clear();
        }
        same.append(i);
        if (r.address >= group_end) {
            close(group, false);
            group.clear();
        }
        group.append(i);
        group_end = std::max(group_end, ends[i]);
    }
    close(same, true);
    close(group, false);
    return groups;
}

namespace {

// The records of a group that the writes of the records after them, in
// file order, leave holding other bytes than their data: the update checks
// each record right after writing it, so nothing would notice. The group's
// span is written as the update writes it and each record's range then
// compared. False once enough are named.
bool add_written_over(const QByteArray& file, const QVector<DiffRecord>& records, const QVector<int>& group,
                      int limit, QVector<DiffProblem>* problems)
{
    qint64 lo = records[group[0]].address;
    qint64 hi = lo;
    for (int i : group) {
        lo = std::min<qint64>(lo, records[i].address);
        hi = std::max(hi, written_end(records[i], kFlashBlockLen));
    }
    // Past the largest flash the records are refused already.
    hi = std::min(hi, lo + kLargestFlashBytes);
    QByteArray span(int(hi - lo), kFlashPadByte);
    const auto clip = [&](qint64 at) { return span.data() + (std::min(at, hi) - lo); };
    for (int i : group) {
        const DiffRecord& r = records[i];
        char* at = clip(r.address);
        const qint64 data_end = qint64(r.address) + r.length;
        std::copy(file.constData() + r.data_offset, file.constData() + r.data_offset + (clip(data_end) - at), at);
        std::fill(clip(data_end), clip(written_end(r, kFlashBlockLen)), kFlashPadByte);
    }
    for (int k = 0; k < group.size(); ++k) {
        const DiffRecord& r = records[group[k]];
        if (qint64(r.address) + r.length > hi)
            continue;
        if (std::memcmp(span.constData() + (r.address - lo), file.constData() + r.data_offset, r.length) == 0)
            continue;
        // The last record after it whose writes reach into its data.
        int by = -1;
        for (int m = group.size() - 1; m > k && by < 0; --m) {
            const DiffRecord& w = records[group[m]];
            if (w.address < qint64(r.address) + r.length && written_end(w, kFlashBlockLen) > r.address)
                by = group[m];
        }
        problems->append({DiffProblemKind::Overwritten, group[k], r.header_offset,
                          record_label(group[k], records.size(), r) +
                              QStringLiteral("the writes of record %1 (data and 0xFF padding) change its data after "
                                             "its flash CRC check passed: the update would end with this range wrong")
                                  .arg(by + 1)});
        if (problems->size() >= limit)
            return false;
    }
    return true;
}

// The records that later records' writes change after their checks passed,
// at most `limit` of them.
QVector<DiffProblem> written_over_records(const QByteArray& file, const QVector<DiffRecord>& records, int limit)
{
    QVector<DiffProblem> problems;
    for (const DiffOverlap& group : overlapping_diff_records(records, kFlashBlockLen)) {
        if (!group.duplicate && !add_written_over(file, records, group.records, limit, &problems))
            break;
    }
    return problems;
}

}  // namespace

QVector<DiffProblem> check_diff_records(const QByteArray& file, qint64 flash_size)
{
    QVector<DiffProblem> problems;
    const DiffHeader header = Parse_DiffHeader(file);
    // The label shows dblk_lenght as a signed number: a wrong one could read
    // as a negative length.
    const qint64 area = std::max<qint64>(0, file.size() - kDiffHeaderLen);
    if (header[kDblkLenght] != area)
        problems.append({DiffProblemKind::BlockAreaLength, -1, -1,
                         QStringLiteral("dblk_lenght says the block area holds %1 bytes, it holds %2")
                             .arg(header[kDblkLenght])
                             .arg(area)});

    const DiffWalk walk = walk_diff_records(file, header);
    if (walk.status == DiffWalkStatus::Illegal) {
        problems.append({DiffProblemKind::Unwalkable, -1, -1, walk.reason});
        return problems;
    }
    if (walk.status == DiffWalkStatus::NoBlocks) {
        problems.append({DiffProblemKind::NoRecords, -1, -1,
                         QStringLiteral("There are not any block to update...: dblk_number is 0")});
        return problems;
    }

    const qint64 flash_end = flash_size > 0 ? flash_size : kLargestFlashBytes;
    const int count = walk.records.size();
    for (int i = 0; i < count; ++i) {
        const DiffRecord& r = walk.records[i];
        const QString which = record_label(i, count, r);
        auto add = [&](DiffProblemKind kind, const QString& why) {
            problems.append({kind, i, r.header_offset, which + why});
        };
        if (r.length == 0) {
            add(DiffProblemKind::EmptyRecord, QStringLiteral("the record holds no data: its flash CRC check "
                                                             "cannot pass"));
            continue;
        }
        const qint64 end = qint64(r.address) + r.length;
        if (end > flash_end)
            add(DiffProblemKind::PastFlashEnd,
                QStringLiteral("its data ends at byte %1, past the end of the %2-byte %3")
                    .arg(end)
                    .arg(flash_end)
                    .arg(flash_size > 0 ? QStringLiteral("flash") : QStringLiteral("largest flash")));
        const uint32_t data_crc = diff_record_data_crc(file, r);
        if (data_crc != r.crc)
            add(DiffProblemKind::RecordCrc,
                QStringLiteral("its data has CRC %1, the record says %2: its flash CRC check cannot pass")
                    .arg(hex32_text(data_crc), hex32_text(r.crc)));
    }
    problems += written_over_records(file, walk.records, kMaxOverwrittenNamed);
    return problems;
}

DiffWalk walk_diff_for_update(const QByteArray& file, const DiffHeader& header)
{
    DiffWalk walk = walk_diff_records(file, header);
    if (walk.status != DiffWalkStatus::Ok)
        return walk;
    const QVector<DiffProblem> over = written_over_records(file, walk.records, 1);
    if (!over.isEmpty())
        return {DiffWalkStatus::Illegal, illegal_document(over.first().reason), {}};
    return walk;
}
