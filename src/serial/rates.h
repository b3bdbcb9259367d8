#pragma once

// The baud rates of the two rate boxes, by entry. A connect asks the boot
// loader to switch to the New Rate by sending its entry's index.

#include <array>

constexpr std::array<int, 11> kBaudRates = {9600,   19200,  38400,  57600,   115200, 230400,
                                            256000, 460800, 921600, 1382400, 3000000};
constexpr int kDefaultRateIndex = 4;     // "115200", also where "Return 115200 when close Comm" goes back to
constexpr int kDefaultNewRateIndex = 9;  // "1382400"

inline int baud_rate_for_index(int index)
{
    if (index < 0 || index >= int(kBaudRates.size()))
        return kBaudRates[kDefaultRateIndex];
    return kBaudRates[index];
}
