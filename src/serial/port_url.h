#pragma once

// Ports served over the network are named as every serial tool of the
// field names them: rfc2217://host:port (telnet with serial-port control,
// so the rate can change) and socket://host:port (raw TCP, bytes only),
// each also over TLS as rfc2217+tls:// and socket+tls://, whose query may
// name the authority (ca=FILE) and the client's certificate
// (cert=FILE&key=FILE). Any other name is a local serial port.

#include <QString>

struct PortUrl {
    enum Scheme { Local, Rfc2217, RawSocket };
    Scheme scheme = Local;
    bool tls = false;
    QString host;  // an IPv6 address without its brackets, as a socket takes it
    int port = 0;
    QString ca, cert, key;  // files named by the query; empty when not named
    QString problem;        // why a name with a scheme is no usable URL; empty when it is
};

PortUrl parse_port_url(const QString& name);
inline bool is_remote_port(const QString& name)
{
    return parse_port_url(name).scheme != PortUrl::Local;
}
