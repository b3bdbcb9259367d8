#pragma once

// Arrival and removal of serial ports on platforms without the Windows
// device broadcasts: a udev monitor on the tty subsystem where udev
// delivers events, and in every case a poll of the port map about once a
// second (simulator ports are pseudo-terminals, which udev never reports).
// Both end in one comparison of the map with the last one seen, so a port
// is reported once however it was noticed.

#include <QObject>
#include <QSet>
#include <QString>

class PortMap;
class QSocketNotifier;
class QTimer;

class PortWatcher : public QObject {
    Q_OBJECT

public:
    PortWatcher(PortMap* map, QObject* parent);
    ~PortWatcher() override;

    // The port is gone (its device reported an error); don't report its
    // removal again, and report it as arriving if it comes back.
    void forget(const QString& port_name);

public slots:
    void rescan();

signals:
    void arrived(const QString& port_name);
    void removed(const QString& port_name);

private:
    void drain_udev();

    PortMap* map_;
    QSet<QString> known_;
    QTimer* poll_ = nullptr;
    QSocketNotifier* udev_notifier_ = nullptr;
    struct udev* udev_ = nullptr;
    struct udev_monitor* monitor_ = nullptr;
};
