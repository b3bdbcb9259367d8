#pragma once

// The two ways the tool writes a 32-bit word in operator texts.

#include <QString>
#include <cstdint>

// "0x" and eight upper-case digits: 0x0000001F.
inline QString hex32_text(uint32_t value)
{
    return QStringLiteral("0x") + QStringLiteral("%1").arg(value, 8, 16, QLatin1Char('0')).toUpper();
}

// "0x" and lower-case digits without leading zeros: 0x1f (printf's "0x%x").
inline QString hex_lower_text(uint32_t value)
{
    return QStringLiteral("0x") + QString::number(value, 16);
}

// The first `count` bytes in lower-case hex, each followed by a space: "4b 5 0 ".
inline QString hex_bytes_text(const uint8_t* bytes, int count)
{
    QString text;
    for (int i = 0; i < count; ++i)
        text += QString::number(bytes[i], 16) + QLatin1Char(' ');
    return text;
}
