#include "serial/port_url.h"

#include <QHostAddress>
#include <QStringList>
#include <QUrl>

namespace {

struct KnownScheme {
    const char* name;
    PortUrl::Scheme scheme;
    bool tls;
};
constexpr KnownScheme kSchemes[] = {
    {"rfc2217", PortUrl::Rfc2217, false},
    {"socket", PortUrl::RawSocket, false},
    {"rfc2217+tls", PortUrl::Rfc2217, true},
    {"socket+tls", PortUrl::RawSocket, true},
};

bool plain_host_name(const QString& host)
{
    for (QChar c : host) {
        if (!(c.isLetterOrNumber() || c == QLatin1Char('.') || c == QLatin1Char('-') || c == QLatin1Char('_')))
            return false;
    }
    return !host.isEmpty();
}

// The query's options, each checked; what is wrong, or empty.
QString read_query(const QString& text, const QString& query, PortUrl* u)
{
    for (const QString& item : query.split(QLatin1Char('&'), Qt::SkipEmptyParts)) {
        const QString option = item.section(QLatin1Char('='), 0, 0);
        if (option.isEmpty())
            return QStringLiteral("%1: an option with no name (\"%2\")").arg(text, item);
        const QString value = QUrl::fromPercentEncoding(item.section(QLatin1Char('='), 1).toUtf8());
        const bool tls_option = option == QLatin1String("ca") || option == QLatin1String("cert") ||
                                option == QLatin1String("key");
        if (!u->tls) {
            // pyserial's logging option changes nothing on the wire; any
            // other, and a certificate above all, must not be dropped silently.
            if (option == QLatin1String("logging"))
                continue;
            if (tls_option)
                return QStringLiteral("%1: %2= is for a TLS port (rfc2217+tls:// or socket+tls://)").arg(text, option);
            return QStringLiteral("%1: the option %2 is not understood").arg(text, option);
        }
        if (!tls_option)
            return QStringLiteral("%1: the option %2 is not understood (ca=FILE, cert=FILE&key=FILE)").arg(text, option);
        if (value.isEmpty())
            return QStringLiteral("%1: %2= names no file").arg(text, option);
        (option == QLatin1String("ca") ? u->ca : option == QLatin1String("cert") ? u->cert : u->key) = value;
    }
    if (u->cert.isEmpty() != u->key.isEmpty())
        return QStringLiteral("%1: cert=FILE and key=FILE go together").arg(text);
    return QString();
}

}  // namespace

PortUrl parse_port_url(const QString& name)
{
    PortUrl u;
    const QString text = name.trimmed();
    const int sep = text.indexOf(QLatin1String("://"));
    if (sep <= 0)
        return u;
    const QString scheme = text.left(sep).toLower();
    for (const KnownScheme& s : kSchemes) {
        if (scheme == QLatin1String(s.name)) {
            u.scheme = s.scheme;
            u.tls = s.tls;
        }
    }
    if (u.scheme == PortUrl::Local)
        return u;

    QString rest = text.mid(sep + 3);
    QString query;
    if (rest.contains(QLatin1Char('?'))) {
        query = rest.section(QLatin1Char('?'), 1);
        rest = rest.section(QLatin1Char('?'), 0, 0);
    }
    const QString authority = rest.section(QLatin1Char('/'), 0, 0);
    const QString path = rest.mid(authority.size());

    QString port_text;
    bool has_port = false;
    bool bracketed = false;
    if (authority.startsWith(QLatin1Char('['))) {
        const int close = authority.indexOf(QLatin1Char(']'));
        bracketed = close > 0;
        u.host = bracketed ? authority.mid(1, close - 1) : QString();
        const QString after = bracketed ? authority.mid(close + 1) : QString();
        has_port = after.startsWith(QLatin1Char(':'));
        port_text = after.mid(1);
        if (!bracketed || (!after.isEmpty() && !has_port) ||
            QHostAddress(u.host).protocol() != QAbstractSocket::IPv6Protocol)
            u.host.clear();
    } else if (authority.count(QLatin1Char(':')) > 1) {
        // Which colon starts the port cannot be told without brackets.
        u.problem =
            QStringLiteral("%1: an IPv6 address goes in brackets; write it as %2://[address]:port").arg(text, scheme);
        return u;
    } else {
        u.host = authority.section(QLatin1Char(':'), 0, 0);
        has_port = authority.contains(QLatin1Char(':'));
        port_text = authority.section(QLatin1Char(':'), 1);
        if (!plain_host_name(u.host))
            u.host.clear();
    }
    const QString host_form = bracketed ? QStringLiteral("[%1]").arg(u.host) : u.host;

    bool number = !port_text.isEmpty();
    for (QChar c : port_text)
        number = number && c.isDigit() && c.unicode() < 128;
    u.port = number && port_text.size() <= 5 ? port_text.toInt() : -1;
    if (u.host.isEmpty())
        u.problem = QStringLiteral("%1: no host; write it as %2://host:port").arg(text, scheme);
    else if (!has_port || port_text.isEmpty())
        u.problem = QStringLiteral("%1: no TCP port; write it as %2://%3:port").arg(text, scheme, host_form);
    else if (u.port < 1 || u.port > 65535)
        u.problem = QStringLiteral("%1: the TCP port %2 is not a number from 1 to 65535").arg(text, port_text);
    else if (!path.isEmpty() && path != QLatin1String("/"))
        u.problem = QStringLiteral("%1: a path after the port is not understood").arg(text);
    else
        u.problem = read_query(text, query, &u);
    return u;
}
