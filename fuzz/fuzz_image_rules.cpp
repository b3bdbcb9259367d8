// Any file as a plain or differential flash image: no read past its end, a
// verdict that agrees with the integrity rules, the fields a slot shows.
#include <QByteArray>
#include <QString>
#include <cstdint>
#include <cstdlib>

#include "flashimage/image_rules.h"
#include "protocol/crc32.h"

namespace {
void put_u32be(QByteArray& f, int at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        f[at + i] = char((v >> (24 - 8 * i)) & 0xFF);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Not copied, so the sanitizer sees any read past the input.
    const QByteArray file = QByteArray::fromRawData(reinterpret_cast<const char*>(data), int(size));

    const FlashImageCheck bin = check_flash_image(file, QStringLiteral("image.bin"));
    if (bin.is_diff || !bin.ok || !bin.log_lines.isEmpty() || bin.len != file.size())
        abort();
    if (bin.has_info != 0 && (bin.has_info != 1 || file.size() < kImageInfoEnd))
        abort();
    if (!bin.label.startsWith(QLatin1String("Flash code, FileCRC = ")))
        abort();

    const FlashImageCheck diff = check_flash_image(file, QStringLiteral("image.diff"));
    if (!diff.is_diff || diff.log_lines.size() != 10 || diff.len != file.size())
        abort();
    if (diff.ok != (diff.error.isEmpty() && !diff.label.isEmpty()))
        abort();
    if (diff.ok && (file.size() < kDiffHeaderLen || diff.par_tcrc != diff.diff_info[kDiffParaCrc] ||
                    diff.blk_tcrc != diff.diff_info[kDblkCrc]))
        abort();

    // The same file with its header CRCs put right passes, if it has a header.
    if (file.size() >= kDiffHeaderLen) {
        QByteArray fixed(file.constData(), file.size());
        put_u32be(fixed, 8, boot_crc32(reinterpret_cast<const uint8_t*>(fixed.constData()) + kDiffHeaderLen,
                                       size_t(fixed.size() - kDiffHeaderLen)));
        put_u32be(fixed, 28, boot_crc32(fixed, kDiffParaCrcSpan));
        if (!check_flash_image(fixed, QStringLiteral("image.diff")).ok)
            abort();
    }
    return 0;
}
