#pragma once

// The simulated boot loader on a pty of its own, served from a thread, and a
// working folder (where Flash.ini and the images are) that is the current one
// while a test runs. The window's tests and the session's build on it.

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "sim_server.h"

class SimHost {
public:
    explicit SimHost(const SimConfig& config) : sim(config, publish_dir.path()) {}
    ~SimHost()
    {
        sim.stop();
        if (!old_cwd_.isEmpty())
            QDir::setCurrent(old_cwd_);
    }

    bool start_sim()
    {
        old_cwd_ = QDir::currentPath();
        QDir::setCurrent(work_dir.path());
        return publish_dir.isValid() && work_dir.isValid() && sim.start();
    }

    // A file in the working folder; its full path.
    QString write(const QString& name, const QByteArray& bytes)
    {
        QFile f(work_dir.filePath(name));
        if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
            qWarning("cannot write %s", qPrintable(name));
        return f.fileName();
    }
    QVector<SimFrame> frames(char letter)
    {
        return sim.with_device([letter](SimDevice& d) { return d.frames_of(letter); });
    }
    void clear_records()
    {
        sim.with_device([](SimDevice& d) { d.clear_records(); return 0; });
    }
    void put_in_flash(uint32_t address, const QByteArray& bytes)
    {
        sim.with_device([&](SimDevice& d) { d.external_flash().write(address, bytes); return 0; });
    }
    QByteArray flash(uint32_t address, int len)
    {
        return sim.with_device([&](SimDevice& d) { return d.external_flash().read(address, len); });
    }

    QTemporaryDir publish_dir;
    QTemporaryDir work_dir;
    SimServer sim;

private:
    QString old_cwd_;
};
