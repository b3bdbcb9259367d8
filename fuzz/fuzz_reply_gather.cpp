// Any sequence of chunks keeps the reply buffer in bounds, and every
// completed reply is made of bytes that were delivered.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "protocol/reply_gather.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    uint8_t rx_buf[kRxBufLen];
    memset(rx_buf, 0xA5, sizeof rx_buf);
    int rx_len = 0;
    bool rx_ready = false;
    // Each input byte below 0x20 starts a new chunk of that many times 64
    // bytes taken from the rest of the input (wrapping), so long chunks occur.
    size_t at = 0;
    while (at < size) {
        const size_t want = size_t(data[at] % 0x20) * 64 + (data[at] >> 5);
        ++at;
        char chunk[0x20 * 64 + 8];
        for (size_t i = 0; i < want; ++i)
            chunk[i] = char(data[(at + i) % size]);
        rx_ready = false;
        const int len_before = rx_len;
        gather_chunk(chunk, int(want), rx_buf, rx_len, rx_ready);
        if (rx_len < 0 || rx_len > 62)
            abort();
        // A chunk of 63 bytes or more completes a reply; with nothing
        // gathered before, the reply is the chunk's own tail.
        const size_t considered = want < 1024 ? want : 1024;
        if (considered >= 63 && !rx_ready)
            abort();
        if (considered >= 63 && len_before == 0 && memcmp(rx_buf, chunk + considered - 63, 63) != 0)
            abort();
        at += want / 2;
    }
    return 0;
}
