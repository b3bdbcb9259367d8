#pragma once

// The one-line progress of an operation: percent, bytes per second and time
// left, estimated from the share done so far.

#include <QElapsedTimer>
#include <QString>

class ProgressMeter {
public:
    // total_bytes: what 100 % stands for; 0 when unknown (no rate is shown).
    void start(qint64 total_bytes)
    {
        total_ = total_bytes;
        clock_.start();
    }

    QString text(int percent) const
    {
        QString out = QStringLiteral("%1%").arg(percent, 3);
        const double seconds = clock_.isValid() ? clock_.elapsed() / 1000.0 : 0.0;
        if (percent <= 0 || seconds <= 0)
            return out;
        if (total_ > 0) {
            const double bytes_per_second = total_ * (percent / 100.0) / seconds;
            out += QStringLiteral("  %1 kB/s").arg(bytes_per_second / 1000.0, 0, 'f', 1);
        }
        const int left = int(seconds * (100 - percent) / percent + 0.5);
        out += QStringLiteral("  %1:%2 left").arg(left / 60).arg(left % 60, 2, 10, QLatin1Char('0'));
        return out;
    }

private:
    qint64 total_ = 0;
    QElapsedTimer clock_;
};
