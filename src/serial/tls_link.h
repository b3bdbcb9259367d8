#pragma once

// TLS under a remote port (rfc2217+tls://, socket+tls://): the server's
// certificate must chain to the authority named (or to the system's own
// authorities when none is) and carry the host name or address connected
// to; a client certificate goes along when one is named. Files not named in
// the URL are taken from the per-user settings ([tls] ca, cert, key).

#include <QString>
#include <functional>

#include "serial/port_url.h"

class QSslConfiguration;
class QSslSocket;

namespace tls {

// The client's configuration for `url`; what is wrong with its files, in
// one line, or empty.
QString configuration(const PortUrl& url, QSslConfiguration* out);

// Encrypts the connected `socket` and verifies the server, waiting at most
// `ms` in slices short enough for `stopped` to be honoured. False with
// `failure` (one line, after the port's `name`) when the files are unusable,
// the server's certificate does not verify, or the handshake fails; nothing
// has then gone to the server but the handshake.
bool start(QSslSocket& socket, const PortUrl& url, const QString& name, int ms, QString* failure,
           const std::function<bool()>& stopped = {});

}  // namespace tls
