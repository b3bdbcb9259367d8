#include <QSerialPortInfo>
#include <algorithm>

#include "serial/port_map.h"


bool is_usb_serial_device(const QString& device_name)
{
    return device_name == QLatin1String("/dev/ttyACM0");
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
