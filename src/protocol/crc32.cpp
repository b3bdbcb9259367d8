#include "protocol/crc32.h"

#include <array>

namespace {

constexpr int kSlices = 8;  // bytes taken per step: whole images are checked at every Input and Update

using Tables = std::array<std::array<uint32_t, 256>, kSlices>;

// Table 0 is the classic byte-at-a-time table; table k advances a byte
// through k more zero bytes, so eight bytes are folded in one step.
constexpr Tables make_tables()
{
    Tables t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 1) ? (0xEDB88320u ^ (c >> 1)) : (c >> 1);
        t[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; ++i) {
        for (int k = 1; k < kSlices; ++k)
            t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    }
    return t;
}

constexpr Tables kTables = make_tables();

}  // namespace

uint32_t boot_crc32(const uint8_t* data, size_t len)
{
    uint32_t crc = 0;
    size_t i = 0;
    for (; i + kSlices <= len; i += kSlices) {
        const uint32_t lo = crc ^ (uint32_t(data[i]) | uint32_t(data[i + 1]) << 8 | uint32_t(data[i + 2]) << 16 |
                                   uint32_t(data[i + 3]) << 24);
        crc = kTables[7][lo & 0xFF] ^ kTables[6][(lo >> 8) & 0xFF] ^ kTables[5][(lo >> 16) & 0xFF] ^
              kTables[4][lo >> 24] ^ kTables[3][data[i + 4]] ^ kTables[2][data[i + 5]] ^ kTables[1][data[i + 6]] ^
              kTables[0][data[i + 7]];
    }
    for (; i < len; ++i)
        crc = (crc >> 8) ^ kTables[0][(crc ^ data[i]) & 0xFF];
    return crc;
}
