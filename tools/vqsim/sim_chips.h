#pragma once

// The chips this boot loader can pretend to be: the model names an operator
// types on the command line and the chip IDs they prove in the connect
// handshake. A literal table of the device's own.

#include <QString>
#include <array>
#include <cstdint>

struct SimChip {
    const char* name;
    uint32_t chip_id;
};

constexpr std::array<SimChip, 17> kSimChips = {{
    {"VQ4410", 0x19714410},
    {"VQ210", 0x19712100},
    {"VQ210 Uart0", 0x19710210},
    {"VQ230", 0x19712300},
    {"VQ330", 0x19713300},
    {"VQ250A", 0x1971250A},
    {"VQ250B", 0x1971250B},
    {"VQ250C", 0x1971250C},
    {"VQ250D", 0x1971250D},
    {"VQ350A", 0x1971350A},
    {"VQ350B", 0x1971350B},
    {"VQ360", 0x19713600},
    {"VQ350C", 0x1971350C},
    {"VQ350D", 0x1971350D},
    {"VQ4420", 0x19714420},
    {"VQ340", 0x19713400},
    {"VQ470", 0x19714700},
}};

// The one model whose boot loader takes 64-byte frames and packets.
constexpr uint32_t kSimVq350aId = 0x1971350A;
