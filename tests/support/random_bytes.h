#pragma once

// Bytes that look like a real image to a CRC and to a survey: no runs, no
// repeats, the same for the same seed.

#include <QByteArray>
#include <QRandomGenerator>

inline QByteArray noise(int n, quint32 seed)
{
    QRandomGenerator g(seed);
    QByteArray b(n, '\0');
    for (int i = 0; i < n; i += 4) {
        const quint32 w = g.generate();
        for (int k = 0; k < 4 && i + k < n; ++k)
            b[i + k] = char(w >> (8 * k));
    }
    return b;
}
