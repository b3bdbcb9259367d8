// The registry's map of serial ports: SERIALCOMM lists every serial port
// the system knows, and the USB serial driver registers its first device as
// \Device\USBSER000. Simulated chips run only on Linux, so nothing is
// published here.

#include <QSettings>
#include <windows.h>

#include "serial/port_map.h"

namespace {

constexpr int kNameChars = 256;
constexpr int kDataBytes = 256;
const QString kUsbSerialDevice = QStringLiteral("\\Device\\USBSER000");

PortMapEntry registry_entry(int index)
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return {QStringLiteral("Cannot open regedit!"), QString(), false};

    wchar_t name[kNameChars];
    BYTE data[kDataBytes];
    DWORD name_len = kNameChars;
    DWORD data_len = kDataBytes;
    DWORD type = 0;
    if (RegEnumValueW(key, static_cast<DWORD>(index), name, &name_len, nullptr, &type, data, &data_len) !=
        ERROR_SUCCESS) {
        RegCloseKey(key);
        return {QStringLiteral(" "), QString(), false};
    }
    QString value_name;
    for (DWORD i = 0; i < name_len; ++i)
        value_name += QChar(static_cast<char>(name[i] & 0xFF));
    // The port name is UTF-16; its non-zero bytes spell it out.
    QString port;
    for (DWORD i = 0; i < data_len; ++i) {
        if (data[i] != 0)
            port += QChar(static_cast<char>(data[i]));
    }
    RegCloseKey(key);
    return {port, value_name, false};
}

class RegistryPortMap : public PortMap {
public:
    QList<PortMapEntry> entries() override
    {
        QSettings settings(QStringLiteral("HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM"),
                           QSettings::NativeFormat);
        const int count = settings.allKeys().size();
        QList<PortMapEntry> list;
        for (int i = 0; i < count; ++i)
            list.append(registry_entry(i));
        return list;
    }
};

}  // namespace

bool is_usb_serial_device(const QString& device_name)
{
    return device_name == kUsbSerialDevice;
}

QString default_publish_dir()
{
    return QString();
}

bool publish_dir_is_private(const QString&)
{
    return false;
}

bool prepare_publish_dir(const QString&)
{
    return false;
}

bool is_pseudo_terminal(const QString&)
{
    return false;
}

QString published_port_file(const QString&, qint64, int)
{
    return QString();
}

QStringList published_ports(const QString&)
{
    return {};
}

std::unique_ptr<PortMap> PortMap::create_default()
{
    return std::make_unique<RegistryPortMap>();
}
