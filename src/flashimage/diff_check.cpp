#include "flashimage/diff_check.h"

#include <algorithm>
#include <cstring>
#include <numeric>

#include <QStringList>

#include "flashimage/flash_limits.h"
#include "flashimage/image_rules.h"
#include "protocol/hex_text.h"

namespace {

// One past the last flash byte the record's writes touch.
qint64 written_end(const DiffRecord& r, int blk)
{
    const QVector<BlockWrite> writes = plan_diff_record(r, blk);
    return writes.isEmpty() ? qint64(r.address) : qint64(writes.last().address) + writes.last().send_len;
}

// Whether the writes of the records after `first` that meet it, in file
// order, leave its range holding other bytes than its data: the update
// checks each record right after writing it, so nothing would notice.
bool written_over(const QByteArray& file, const QVector<DiffRecord>& records, int first, const QVector<int>& later,
                  int blk)
{
    const DiffRecord& x = records[first];
    const QByteArray data = file.mid(int(x.data_offset), int(x.length));
    QByteArray range = data;
    for (int j : later) {
        const DiffRecord& w = records[j];
        const qint64 lo = std::max<qint64>(x.address, w.address);
        const qint64 hi = std::min<qint64>(qint64(x.address) + x.length, written_end(w, blk));
        const qint64 data_hi = std::min<qint64>(hi, qint64(w.address) + w.length);
        for (qint64 a = lo; a < hi; ++a)
            range[int(a - x.address)] = a < data_hi ? file[int(w.data_offset + (a - w.address))] : kFlashPadByte;
    }
    return range != data;
}

}  // namespace

QVector<DiffOverlap> overlapping_diff_records(const QVector<DiffRecord>& records, int blk)
{
    QVector<qint64> ends;
    for (const DiffRecord& r : records)
        ends.append(written_end(r, blk));
    QVector<int> order(records.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](int a, int b) { return records[a].address < records[b].address; });
    QVector<DiffOverlap> pairs;
    for (int k = 0; k < order.size(); ++k) {
        const int i = order[k];
        for (int m = k + 1; m < order.size() && records[order[m]].address < ends[i]; ++m) {
            const int j = order[m];
            if (ends[j] == records[j].address)
                continue;  // writes nothing
            const DiffRecord& a = records[i];
            const DiffRecord& b = records[j];
            pairs.append({std::min(i, j), std::max(i, j), a.address == b.address && a.length == b.length});
        }
    }
    std::sort(pairs.begin(), pairs.end(), [](const DiffOverlap& a, const DiffOverlap& b) {
        return a.first != b.first ? a.first < b.first : a.second < b.second;
    });
    return pairs;
}

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

    uint32_t words[kDiffHeaderWords];
    std::copy(header.begin(), header.end(), words);
    const DiffWalk walk = walk_diff_records(file, words);
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
    const QVector<DiffOverlap> overlaps = overlapping_diff_records(walk.records, kFlashBlockLen);
    for (int i = 0; i < count; ++i) {
        const DiffRecord& r = walk.records[i];
        const QString which = QStringLiteral("record %1 of %2 (file offset %3, address %4): ")
                                  .arg(i + 1)
                                  .arg(count)
                                  .arg(r.header_offset)
                                  .arg(hex32_text(r.address));
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
        QVector<int> later;
        QStringList numbers;
        for (const DiffOverlap& o : overlaps) {
            if (o.first == i) {
                later.append(o.second);
                numbers << QString::number(o.second + 1);
            }
        }
        if (!later.isEmpty() && written_over(file, walk.records, i, later, kFlashBlockLen))
            add(DiffProblemKind::Overwritten,
                QStringLiteral("the writes of record %1 (data and 0xFF padding) change its data after its flash "
                               "CRC check passed: the update would end with this range wrong")
                    .arg(numbers.join(QStringLiteral(", "))));
    }
    return problems;
}
