#include "flashimage/diff_builder.h"

#include <algorithm>
#include <cstring>

#include "flashimage/update_plan.h"
#include "protocol/crc32.h"
#include "protocol/frame.h"
#include "protocol/hex_text.h"

namespace {
constexpr int kBlockedRecordLen = kFlashBlockLen;  // records are whole blocks unless they end at NEW's end

const uint8_t* bytes_of(const QByteArray& b)
{
    return reinterpret_cast<const uint8_t*>(b.constData());
}

void append_u32be(QByteArray& out, uint32_t v)
{
    const char word[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    out.append(word, 4);
}

struct Span {
    qint64 start;
    qint64 end;
};

// The spans of NEW to write: every align-sized unit that differs from OLD or
// lies past OLD's end, grown to whole blocks (clipped at NEW's end) and merged
// when the gap between them costs less than another record would.
QVector<Span> changed_spans(const QByteArray& old_p, const QByteArray& new_p, int align)
{
    const qint64 n = new_p.size();
    const qint64 o = old_p.size();
    auto block_end = [n](qint64 start, qint64 end) {
        const qint64 len = (end - start + kBlockedRecordLen - 1) / kBlockedRecordLen * kBlockedRecordLen;
        return std::min(start + len, n);
    };
    QVector<Span> spans;
    bool open = false;
    Span cur{0, 0};
    for (qint64 us = 0; us < n; us += align) {
        const qint64 ue = std::min(us + align, n);
        const bool changed =
            ue > o || std::memcmp(old_p.constData() + us, new_p.constData() + us, size_t(ue - us)) != 0;
        if (!changed)
            continue;
        if (open && us - cur.end < kDiffRecordOverhead) {
            cur.end = block_end(cur.start, std::max(cur.end, ue));
            continue;
        }
        if (open)
            spans.append(cur);
        cur = {us, block_end(us, ue)};
        open = true;
    }
    if (open)
        spans.append(cur);
    return spans;
}

DiffBuild refuse(DiffBuildStatus status, const QString& error)
{
    DiffBuild b;
    b.status = status;
    b.error = error;
    return b;
}
}  // namespace

QByteArray image_as_programmed(const QByteArray& image)
{
    if (!read_image_info_block(image).valid)
        return image;
    QByteArray programmed = image;
    std::fill(programmed.begin() + kImageInfoOffset, programmed.begin() + kImageInfoEnd, kFlashPadByte);
    return programmed;
}

uint32_t programmed_flash_crc(const QByteArray& image)
{
    if (image.size() < kImageInfoEnd)
        return 0;
    QByteArray programmed = image;
    std::fill(programmed.begin() + kImageInfoOffset, programmed.begin() + kImageInfoEnd, kFlashPadByte);
    return boot_crc32(programmed);
}

bool stamp_image_info(QByteArray* image)
{
    if (image->size() < kImageInfoEnd)
        return false;
    const uint32_t crc = programmed_flash_crc(*image);
    put_u32le(*image, kImageInfoOffset, uint32_t(image->size()));
    put_u32le(*image, kImageInfoOffset + 4, crc);
    put_u32le(*image, kImageInfoOffset + 8, ~crc);
    return true;
}

DiffBuild build_diff(const QByteArray& old_image, const QByteArray& new_image, const DiffBuildOptions& options)
{
    if (options.align < 1 || options.align > kMaxDiffAlign)
        return refuse(DiffBuildStatus::BadAlign, QStringLiteral("the alignment must be 1 to %1 bytes, not %2")
                                                     .arg(kMaxDiffAlign)
                                                     .arg(options.align));
    if (new_image.isEmpty())
        return refuse(DiffBuildStatus::EmptyNew, QStringLiteral("the new image is empty: there is nothing to program"));
    if (new_image.size() > kMaxDryRunFlashBytes)
        return refuse(DiffBuildStatus::TooLarge, QStringLiteral("the new image is larger than %1 bytes")
                                                     .arg(kMaxDryRunFlashBytes));

    const QByteArray old_p = image_as_programmed(old_image);
    const QByteArray new_p = image_as_programmed(new_image);
    const uint32_t new_crc = boot_crc32(new_image);
    const ImageInfoBlock info = read_image_info_block(new_image);
    const uint32_t new_programmed_crc = info.valid ? boot_crc32(new_p) : new_crc;
    // The flash would never pass its check against the FlashCRC: better
    // refused here than found on the production line.
    if (info.valid && info.flash_crc != new_programmed_crc)
        return refuse(DiffBuildStatus::StaleInfoBlock,
                      QStringLiteral("the new image's info block states FlashCRC %1, but the image as programmed "
                                     "has CRC %2: stamp it again")
                          .arg(hex32_text(info.flash_crc), hex32_text(new_programmed_crc)));

    const QVector<Span> spans = changed_spans(old_p, new_p, options.align);
    if (spans.isEmpty())
        return refuse(DiffBuildStatus::Identical,
                      QStringLiteral("the images are identical as programmed over the new image's %1 bytes: "
                                     "a .diff without records would be refused by Update Flash")
                          .arg(new_image.size()));

    DiffBuild b;
    QByteArray blocks;
    qint64 total = 0;
    for (const Span& s : spans)
        total += kDiffRecordHeaderLen + (s.end - s.start);
    blocks.reserve(int(total));
    for (const Span& s : spans) {
        const uint32_t len = uint32_t(s.end - s.start);
        const uint32_t crc = boot_crc32(bytes_of(new_p) + s.start, len);
        append_u32be(blocks, uint32_t(s.start));
        append_u32be(blocks, len);
        append_u32be(blocks, crc);
        append_u32be(blocks, 0);  // not read by the device
        blocks.append(new_p.constData() + s.start, int(len));
        b.records.append({uint32_t(s.start), len, crc});
    }

    QByteArray header;
    header.reserve(kDiffHeaderLen);
    append_u32be(header, options.index);
    append_u32be(header, uint32_t(blocks.size()));
    append_u32be(header, boot_crc32(blocks));
    append_u32be(header, uint32_t(b.records.size()));
    append_u32be(header, uint32_t(new_image.size()));
    append_u32be(header, new_crc);
    append_u32be(header, info.valid ? info.flash_crc : new_crc);
    append_u32be(header, boot_crc32(header, kDiffParaCrcSpan));
    b.file = header + blocks;
    return b;
}

DiffDryRun apply_diff(QByteArray flash, const QByteArray& diff_file, const DryRunOptions& options)
{
    DiffDryRun r;
    auto fail = [&r](const QString& why) {
        r.ok = false;
        r.error = why;
        return r;
    };
    if (diff_file.size() < kDiffHeaderLen)
        return fail(diff_shorter_than_header(diff_file.size()));
    const FlashImageCheck check = check_flash_image(diff_file, QStringLiteral("image.diff"));
    r.header = check.diff_info;
    r.par_tcrc = check.par_tcrc;
    r.blk_tcrc = check.blk_tcrc;
    if (check.par_tcrc != r.header[kDiffParaCrc])
        return fail(illegal_document(QStringLiteral("the header's CRC is %1, diff_para_crc says %2")
                                         .arg(hex32_text(check.par_tcrc), hex32_text(r.header[kDiffParaCrc]))));
    if (check.blk_tcrc != r.header[kDblkCrc])
        return fail(illegal_document(QStringLiteral("the block area's CRC is %1, dblk_crc says %2")
                                         .arg(hex32_text(check.blk_tcrc), hex32_text(r.header[kDblkCrc]))));

    const DiffWalk walk = walk_diff_records(diff_file, r.header);
    if (walk.status == DiffWalkStatus::NoBlocks)
        return fail(QStringLiteral("There are not any block to update...: dblk_number is 0"));
    if (walk.status == DiffWalkStatus::Illegal)
        return fail(walk.reason);

    // Judge every record before writing, as Update Flash walks them before sending.
    QVector<QVector<BlockWrite>> plans;
    qint64 flash_end = flash.size();
    for (const DiffRecord& rec : walk.records) {
        // A check of no bytes gets no time to answer in: Update Flash fails it.
        if (rec.length == 0)
            return fail(QStringLiteral("Illegal block record at file offset %1: it holds no data, and its flash "
                                       "CRC check cannot pass")
                            .arg(rec.header_offset));
        const QVector<BlockWrite> plan = plan_diff_record(rec, kFlashBlockLen);
        const BlockWrite& last = plan.last();
        const qint64 end = qint64(last.address) + last.send_len;
        if (end > options.max_flash_bytes)
            return fail(QStringLiteral("Illegal block record at file offset %1: its writes reach %2, past the "
                                       "largest flash of %3 bytes")
                            .arg(rec.header_offset)
                            .arg(hex32_text(uint32_t(end - 1)))
                            .arg(options.max_flash_bytes));
        flash_end = std::max(flash_end, end);
        plans.append(plan);
    }

    QByteArray out = std::move(flash);
    if (flash_end > out.size())
        out.append(int(flash_end - out.size()), kFlashPadByte);
    QByteArray staged;
    for (int i = 0; i < walk.records.size(); ++i) {
        const DiffRecord& rec = walk.records[i];
        for (const BlockWrite& w : plans[i]) {
            if (!stage_block(diff_file, w, &staged))
                return fail(QStringLiteral("Illegal block record at file offset %1: its data is not in the file")
                                .arg(rec.header_offset));
            std::memcpy(out.data() + w.address, staged.constData(), size_t(staged.size()));
        }
        const uint32_t got = boot_crc32(bytes_of(out) + rec.address, rec.length);
        r.records.append({rec.address, rec.length, rec.crc, got, plans[i].size()});
        if (got != rec.crc)
            return fail(QStringLiteral("Check flash CRC fail at %1: the range holds CRC %2 after writing, the "
                                       "record expects %3")
                            .arg(hex32_text(rec.address), hex32_text(got), hex32_text(rec.crc)));
    }

    if (options.check_new_image) {
        const uint32_t new_len = r.header[kNFileLenght];
        const uint32_t expected = r.header[kNFileUiCrc];
        if (qint64(new_len) > out.size())
            return fail(QStringLiteral("the new image is %1 bytes (nFile_lenght), but the flash after the update "
                                       "holds only %2")
                            .arg(new_len)
                            .arg(out.size()));
        r.image_checked = true;
        r.image_crc = boot_crc32(bytes_of(out), new_len);
        if (r.image_crc != expected)
            return fail(QStringLiteral("the flash's first %1 bytes have CRC %2 after the update, the new image "
                                       "as programmed has %3 (nFile_ui_crc): this .diff was not made for this "
                                       "flash")
                            .arg(new_len)
                            .arg(hex32_text(r.image_crc), hex32_text(expected)));
    }
    r.ok = true;
    r.flash = out;
    return r;
}
