#include "port_publish.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <signal.h>

QString default_publish_dir()
{
    return QStringLiteral("/tmp/vqsim-ports");
}

QString published_port_file(const QString& dir, qint64 pid, int n)
{
    return QDir(dir).filePath(QStringLiteral("%1-%2.port").arg(pid).arg(n));
}

QStringList published_ports(const QString& dir)
{
    QStringList ports;
    const QFileInfoList files = QDir(dir).entryInfoList({QStringLiteral("*.port")}, QDir::Files, QDir::Name);
    for (const QFileInfo& info : files) {
        const qint64 pid = info.baseName().section(QLatin1Char('-'), 0, 0).toLongLong();
        // A simulator that was killed leaves its file behind.
        if (pid <= 0 || (kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM))
            continue;
        QFile file(info.filePath());
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QString path = QString::fromLocal8Bit(file.readLine(4096)).trimmed();
        if (!path.isEmpty() && QFileInfo::exists(path))
            ports << path;
    }
    std::sort(ports.begin(), ports.end());
    return ports;
}
