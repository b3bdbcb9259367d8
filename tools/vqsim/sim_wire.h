#pragma once

// The boot loader's own view of the wire: its CRC, its little-endian fields,
// its frame sizes and the rates it can switch to. Written apart from the
// tool's helpers on purpose: the device must not share a misreading with the
// host it is there to check.

#include <QByteArray>
#include <array>
#include <cstdint>

namespace sim_wire {

constexpr int kFrameLen = 64;  // host command frames of fixed size
constexpr int kReplyLen = 63;  // every reply this boot loader sends
constexpr uint8_t kNoBaudChange = 0x7F;  // connect byte 16: stay at the present rate

// The rate-box entries a connect may ask the boot loader to switch to, by index.
constexpr std::array<int, 11> kRates = {9600,   19200,  38400,  57600,   115200, 230400,
                                        256000, 460800, 921600, 1382400, 3000000};

// Reflected CRC-32 of polynomial 0x04C11DB7, started at 0, not inverted at
// the end. Computed bit by bit: slow but with no table to get wrong.
// 'crc' carries a running value from an earlier piece.
inline uint32_t crc32(const uint8_t* data, size_t len, uint32_t crc = 0)
{
    constexpr uint32_t kReflectedPoly = 0xEDB88320;
    for (size_t i = 0; i < len; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? (crc >> 1) ^ kReflectedPoly : crc >> 1;
    }
    return crc;
}

inline uint32_t crc32(const QByteArray& bytes, int len = -1, uint32_t crc = 0)
{
    const int n = len < 0 ? bytes.size() : len;
    return crc32(reinterpret_cast<const uint8_t*>(bytes.constData()), size_t(n), crc);
}

inline uint8_t u8(const QByteArray& b, int at)
{
    return static_cast<uint8_t>(b.at(at));
}

inline uint16_t u16(const QByteArray& b, int at)
{
    return uint16_t(u8(b, at) | (u8(b, at + 1) << 8));
}

inline uint32_t u32(const QByteArray& b, int at)
{
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | u8(b, at + i);
    return v;
}

inline void set_u32(QByteArray& b, int at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<char>(v >> (8 * i));
}

inline QByteArray le32(uint32_t v)
{
    QByteArray b(4, '\0');
    set_u32(b, 0, v);
    return b;
}

}  // namespace sim_wire
