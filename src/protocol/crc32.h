#pragma once

#include <QByteArray>
#include <cstddef>
#include <cstdint>

// The boot loader's CRC-32: the reflected 0xEDB88320 table, but starting
// from 0 and without the final inversion of the common CRC-32.
uint32_t boot_crc32(const uint8_t* data, size_t len);

// Which library computes it ("ISA-L" or "zlib"), for benchmarks and reports.
const char* boot_crc32_engine();

inline uint32_t boot_crc32(const QByteArray& bytes, int len)
{
    return boot_crc32(reinterpret_cast<const uint8_t*>(bytes.constData()), static_cast<size_t>(len));
}

inline uint32_t boot_crc32(const QByteArray& bytes)
{
    return boot_crc32(bytes, bytes.size());
}
