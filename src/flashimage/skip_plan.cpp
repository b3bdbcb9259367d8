#include "flashimage/skip_plan.h"

#include <algorithm>

#include "flashimage/diff_check.h"
#include "protocol/crc32.h"

namespace {

// Regions of about len / kSurveyFanOut, in whole blocks, covering the region.
QVector<SurveyRegion> parts_of(const SurveyRegion& r, uint32_t blk, uint32_t part_len)
{
    QVector<SurveyRegion> parts;
    part_len = std::max(blk, part_len / blk * blk);
    for (uint64_t at = r.offset; at < uint64_t(r.offset) + r.len; at += part_len) {
        const uint32_t len = uint32_t(std::min<uint64_t>(part_len, uint64_t(r.offset) + r.len - at));
        parts.append({uint32_t(at), len});
    }
    return parts;
}

}  // namespace

SkipPlan survey_flash_image(const QByteArray& in_flash, int blk, const DeviceCrcQuery& ask)
{
    SkipPlan plan;
    if (blk < 1 || in_flash.isEmpty())
        return plan;
    const uint32_t block_len = uint32_t(blk);
    const int blocks = int((uint32_t(in_flash.size()) + block_len - 1) / block_len);
    plan.write.fill(false, blocks);
    const auto mark = [&](const SurveyRegion& r) {
        const int first = int(r.offset / block_len);
        const int last = int((uint64_t(r.offset) + r.len - 1) / block_len);
        for (int b = first; b <= last && b < blocks; ++b)
            plan.write[b] = true;
    };
    const auto host_crc = [&](const SurveyRegion& r) {
        return boot_crc32(reinterpret_cast<const uint8_t*>(in_flash.constData()) + r.offset, r.len);
    };

    // Groups of sibling regions, asked in address order, level after level.
    QVector<QVector<SurveyRegion>> groups;
    groups.append(parts_of({0, uint32_t(in_flash.size())}, block_len, kSurveyFirstRegion));
    for (int g = 0; g < groups.size(); ++g) {
        const QVector<SurveyRegion> group = groups.at(g);
        QVector<SurveyRegion> differing;
        for (const SurveyRegion& r : group) {
            if (plan.stopped_asking) {
                differing.append(r);
                continue;
            }
            const SurveyAnswer a = ask(r);
            ++plan.queries;
            plan.bytes_surveyed += r.len;
            if (a.kind == SurveyReply::StopAsking)
                plan.stopped_asking = true;
            if (a.kind != SurveyReply::Crc) {
                mark(r);  // never narrowed: its parts would be no easier to read
                continue;
            }
            if (a.crc != host_crc(r))
                differing.append(r);
        }
        const bool dense = group.size() >= kSurveyDenseMinParts && differing.size() == group.size();
        for (const SurveyRegion& r : differing) {
            if (dense || plan.stopped_asking || r.len <= block_len)
                mark(r);
            else
                groups.append(parts_of(r, block_len, r.len / kSurveyFanOut));
        }
    }
    plan.changed = int(std::count(plan.write.cbegin(), plan.write.cend(), true));
    return plan;
}

QVector<BlockWrite> writes_left_in(const QVector<BlockWrite>& all, const QVector<bool>& write)
{
    QVector<BlockWrite> sent;
    for (int i = 0; i < all.size(); ++i) {
        if (i >= write.size() || write.at(i))
            sent.append(all.at(i));
    }
    int whole = 0;
    for (const BlockWrite& w : sent)
        whole += w.tail ? 0 : 1;
    for (int k = 0; k < sent.size(); ++k) {
        BlockWrite& w = sent[k];
        w.seq = k & 1;
        if (!w.tail)
            w.progress = int(100 * qint64(k) / whole);
    }
    return sent;
}

QVector<bool> survey_diff_records(const QVector<DiffRecord>& records, const DeviceCrcQuery& ask)
{
    QVector<bool> write;
    bool asking = true;
    for (const DiffRecord& r : records) {
        SurveyAnswer a{SurveyReply::StopAsking, 0};
        if (asking)
            a = ask({r.address, r.length});
        asking = a.kind != SurveyReply::StopAsking;
        write.append(a.kind != SurveyReply::Crc || a.crc != r.crc);
    }
    return write;
}

QVector<bool> diff_records_never_skipped(const QVector<DiffRecord>& records, int blk)
{
    QVector<bool> never(records.size(), false);
    for (const DiffOverlap& group : overlapping_diff_records(records, blk)) {
        for (int i : group.records)
            never[i] = true;
    }
    return never;
}

QByteArray image_as_left_in_flash(const QByteArray& image, int len, int blk, TailStyle style)
{
    QByteArray bytes = image.left(std::max(len, 0));
    if (style == TailStyle::PaddedAlways && blk > 0) {
        const int tail_start = bytes.size() / blk * blk;
        bytes.append(tail_start + kPaddedTailLen - bytes.size(), kFlashPadByte);
    }
    return bytes;
}

QString skip_survey_line(int changed, int blocks, qint64 bytes_to_write)
{
    return QStringLiteral("Blocks that differ: %1 of %2, %3 bytes to write").arg(changed).arg(blocks).arg(bytes_to_write);
}
