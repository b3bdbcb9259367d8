#include "sparse_flash.h"

#include <algorithm>

#include "sim_wire.h"

void SparseFlash::resize(uint32_t size)
{
    size_ = size;
    for (auto it = pages_.begin(); it != pages_.end();) {
        if (uint64_t(it.key()) * kPageSize >= size_)
            it = pages_.erase(it);
        else
            ++it;
    }
}

QByteArray SparseFlash::page(uint32_t index) const
{
    return pages_.value(index, QByteArray(kPageSize, kErased));
}

QByteArray SparseFlash::read(uint32_t address, int len) const
{
    QByteArray out;
    out.reserve(len);
    uint64_t at = address;
    const uint64_t end = uint64_t(address) + len;
    while (at < end) {
        const uint32_t index = uint32_t(at / kPageSize);
        const int from = int(at % kPageSize);
        const int take = int(std::min<uint64_t>(kPageSize - from, end - at));
        out += page(index).mid(from, take);
        at += take;
    }
    return out;
}

void SparseFlash::write(uint32_t address, const QByteArray& bytes)
{
    const uint64_t end = std::min<uint64_t>(uint64_t(address) + bytes.size(), size_);
    uint64_t at = address;
    while (at < end) {
        const uint32_t index = uint32_t(at / kPageSize);
        const int from = int(at % kPageSize);
        const int take = int(std::min<uint64_t>(kPageSize - from, end - at));
        QByteArray& p = pages_[index];
        if (p.isEmpty())
            p = QByteArray(kPageSize, kErased);
        p.replace(from, take, bytes.constData() + (at - address), take);
        at += take;
    }
}

uint32_t SparseFlash::crc(uint32_t address, uint32_t len) const
{
    uint32_t crc = 0;
    uint64_t at = address;
    const uint64_t end = uint64_t(address) + len;
    while (at < end) {
        const int from = int(at % kPageSize);
        const int take = int(std::min<uint64_t>(kPageSize - from, end - at));
        crc = sim_wire::crc32(read(uint32_t(at), take), -1, crc);
        at += take;
    }
    return crc;
}
