#include "serial/port_map.h"

int preselected_entry(const QList<PortMapEntry>& entries)
{
    for (int i = 0; i < entries.size(); ++i) {
        if (is_usb_serial_device(entries[i].device_name))
            return i;
    }
    for (int i = 0; i < entries.size(); ++i) {
        if (entries[i].simulated)
            return i;
    }
    return -1;
}
