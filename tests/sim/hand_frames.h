#pragma once

// Host frames spelled out byte by byte from the wire layouts, deliberately
// without the host's own frame builders: a misreading shared by the tool and
// the simulator must not be able to pass the simulator's tests.

#include <QByteArray>
#include <QList>
#include <algorithm>
#include <cstdint>

#include "protocol/crc32.h"

namespace hand {

inline QByteArray le16(int v)
{
    QByteArray b;
    b += char(v & 0xFF);
    b += char((v >> 8) & 0xFF);
    return b;
}

inline QByteArray le32(uint32_t v)
{
    QByteArray b;
    for (int shift = 0; shift < 32; shift += 8)
        b += char((v >> shift) & 0xFF);
    return b;
}

inline uint32_t read_le32(const QByteArray& b, int at)
{
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | uint8_t(b.at(at + i));
    return v;
}

inline QByteArray with_crc(const QByteArray& f)
{
    return f + le32(boot_crc32(f));
}

inline QByteArray padded(const QByteArray& f, int len, char fill = '\0')
{
    return f + QByteArray(std::max(0, len - f.size()), fill);
}

inline QByteArray bytes(std::initializer_list<int> list)
{
    QByteArray b;
    for (int v : list)
        b += char(v);
    return b;
}

constexpr int kNoBaudChange = 0x7F;

inline QByteArray connect_request(char mode, uint32_t expected_chip, int baud = kNoBaudChange, uint32_t mcu_len = 0,
                          uint32_t flash_len = 0, uint32_t nonce = 0x01020304)
{
    const QByteArray head = QByteArray("K") + mode + "VQ" + le32(nonce);
    QByteArray f = head + le32(boot_crc32(head + le32(expected_chip)));
    f += le16(6120) + le16(0) + char(baud) + le32(mcu_len).left(3) + le32(flash_len) + QByteArray(8, '\0');
    return padded(with_crc(f), 64);
}

// What the host compares with reply bytes 1..4.
inline uint32_t signature(const QByteArray& request, uint32_t expected_chip)
{
    return boot_crc32(request.left(8) + le32(expected_chip) + "ZKMB");
}

inline QByteArray run(uint32_t address = 0x08008000)
{
    return padded(with_crc("O" + le32(address) + QByteArray(7, '\0')), 64);
}

inline QByteArray erase(uint32_t start, uint32_t end)
{
    return padded(with_crc("L" + le32(start) + le32(end)), 64);
}

inline QByteArray program(uint32_t offset, const QByteArray& data)
{
    return with_crc("J0" + le32(offset) + le16(data.size()) + data);
}

inline QByteArray mcu_crc(uint32_t start, uint32_t len, uint32_t expected = 0)
{
    return padded(with_crc("N" + QByteArray(3, '\0') + le32(len) + le32(expected) + le32(start)), 64);
}

inline QByteArray flash_mode(int mode)
{
    return padded(bytes({'o', mode}), 64);
}

inline QByteArray flash_id(int variant)
{
    return padded(bytes({'m', 0x01, variant}), 64);
}

inline QByteArray flash_crc(uint32_t address, uint32_t len, uint32_t expected = 0)
{
    return padded(with_crc("n" + le32(address) + le32(len) + le32(expected)), 64);
}

inline QByteArray block_write(uint32_t address, int seq, const QByteArray& data)
{
    return with_crc("l" + le32(address) + char(seq) + le16(data.size()) + data);
}

// J0/J1/J2 frames of one block: 512-byte frames, or 64-byte ones for VQ350A.
inline QList<QByteArray> j_frames(bool small, uint32_t offset, const QByteArray& data)
{
    const int size = small ? 64 : 512;
    const int first = small ? 56 : 504;
    const int middle = small ? 62 : 508;
    const int n = data.size();
    QList<QByteArray> out;
    out += padded("J0" + le32(offset) + le16(small ? n : std::min(n, first)) + data.left(first), size);
    int sent = std::min(n, first);
    while (n - sent > middle - 1) {
        out += padded("J1" + (small ? QByteArray() : le16(middle)) + data.mid(sent, middle), size);
        sent += middle;
    }
    out += padded("J2" + (small ? QByteArray() : le16(n - sent)) + data.mid(sent), size);
    return out;
}

// A 'j'/'k'/'l' block packet stream. The host leaves stale bytes behind the
// data of a packet, so the padding here is junk rather than zeros.
inline QList<QByteArray> packet_stream(bool small, uint32_t address, int seq, const QByteArray& data)
{
    const int size = small ? 64 : 512;
    const int first = small ? 57 : 504;
    const int middle = small ? 62 : 509;
    const auto count = [small](int c) { return small ? QByteArray(1, char(c)) : le16(c); };
    const char junk = '\xEE';
    const int n = data.size();
    QList<QByteArray> out;
    const int c = std::min(n, first);
    out += padded("j" + le32(address) + char(seq) + count(c) + data.left(c), size, junk);
    int sent = c;
    while (n - sent >= middle) {
        out += padded("k" + count(middle) + data.mid(sent, middle), size, junk);
        sent += middle;
    }
    out += padded("l" + count(n - sent) + data.mid(sent), size, junk);
    return out;
}

inline QByteArray pattern(int len, int seed = 1)
{
    QByteArray b(len, '\0');
    uint32_t x = uint32_t(seed) * 2654435761u;
    for (int i = 0; i < len; ++i) {
        x = x * 1103515245u + 12345u;
        b[i] = char(x >> 16);
    }
    return b;
}

}  // namespace hand
