#include "mcu/mcu_plan.h"

#include "protocol/catalogue.h"
#include "protocol/connect_frame.h"
#include "protocol/crc32.h"
#include "protocol/frame.h"
#include "protocol/hex_text.h"

uint32_t image_run_address(const QByteArray& image)
{
    if (image.size() < kRunAddressAt + 4)
        return 0;
    return get_u32le(image, kRunAddressAt);
}

McuImage read_mcu_image(const QByteArray& bytes)
{
    return {bytes.size(), boot_crc32(bytes), image_run_address(bytes)};
}

QString mcu_image_label(const McuImage& image)
{
    return QStringLiteral("Mcu code, CRC = ") + hex32_text(image.crc) + QStringLiteral(" Len: ") +
           QString::number(image.len);
}

McuRange plan_mcu_range(const QByteArray& image, uint32_t chip_id)
{
    McuRange r{McuRangeVerdict::Ok, in_run_address_set(chip_id), 0, 0, 0, 0};
    const uint32_t len = uint32_t(image.size());
    if (image.size() < kMcuMinImageLen) {
        r.verdict = McuRangeVerdict::TooShort;
        return r;
    }
    r.limit = chip_model(chip_id).mcu_update_limit;
    if (!r.run_address_model) {
        r.end = len;
        if (len > r.limit)
            r.verdict = McuRangeVerdict::TooLarge;
        return r;
    }
    r.run_address = image_run_address(image);
    if (r.run_address < kAppStartAddress) {
        r.verdict = McuRangeVerdict::RunAddressTooLow;
        return r;
    }
    const uint32_t page = r.run_address & kMcuOffsetMask;
    // A run address of 0x10000000 or more masks to a page below the base;
    // the offset would wrap to the top of the 32-bit range.
    if (page < kAppStartAddress) {
        r.verdict = McuRangeVerdict::RunAddressOutOfRange;
        return r;
    }
    r.start = page - kAppStartAddress;
    r.end = r.start + len;
    if (len > r.limit)
        r.verdict = McuRangeVerdict::TooLarge;
    return r;
}

QVector<McuBlockWrite> plan_mcu_blocks(int total, int blk, uint32_t start)
{
    QVector<McuBlockWrite> writes;
    if (total < 0 || blk < 1)
        return writes;
    const int blocks = total / blk;
    const int rest = total % blk;
    for (int k = 0; k < blocks; ++k) {
        const int progress = total > 0 ? int(qint64(k + 1) * blk * 100 / total) : 100;
        writes.append({k * blk, blk, start + uint32_t(k) * uint32_t(blk), false, progress});
    }
    if ((blocks & 1) != 0 || rest > 0)
        writes.append({blocks * blk, rest, start + uint32_t(blocks) * uint32_t(blk), true, -1});
    return writes;
}
