// vqimage's dry run and builder on any bytes. The input is split into a
// flash and a .diff (or an OLD and a NEW); half the time the .diff's two
// integrity CRCs are made right, so that the record walk, the padded writes
// and the record checks are reached and not only the header check.
// Properties: a dry run never reads outside its inputs, fails with a reason
// and no flash, or succeeds with a flash that covers the input flash and
// every record's range holding its CRC; a built .diff always passes the
// Input File rules and applies to OLD giving NEW.
#include <QByteArray>
#include <cstdint>
#include <cstdlib>

#include "flashimage/diff_builder.h"
#include "protocol/crc32.h"

namespace {
constexpr qint64 kFuzzFlashBytes = 64 * 1024;  // keeps far addresses cheap

void check(bool ok)
{
    if (!ok)
        abort();
}

void put_u32be(QByteArray& b, int at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = char(v >> (24 - 8 * i));
}

void dry_run(const QByteArray& flash, QByteArray diff, bool fix_crcs, bool check_image)
{
    if (fix_crcs && diff.size() >= kDiffHeaderLen) {
        put_u32be(diff, 8, boot_crc32(reinterpret_cast<const uint8_t*>(diff.constData()) + kDiffHeaderLen,
                                      size_t(diff.size() - kDiffHeaderLen)));
        put_u32be(diff, 28, boot_crc32(diff, kDiffParaCrcSpan));
    }
    DryRunOptions options;
    options.check_new_image = check_image;
    options.max_flash_bytes = kFuzzFlashBytes;
    const DiffDryRun run = apply_diff(flash, diff, options);
    if (!run.ok) {
        check(!run.error.isEmpty() && run.flash.isEmpty());
        return;
    }
    check(run.flash.size() >= flash.size() && run.flash.size() <= kFuzzFlashBytes);
    check(!run.records.isEmpty());
    for (const DryRunRecord& r : run.records)
        check(r.length > 0 && r.flash_crc == r.crc && r.writes > 0);
}

void build(const QByteArray& old_image, const QByteArray& new_image, int align)
{
    const DiffBuild b = build_diff(old_image, new_image, {0, align});
    if (b.status != DiffBuildStatus::Ok) {
        check(!b.error.isEmpty() && b.file.isEmpty());
        return;
    }
    check(check_flash_image(b.file, QStringLiteral("u.diff")).ok);
    const DiffDryRun run = apply_diff(image_as_programmed(old_image), b.file);
    check(run.ok && run.flash.left(new_image.size()) == image_as_programmed(new_image));
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3)
        return 0;
    const uint8_t mode = data[0];
    const size_t split = (size_t(data[1]) << 8 | data[2]) % (size - 2);
    const char* rest = reinterpret_cast<const char*>(data + 3);
    const QByteArray first(rest, int(split));
    const QByteArray second(rest + split, int(size - 3 - split));
    dry_run(first, second, mode & 1, mode & 2);
    build(first, second, 1 + (mode >> 2) * 97);
    return 0;
}
