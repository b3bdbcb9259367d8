#include "port_identity.h"

#include <QDir>
#include <QFileInfo>
#include <QHostAddress>
#include <QSet>

#include "serial/port_url.h"

namespace {

QString canonical_address(const QString& host)
{
    QString bare = host;
    if (bare.startsWith(QLatin1Char('[')) && bare.endsWith(QLatin1Char(']')))
        bare = bare.mid(1, bare.size() - 2);
    const QHostAddress a(bare);
    return a.isNull() ? QString() : a.toString();
}

}  // namespace

PortIdentity port_identity(const QString& name, const QHash<QString, QStringList>& addresses_of)
{
    PortIdentity id;
    const QString text = name.trimmed();
    const PortUrl url = parse_port_url(text);
    if (url.scheme == PortUrl::Local) {
        // A by-path name is a link to its adapter's device.
        const QFileInfo info(text);
        const QString real = info.exists() ? info.canonicalFilePath() : QString();
        id.key = real.isEmpty() ? QDir::cleanPath(info.isSymLink() ? info.symLinkTarget() : text) : real;
        return id;
    }
    if (!url.problem.isEmpty()) {
        id.problem = url.problem;
        return id;
    }
    id.host = url.host.toLower();
    const QString address = canonical_address(id.host);
    if (!address.isEmpty())
        id.addresses = QStringList{address};
    else
        for (const QString& a : addresses_of.value(id.host))
            id.addresses << canonical_address(a);
    id.addresses.removeAll(QString());
    id.tcp_port = url.port;
    id.key = QStringLiteral("%1:%2").arg(id.host).arg(url.port);
    return id;
}

namespace {

bool one_port(const PortIdentity& a, const PortIdentity& b)
{
    if (a.key == b.key)
        return true;
    if (a.host.isEmpty() || b.host.isEmpty())
        return false;
    // The same TCP port at one of the host's addresses.
    if (a.tcp_port != b.tcp_port)
        return false;
    for (const QString& address : a.addresses) {
        if (b.addresses.contains(address))
            return true;
    }
    return false;
}

}  // namespace

QString same_port_problem(const QStringList& names, const QHash<QString, QStringList>& addresses_of)
{
    QVector<PortIdentity> ids;
    for (const QString& name : names) {
        ids.append(port_identity(name, addresses_of));
        if (!ids.last().problem.isEmpty())
            return ids.last().problem;
    }
    for (int i = 0; i < ids.size(); ++i) {
        for (int j = 0; j < i; ++j) {
            if (one_port(ids[i], ids[j]))
                return QStringLiteral("%1 and %2 are the same port").arg(names[j], names[i]);
        }
    }
    return QString();
}

QStringList hosts_to_resolve(const QStringList& names)
{
    QStringList hosts;
    for (const QString& name : names) {
        const PortIdentity id = port_identity(name);
        if (!id.host.isEmpty() && id.addresses.isEmpty() && !hosts.contains(id.host))
            hosts << id.host;
    }
    return hosts;
}
