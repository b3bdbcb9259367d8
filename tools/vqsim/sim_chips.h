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
    bool by_run_address = false;  // places the application by the run address in its image
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
    {"VQ350B", 0x1971350B, true},
    {"VQ360", 0x19713600, true},
    {"VQ350C", 0x1971350C, true},
    {"VQ350D", 0x1971350D, true},
    {"VQ4420", 0x19714420, true},
    {"VQ340", 0x19713400},
    {"VQ470", 0x19714700},
}};

// Whether the application goes where its run address says; the other
// models always program it from offset 0.
inline bool sim_places_by_run_address(uint32_t chip_id)
{
    for (const SimChip& c : kSimChips) {
        if (c.chip_id == chip_id)
            return c.by_run_address;
    }
    return false;
}

// The one model whose boot loader takes 64-byte frames and packets.
constexpr uint32_t kSimVq350aId = 0x1971350A;
