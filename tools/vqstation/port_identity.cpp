#include "port_identity.h"

#include <QDir>
#include <QFileInfo>
#include <QHostAddress>
#include <QSet>

#include "serial/port_url.h"

namespace {

// The scheme as vqprog reads it, whatever its case.
QString scheme_of(const QString& text)
{
    return text.section(QStringLiteral("://"), 0, 0).toLower();
}

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
    const int query_at = text.indexOf(QLatin1Char('?'));
    const QString query = query_at >= 0 ? text.mid(query_at) : QString();
    id.host = url.host.toLower();
    const QString address = canonical_address(id.host);
    if (!address.isEmpty())
        id.addresses = QStringList{address};
    else
        for (const QString& a : addresses_of.value(id.host))
            id.addresses << canonical_address(a);
    id.addresses.removeAll(QString());
    id.port_and_options = QStringLiteral("%1 %2%3").arg(scheme_of(text)).arg(url.port).arg(query);
    id.key = QStringLiteral("%1://%2:%3%4").arg(scheme_of(text), id.host).arg(url.port).arg(query);
    return id;
}

namespace {

bool one_port(const PortIdentity& a, const PortIdentity& b)
{
    if (a.key == b.key)
        return true;
    if (a.host.isEmpty() || b.host.isEmpty())
        return false;
    // The same port and options at one of the host's addresses.
    if (a.port_and_options != b.port_and_options)
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
