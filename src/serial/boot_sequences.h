#pragma once

// The two wake-up sequences that bring a running application into its boot
// loader. They go out raw, not as command frames.

#include <QByteArray>

inline QByteArray bootupdate_sequence()
{
    static const char bytes[] = {'\xAA', '\xFF', 'B', 'O', 'O', 'T', 'U', 'P', 'D', 'A', 'T', 'E',
                                 '\xA4', '\x18', '\xE4', '\x1B', '\x11', '\xEE'};
    return QByteArray(bytes, sizeof bytes);
}

inline QByteArray bootmode2_sequence()
{
    static const char bytes[] = {'\x5A', '\xA5', '\x07', '\x10', '\x70', '\x11', '\xAA', '\x55', '\x11', '\x99'};
    return QByteArray(bytes, sizeof bytes);
}
