#include "serial/port_watcher.h"

#include <QSocketNotifier>
#include <QTimer>

#include "serial/port_map.h"

#ifdef VQ_HAVE_UDEV
#include <libudev.h>
#endif

namespace {
constexpr int kPollIntervalMs = 1000;

QSet<QString> names_of(const QList<PortMapEntry>& entries)
{
    QSet<QString> names;
    for (const PortMapEntry& e : entries)
        names.insert(e.port_name);
    return names;
}
}  // namespace

PortWatcher::PortWatcher(PortMap* map, QObject* parent) : QObject(parent), map_(map)
{
#ifndef Q_OS_WIN
    known_ = names_of(map_->entries());
    poll_ = new QTimer(this);
    connect(poll_, &QTimer::timeout, this, &PortWatcher::rescan);
    poll_->start(kPollIntervalMs);
#endif
#ifdef VQ_HAVE_UDEV
    udev_ = udev_new();
    if (udev_)
        monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
    if (monitor_ && udev_monitor_filter_add_match_subsystem_devtype(monitor_, "tty", nullptr) >= 0 &&
        udev_monitor_enable_receiving(monitor_) >= 0) {
        udev_notifier_ = new QSocketNotifier(udev_monitor_get_fd(monitor_), QSocketNotifier::Read, this);
        connect(udev_notifier_, &QSocketNotifier::activated, this, &PortWatcher::drain_udev);
    }
#endif
}

PortWatcher::~PortWatcher()
{
#ifdef VQ_HAVE_UDEV
    delete udev_notifier_;
    if (monitor_)
        udev_monitor_unref(monitor_);
    if (udev_)
        udev_unref(udev_);
#endif
}

void PortWatcher::forget(const QString& port_name)
{
    known_.remove(port_name);
}

void PortWatcher::drain_udev()
{
#ifdef VQ_HAVE_UDEV
    while (udev_device* dev = udev_monitor_receive_device(monitor_))
        udev_device_unref(dev);
#endif
    rescan();
}

void PortWatcher::rescan()
{
    const QSet<QString> before = known_;
    known_ = names_of(map_->entries());
    // The handlers may call forget(), so they see the new state, not a set
    // that is being iterated.
    QStringList gone = (before - known_).values();
    QStringList come = (known_ - before).values();
    gone.sort();
    come.sort();
    for (const QString& name : gone)
        emit removed(name);
    for (const QString& name : come)
        emit arrived(name);
}
