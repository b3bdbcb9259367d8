#pragma once

// Ports served over the network are named as every serial tool of the
// field names them: rfc2217://host:port (telnet with serial-port control,
// so the rate can change) and socket://host:port (raw TCP, bytes only).
// Any other name is a local serial port.

#include <QString>

struct PortUrl {
    enum Scheme { Local, Rfc2217, RawSocket };
    Scheme scheme = Local;
    QString host;
    int port = 0;
    QString problem;  // why a name with a scheme is no usable URL; empty when it is
};

PortUrl parse_port_url(const QString& name);
inline bool is_remote_port(const QString& name)
{
    return parse_port_url(name).scheme != PortUrl::Local;
}
