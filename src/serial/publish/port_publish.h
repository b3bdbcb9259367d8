#pragma once

// The one rule the tool and the simulated chip share: where and how a
// simulator publishes its pseudo-terminal so that the port list finds it.
// Its own small library, so the simulator links nothing else of the tool.

#include <QString>
#include <QStringList>

// Simulated chips publish their pseudo-terminal in this folder, one file per
// port ("<pid>-<n>.port") holding the port's path.
QString default_publish_dir();
// The file a simulator process publishes its n-th port in.
QString published_port_file(const QString& dir, qint64 pid, int n);
// The published ports whose process is alive and whose path exists, sorted.
QStringList published_ports(const QString& dir);
