#include "serial/remote_ports.h"

#include <QSettings>

#include "serial/port_url.h"

namespace {
constexpr char kKey[] = "ports/remote";

QSettings user_settings()
{
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("vq-uart-tool"),
                     QStringLiteral("vqgui"));
}
}  // namespace

QStringList kept_remote_ports()
{
    QStringList out;
    for (const QString& kept : user_settings().value(QLatin1String(kKey)).toStringList()) {
        const QString name = kept.trimmed();  // the file may have been edited by hand
        if (is_remote_port(name) && parse_port_url(name).problem.isEmpty() && !out.contains(name))
            out << name;
    }
    return out;
}

QString keep_remote_port(const QString& url)
{
    const QString name = url.trimmed();
    const PortUrl parsed = parse_port_url(name);
    if (parsed.scheme == PortUrl::Local)
        return QStringLiteral("%1: not rfc2217://host:port or socket://host:port").arg(name);
    if (!parsed.problem.isEmpty())
        return parsed.problem;
    QStringList kept = kept_remote_ports();
    if (!kept.contains(name)) {
        kept << name;
        user_settings().setValue(QLatin1String(kKey), kept);
    }
    return QString();
}

QString remote_port_setting(const QString& key)
{
    return user_settings().value(key).toString().trimmed();
}
