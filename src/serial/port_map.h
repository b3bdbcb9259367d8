#pragma once

// The system's map of serial ports, enumerated in a fixed order. On Windows
// it is the registry's SERIALCOMM key; on Linux the serial devices the
// system knows plus the ports that running simulators publish.

#include <QList>
#include <QString>
#include <QStringList>
#include <memory>

struct PortMapEntry {
    QString port_name;        // what the port list shows and opens: "COM3", "/dev/ttyACM0"
    QString device_name;      // the kernel's name: "\Device\USBSER000", "/dev/ttyACM0"
    bool simulated = false;   // a pseudo-terminal published by a simulated chip
};

class PortMap {
public:
    virtual ~PortMap() = default;
    virtual QList<PortMapEntry> entries() = 0;

    static std::unique_ptr<PortMap> create_default();
};

// The USB serial device the tool pre-selects: the first USB CDC-ACM device.
bool is_usb_serial_device(const QString& device_name);

// The entry the port list pre-selects, -1 for none: the USB serial device;
// where there is none, the first simulated chip, so that a machine without
// a board comes up ready to talk to the simulator.
int preselected_entry(const QList<PortMapEntry>& entries);

#include "serial/publish/port_publish.h"  // where simulated chips publish their ports

#ifdef Q_OS_LINUX
// Linux: QSerialPortInfo's devices, then the published simulator ports.
class SystemPortMap : public PortMap {
public:
    explicit SystemPortMap(QString publish_dir = default_publish_dir());
    QList<PortMapEntry> entries() override;

private:
    QString publish_dir_;
};
#endif
