#pragma once

// How the receive slot turns arbitrary chunks from the serial port into
// 63-byte reply frames. Kept free of the port so it can be tested alone.

#include <cstdint>

constexpr int kRxBufLen = 128;        // usable bytes of the reply buffer
constexpr int kMaxChunkConsidered = 1024;

// Appends what the receive slot keeps of one chunk to rx_buf. A chunk of more
// than 63 considered bytes contributes only its last 63, so such a chunk
// always completes a reply on its own. When more than 62 bytes have gathered,
// rx_len restarts at 0 and rx_ready is raised; the reply stays in rx_buf[0..62].
void gather_chunk(const char* chunk, int size, uint8_t (&rx_buf)[kRxBufLen], int& rx_len, bool& rx_ready);
