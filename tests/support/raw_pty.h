#pragma once

// A bare pseudo-terminal whose master end the test drives by hand.

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

class RawPty {
public:
    RawPty()
    {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0)
            path_ = QString::fromLocal8Bit(ptsname(master_));
        // Keep a slave descriptor open so the master never sees a hang-up
        // between the host's opens.
        if (!path_.isEmpty())
            keep_ = ::open(path_.toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
    }
    ~RawPty()
    {
        if (keep_ >= 0)
            ::close(keep_);
        if (master_ >= 0)
            ::close(master_);
    }
    QString path() const { return path_; }
    int master() const { return master_; }

    void write(const QByteArray& bytes) const
    {
        const ssize_t n = ::write(master_, bytes.constData(), size_t(bytes.size()));
        (void)n;
    }

    // Reads exactly n bytes within timeout_ms, or fewer on time-out.
    QByteArray read(int n, int timeout_ms = 3000) const
    {
        QByteArray out;
        QElapsedTimer t;
        t.start();
        while (out.size() < n && t.elapsed() < timeout_ms) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, 20) > 0 && (p.revents & POLLIN)) {
                char buf[4096];
                const ssize_t got = ::read(master_, buf, size_t(qMin<int>(n - out.size(), int(sizeof buf))));
                if (got > 0)
                    out.append(buf, int(got));
            }
        }
        return out;
    }

private:
    int master_ = -1;
    int keep_ = -1;
    QString path_;
};
