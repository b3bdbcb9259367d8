#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSerialPortInfo>
#include <algorithm>
#include <cerrno>
#include <signal.h>

#include "serial/port_map.h"

bool is_usb_serial_device(const QString& device_name)
{
    return device_name == QLatin1String("/dev/ttyACM0");
}

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

SystemPortMap::SystemPortMap(QString publish_dir) : publish_dir_(std::move(publish_dir)) {}

QList<PortMapEntry> SystemPortMap::entries()
{
    QStringList devices;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts())
        devices << info.systemLocation();
    std::sort(devices.begin(), devices.end());

    QList<PortMapEntry> list;
    for (const QString& d : devices)
        list.append({d, d, false});
    for (const QString& d : published_ports(publish_dir_))
        list.append({d, d, true});
    return list;
}

std::unique_ptr<PortMap> PortMap::create_default()
{
    return std::make_unique<SystemPortMap>();
}
