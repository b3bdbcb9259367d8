#include "protocol/crc32.h"

#include <limits>

// The boot loader's CRC is the common reflected CRC-32 register without its
// two inversions. The libraries below implement the common one, f(seed, ...),
// which inverts the seed on entry and the register on exit; seeding with
// ~0 and inverting the result cancels both, leaving the register started
// at 0 that the boot loader keeps.
#if defined(VQ_CRC32_ISAL)
#include <isa-l/crc.h>

namespace {
uint32_t common_crc32(uint32_t seed, const uint8_t* data, size_t len)
{
    return crc32_gzip_refl(seed, data, len);
}
}  // namespace

const char* boot_crc32_engine()
{
    return "ISA-L";
}
#else
#include <zlib.h>

namespace {
uint32_t common_crc32(uint32_t seed, const uint8_t* data, size_t len)
{
    // zlib takes a 32-bit length on some builds: feed it in slices.
    constexpr size_t kSlice = std::numeric_limits<uInt>::max() & ~size_t(0xFFFF);
    uLong crc = seed;
    while (len > 0) {
        const size_t n = len < kSlice ? len : kSlice;
        crc = crc32(crc, data, uInt(n));
        data += n;
        len -= n;
    }
    return uint32_t(crc);
}
}  // namespace

const char* boot_crc32_engine()
{
    return "zlib";
}
#endif

uint32_t boot_crc32(const uint8_t* data, size_t len)
{
    if (len == 0)
        return 0;  // data may be null then, which neither library promises to accept
    return common_crc32(0xFFFFFFFFu, data, len) ^ 0xFFFFFFFFu;
}
