#include "flashimage/diff_check.h"

#include <algorithm>

#include "flashimage/flash_limits.h"
#include "flashimage/image_rules.h"
#include "flashimage/update_plan.h"
#include "protocol/hex_text.h"

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

    const qint64 flash_end = flash_size > 0 ? flash_size : kLargestFlashBytes;
    const int count = walk.records.size();
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
    }
    return problems;
}
