#pragma once

// Which physical port a socket's name is: two spellings of one port would be
// two sockets polling and kicking each other off the port server. A URL is
// compared after its scheme's case, a trailing "/" and its host (a name and
// the addresses it resolves to) are made one; a by-path link after it is
// followed. The scheme and the options after '?' are not part of it: they
// say how to talk to a TCP port, and two sockets talking to one TCP port
// differently would still kick each other off it.

#include <QHash>
#include <QString>
#include <QStringList>

struct PortIdentity {
    QString key;          // equal keys: the same port (addresses aside)
    QString host;         // a remote port's host as written, lower case; empty for a local one
    int tcp_port = 0;     // a remote port's TCP port
    QStringList addresses;  // what the host resolved to; empty while unresolved
    QString problem;      // a malformed URL, in vqprog's words
};

// addresses_of: what a host name resolved to (an address resolves to itself;
// a missing entry is a name not resolved, compared by its text).
PortIdentity port_identity(const QString& name, const QHash<QString, QStringList>& addresses_of = {});

// The first pair of names that are one port, as the setup's reason, or the
// first malformed URL's reason; empty when every name is a port of its own.
QString same_port_problem(const QStringList& names, const QHash<QString, QStringList>& addresses_of = {});

// The remote hosts the names mention that are not addresses: what must be
// resolved before same_port_problem can see every pair.
QStringList hosts_to_resolve(const QStringList& names);
