#pragma once

// Little helpers for the boot loader's frames: zero-filled buffers,
// little-endian fields and the CRC placed right behind the span it covers.

#include <QByteArray>
#include <cstdint>

#include "protocol/crc32.h"

constexpr int kFrameLen = 64;  // every command frame unless its command says otherwise
constexpr int kReplyLen = 63;  // every reply frame
constexpr int kWrongReplyDumpBytes = 16;  // reply bytes logged in hex when a reply is not the one awaited

inline QByteArray make_frame(char letter, int len = kFrameLen)
{
    QByteArray frame(len, '\0');
    frame[0] = letter;
    return frame;
}

inline void put_u16le(QByteArray& f, int at, uint16_t v)
{
    f[at] = static_cast<char>(v & 0xFF);
    f[at + 1] = static_cast<char>(v >> 8);
}

inline void put_u32le(QByteArray& f, int at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        f[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

inline uint32_t get_u32le(const uint8_t* p)
{
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

inline uint32_t get_u32le(const QByteArray& f, int at)
{
    return get_u32le(reinterpret_cast<const uint8_t*>(f.constData()) + at);
}

inline uint16_t get_u16le(const QByteArray& f, int at)
{
    const auto* p = reinterpret_cast<const uint8_t*>(f.constData()) + at;
    return uint16_t(p[0] | (p[1] << 8));
}

// Stores the boot CRC-32 of bytes [0, span) at bytes [span, span + 4).
inline void put_crc(QByteArray& f, int span)
{
    put_u32le(f, span, boot_crc32(f, span));
}
