#include "protocol/reply_gather.h"

#include "protocol/frame.h"

void gather_chunk(const char* chunk, int size, uint8_t (&rx_buf)[kRxBufLen], int& rx_len, bool& rx_ready)
{
    if (size < 0)
        size = 0;
    const int considered = size < kMaxChunkConsidered ? size : kMaxChunkConsidered;
    const int skip = considered > kReplyLen ? considered - kReplyLen : 0;
    if (rx_len < 0 || rx_len >= kRxBufLen)
        rx_len = 0;
    for (int i = skip; i < considered; ++i) {
        rx_buf[rx_len++] = static_cast<uint8_t>(chunk[i]);
        if (rx_len >= kRxBufLen) {
            rx_len = 0;
            rx_ready = true;
            return;
        }
    }
    if (rx_len > kReplyLen - 1) {
        rx_len = 0;
        rx_ready = true;
    }
}
