#include "serial/port_url.h"

#include <QUrl>

PortUrl parse_port_url(const QString& name)
{
    PortUrl u;
    const QString text = name.trimmed();
    if (text.startsWith(QLatin1String("rfc2217://"), Qt::CaseInsensitive))
        u.scheme = PortUrl::Rfc2217;
    else if (text.startsWith(QLatin1String("socket://"), Qt::CaseInsensitive))
        u.scheme = PortUrl::RawSocket;
    else
        return u;
    // pyserial's URLs may carry options after '?' (logging=debug); none of
    // them changes what goes over the wire, so they are let through unread.
    const QUrl url(text, QUrl::StrictMode);
    u.host = url.host();
    u.port = url.port();
    if (!url.isValid() || u.host.isEmpty())
        u.problem = QStringLiteral("%1: no host; write it as %2://host:port").arg(text, url.scheme().toLower());
    else if (u.port <= 0)
        u.problem = QStringLiteral("%1: no TCP port; write it as %2://%3:port").arg(text, url.scheme().toLower(), u.host);
    else if (!url.path().isEmpty() && url.path() != QLatin1String("/"))
        u.problem = QStringLiteral("%1: a path after the port is not understood").arg(text);
    return u;
}
