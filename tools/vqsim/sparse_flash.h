#pragma once

#include <QByteArray>
#include <QHash>
#include <cstdint>

// An erased-by-default memory that only stores the pages written so far, so
// a 128 MiB external flash costs nothing until an image lands in it.
class SparseFlash {
public:
    static constexpr int kPageSize = 4096;
    static constexpr char kErased = '\xFF';

    explicit SparseFlash(uint32_t size = 0) : size_(size) {}

    uint32_t size() const { return size_; }
    // Pages beyond a smaller size are dropped; a larger size reads erased.
    void resize(uint32_t size);
    int pages_in_use() const { return pages_.size(); }

    bool contains(uint32_t address, uint64_t len) const { return address + len <= size_; }
    // Bytes outside the memory read as erased.
    QByteArray read(uint32_t address, int len) const;
    // Overwrites; bytes beyond the end are dropped.
    void write(uint32_t address, const QByteArray& bytes);
    // Boot CRC-32 of [address, address + len), without assembling the range.
    uint32_t crc(uint32_t address, uint32_t len) const;

private:
    QByteArray page(uint32_t index) const;

    uint32_t size_;
    QHash<uint32_t, QByteArray> pages_;
};
