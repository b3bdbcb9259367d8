#pragma once

// The one rule the tool and the simulated chip share: where and how a
// simulator publishes its pseudo-terminal so that the port list finds it.
// Its own small library, so the simulator links nothing else of the tool.

#include <QString>
#include <QStringList>

// Simulated chips publish their pseudo-terminal in this folder, one file per
// port ("<pid>-<n>.port") holding the port's path. The folder is the user's
// own: $XDG_RUNTIME_DIR/vqsim-ports, else /tmp/vqsim-ports-<uid>.
QString default_publish_dir();
// True when dir is a directory (not a link) of the current user that no one
// else can write into; the only kind whose entries are believed.
bool publish_dir_is_private(const QString& dir);
// Creates the folder (mode 0700) where it is missing; false when it is, or
// already was, not private.
bool prepare_publish_dir(const QString& dir);
// True when path names a pseudo-terminal's device, the only thing a
// simulator publishes.
bool is_pseudo_terminal(const QString& path);
// The file a simulator process publishes its n-th port in.
QString published_port_file(const QString& dir, qint64 pid, int n);
// The published ports, sorted: entries of a private folder that are regular
// files of the current user, written by a process that is alive, naming a
// pseudo-terminal.
QStringList published_ports(const QString& dir);

struct PublishedPort {
    QString file;  // the entry's name, "<pid>-<n>.port": one simulated chip, whatever pty it has now
    QString path;  // its pseudo-terminal
};
// published_ports with the entry each came from, in the entries' order.
QList<PublishedPort> published_port_entries(const QString& dir);
