// Any file handed to the .diff record walk either is refused or yields
// records that lie inside the file, one after another up to its end, whose
// block writes stage only bytes the file holds. The MCU image rules get the
// same bytes.
#include <QByteArray>
#include <cstdint>
#include <cstdlib>

#include "flashimage/update_plan.h"
#include "mcu/mcu_plan.h"
#include "protocol/catalogue.h"

namespace {
void check(bool ok)
{
    if (!ok)
        abort();
}

void walk_records(const QByteArray& file)
{
    DiffHeader header{};
    for (int w = 0; w < 8 && (w + 1) * 4 <= file.size(); ++w) {
        const auto* p = reinterpret_cast<const uint8_t*>(file.constData()) + w * 4;
        header[w] = (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
    }
    const DiffWalk walk = walk_diff_records(file, header);
    if (walk.status != DiffWalkStatus::Ok) {
        check(walk.records.isEmpty());
        check((walk.status == DiffWalkStatus::Illegal) == !walk.reason.isEmpty());
        return;
    }
    qint64 at = kDiffHeaderLen;
    int progress = 0;
    for (const DiffRecord& r : walk.records) {
        check(r.header_offset == at && r.data_offset == at + kDiffRecordHeaderLen);
        check(r.next_position == r.data_offset + qint64(r.length) && r.next_position <= file.size());
        check(r.progress >= progress && r.progress <= 100);
        progress = r.progress;
        at = r.next_position;
        diff_record_data_crc(file, r);
        qint64 staged_bytes = 0;
        for (const BlockWrite& w : plan_diff_record(r, kFlashBlockLen)) {
            QByteArray staged;
            check(stage_block(file, w, &staged));
            check(staged.size() == w.send_len && w.send_len <= kFlashBlockLen);
            check(w.data_offset >= r.data_offset && w.data_offset + w.data_len <= r.next_position);
            check(staged.left(w.data_len) == file.mid(int(w.data_offset), w.data_len));
            staged_bytes += w.data_len;
        }
        check(staged_bytes == qint64(r.length));
    }
    check(at == file.size() && progress == 100);
}

void mcu_rules(const QByteArray& image)
{
    const McuImage m = read_mcu_image(image);
    check(m.len == image.size() && (image.size() >= 8 || m.run_address == 0));
    check(mcu_image_label(m).endsWith(QStringLiteral(" Len: ") + QString::number(image.size())));
    const uint8_t pick = image.isEmpty() ? 0 : uint8_t(image.at(0));
    const uint32_t chip = kChipModels[pick % kChipModelCount].chip_id;
    const McuRange r = plan_mcu_range(image, chip);
    if (r.verdict != McuRangeVerdict::Ok)
        return;
    check(r.end - r.start == uint32_t(image.size()) && image.size() <= int(r.limit));
    int covered = 0;
    for (const McuBlockWrite& w : plan_mcu_blocks(image.size(), kMcuBlockLen, r.start)) {
        check(w.data_offset == covered && w.data_offset + w.len <= image.size());
        check(w.offset == r.start + uint32_t(w.data_offset));
        covered += w.len;
    }
    check(covered == image.size());
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray file(reinterpret_cast<const char*>(data), int(size));
    walk_records(file);
    mcu_rules(file);
    return 0;
}
