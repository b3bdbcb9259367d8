#pragma once

// The ports served over the network that this user's window lists after
// the local ones. They are kept in the per-user settings, not in the
// folder's config.ini, whose lines the window's own format fixes.

#include <QString>
#include <QStringList>

QStringList kept_remote_ports();
// Keeps `url` (rfc2217:// or socket://) once; what is wrong with it, or empty.
QString keep_remote_port(const QString& url);
// A value of the same per-user settings (tls/ca and the like); empty when unset.
QString remote_port_setting(const QString& key);
