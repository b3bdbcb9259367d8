#include "serial/port_advice.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSerialPortInfo>
#include <QStringList>
#include <algorithm>
#include <cstring>

#ifdef Q_OS_LINUX
#include <cerrno>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

namespace {

constexpr int kCommMax = 15;  // the kernel keeps this much of a process's name
constexpr char kPtsFolder[] = "/dev/pts/";

// Programs of this tool that open ports; the simulator serves one instead.
bool is_vq_program(const QString& name)
{
    return name == QLatin1String("vqgui") || name == QLatin1String("vqprog");
}

QString modem_manager_rule(const QString& port, const QString& usb_id)
{
    const QString match = usb_id.isEmpty() ? QStringLiteral("KERNEL==\"%1\"").arg(QFileInfo(port).fileName())
                                           : QStringLiteral("ATTRS{idVendor}==\"%1\", ATTRS{idProduct}==\"%2\"")
                                                 .arg(usb_id.section(QLatin1Char(':'), 0, 0),
                                                      usb_id.section(QLatin1Char(':'), 1, 1));
    return QStringLiteral("with the udev property ID_MM_DEVICE_IGNORE: a line '%1, ENV{ID_MM_DEVICE_IGNORE}=\"1\"' "
                          "in /etc/udev/rules.d/99-vq-uart.rules, then plug the device in again.")
        .arg(match);
}

QString holder_advice(const QString& port, const PortHolder& h, const QString& usb_id)
{
    if (is_vq_program(h.name)) {
        return QStringLiteral("Cannot open %1: another VQ program holds it, %2 (pid %3); two VQ programs never share "
                              "a port: close it there first.")
            .arg(port, h.name)
            .arg(h.pid);
    }
    const QString held = h.exclusive ? QStringLiteral("Cannot open %1: %2 (pid %3) holds it exclusively")
                                           .arg(port, h.name)
                                           .arg(h.pid)
                                     : QStringLiteral("Cannot open %1: %2 (pid %3) holds it, as %4 shows")
                                           .arg(port, h.name)
                                           .arg(h.pid)
                                           .arg(h.seen_in);
    if (h.name == QLatin1String("ModemManager"))
        return held + QStringLiteral(". ModemManager probes new serial devices as modems; keep it away from this one ") +
               modem_manager_rule(port, usb_id);
    return held + QStringLiteral("; close that program first.");
}

}  // namespace

bool lock_names_process(const QString& lock_app, const QString& process_name)
{
    return lock_app.isEmpty() || process_name.isEmpty() || lock_app.left(kCommMax) == process_name;
}

bool holds_port(const OpenFiles& files, const QString& port_path)
{
    if (!files.paths.contains(port_path))
        return false;
    return !port_path.startsWith(QLatin1String(kPtsFolder)) ||
           !files.served_ptys.contains(port_path.mid(QLatin1String(kPtsFolder).size()).toInt());
}

qint64 lock_file_pid(const QByteArray& head)
{
    const QByteArray first = head.split('\n').value(0).trimmed();
    bool text = false;
    const qint64 pid = first.toLongLong(&text);
    if (text)
        return std::max<qint64>(pid, 0);
    qint32 binary = 0;
    if (head.size() != int(sizeof binary))
        return 0;
    std::memcpy(&binary, head.constData(), sizeof binary);
    return std::max<qint64>(binary, 0);
}

QString port_open_advice(const PortFacts& f)
{
    if (f.not_serial)
        return QStringLiteral("Cannot open %1: not a serial port.").arg(f.port);
    if (f.access_denied) {
        if (f.group.isEmpty() || !f.group_may_use)
            return QStringLiteral("Cannot open %1: permission denied; only its owner may use it: ask for a udev rule "
                                  "that gives it to a group of yours (GROUP=\"dialout\", MODE=\"0660\").")
                .arg(f.port);
        if (f.user_in_group)
            return QStringLiteral("Cannot open %1: permission denied; you are in its group %2 since this session "
                                  "began: log out and in again.")
                .arg(f.port, f.group);
        return QStringLiteral("Cannot open %1: permission denied; it belongs to the group %2: add yourself with "
                              "`sudo usermod -aG %2 $USER`, then log out and in again.")
            .arg(f.port, f.group);
    }
    if (!f.holders.isEmpty())
        return holder_advice(f.port, f.holders.first(), f.usb_id);
    // The holder runs as another user (a system service), whose open files this user may not see.
    if (f.busy)
        return QStringLiteral("Cannot open %1: another program holds it, one you may not see; it may be ModemManager, "
                              "which probes new serial devices as modems: keep it away from this one ")
                   .arg(f.port) +
               modem_manager_rule(f.port, f.usb_id);
    if (!f.stale_lock.isEmpty() && f.stale_lock_pid > 0)
        return QStringLiteral("Cannot open %1: the lock file %2 names process %3, which has ended, and you may not "
                              "remove it: run `sudo rm %2`.")
            .arg(f.port, f.stale_lock)
            .arg(f.stale_lock_pid);
    if (!f.stale_lock.isEmpty())
        return QStringLiteral("Cannot open %1: the lock file %2 names no process, and you may not remove it: run "
                              "`sudo rm %2`.")
            .arg(f.port, f.stale_lock);
    return QString();
}

#ifdef Q_OS_LINUX

namespace {

constexpr qint64 kLockReadMax = 4096;  // a lock file is a few short lines

QString process_name(qint64 pid)
{
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!comm.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLocal8Bit(comm.read(64)).trimmed();
}

bool process_alive(qint64 pid)
{
    return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
}

// The lock files the port library and other serial programs take, in the
// folders the port library looks in: LCK.. and the name under /dev, with
// '/' as '_'.
QStringList lock_files(const QString& port)
{
    static const char* const kLockDirs[] = {"/var/lock",      "/etc/locks", "/var/spool/locks",  "/var/spool/uucp",
                                            "/tmp",           "/var/tmp",   "/var/lock/lockdev", "/run/lock"};
    QString name = port.startsWith(QLatin1String("/dev/")) ? port.mid(5) : QFileInfo(port).fileName();
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    QStringList found;
    for (const char* dir : kLockDirs) {
        const QFileInfo file(QString::fromLatin1(dir) + QStringLiteral("/LCK..") + name);
        if (file.isFile() && !found.contains(file.canonicalFilePath()))
            found << file.canonicalFilePath();
    }
    return found;
}

struct LockInfo {
    qint64 pid = 0;
    QString app;  // the program that wrote it, where the lock names it
};

LockInfo read_lock(const QString& path)
{
    QFile file(path);
    LockInfo info;
    if (!file.open(QIODevice::ReadOnly))
        return info;
    const QByteArray head = file.read(kLockReadMax);
    info.pid = lock_file_pid(head);
    if (head.size() != 4 || head.contains('\n'))  // not the binary form, which names no program
        info.app = QFileInfo(QString::fromLocal8Bit(head.split('\n').value(1).trimmed())).fileName();
    return info;
}

// A live pid whose process does not carry the lock's program name got the
// number of an ended one: that lock is left over.
bool lock_is_live(const LockInfo& lock)
{
    if (!process_alive(lock.pid))
        return false;
    return lock_names_process(lock.app, process_name(lock.pid));
}

// The index of the pseudo-terminal a /dev/ptmx descriptor serves, or -1.
int pty_index(const QString& fdinfo)
{
    QFile file(fdinfo);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (line.startsWith("tty-index:"))
            return line.mid(10).trimmed().toInt();
    }
    return -1;
}

// Processes with the port open, as far as this user may see.
QVector<PortHolder> fd_holders(const QString& port)
{
    const QString target = QFileInfo(port).canonicalFilePath();
    const bool pty = target.startsWith(QLatin1String(kPtsFolder));
    QVector<PortHolder> holders;
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : pids) {
        bool numeric = false;
        const qint64 pid = entry.toLongLong(&numeric);
        if (!numeric)
            continue;
        const QString fd_dir = QStringLiteral("/proc/%1/fd").arg(pid);
        OpenFiles files;
        for (const QString& fd : QDir(fd_dir).entryList(QDir::System | QDir::NoDotAndDotDot)) {
            const QString link = QFile::symLinkTarget(fd_dir + QLatin1Char('/') + fd);
            files.paths << link;
            if (pty && link == QLatin1String("/dev/ptmx"))
                files.served_ptys << pty_index(QStringLiteral("/proc/%1/fdinfo/%2").arg(pid).arg(fd));
        }
        if (holds_port(files, target) && pid != ::getpid())
            holders.append({pid, process_name(pid), fd_dir});
    }
    return holders;
}

// A terminal: a character device of the tty class, or a pseudo-terminal's
// slave side (majors 136..143), which sysfs does not list.
bool is_terminal_device(const struct stat& st)
{
    if (!S_ISCHR(st.st_mode))
        return false;
    const unsigned int major_number = major(st.st_rdev);
    if (major_number >= 136 && major_number <= 143)
        return true;
    const QString subsystem =
        QFileInfo(QStringLiteral("/sys/dev/char/%1:%2/subsystem").arg(major_number).arg(minor(st.st_rdev)))
            .canonicalFilePath();
    return subsystem.isEmpty() || subsystem.endsWith(QLatin1String("/tty"));
}

bool user_listed_in(const struct group& g)
{
    const passwd* user = ::getpwuid(::getuid());
    if (!user)
        return false;
    if (user->pw_gid == g.gr_gid)
        return true;
    for (char** member = g.gr_mem; member && *member; ++member) {
        if (std::strcmp(*member, user->pw_name) == 0)
            return true;
    }
    return false;
}

}  // namespace

std::optional<PortHolder> port_lock_holder(const QString& port, HolderLook look)
{
    for (const QString& path : lock_files(port)) {
        const LockInfo lock = read_lock(path);
        if (lock.pid != ::getpid() && lock_is_live(lock))
            return PortHolder{lock.pid, process_name(lock.pid), path};
    }
    // Root sees every holder. Asking the mode needs a descriptor, opened only
    // when another program has the port open: then no first open raises DTR
    // and no last close drops it.
    if (::geteuid() != 0)
        return std::nullopt;
    const QVector<PortHolder> others =
        look == HolderLook::Processes ? fd_holders(port) : QVector<PortHolder>{PortHolder{0, QString(), port}};
    if (others.isEmpty())
        return std::nullopt;
    const int fd = ::open(QFile::encodeName(port).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    int exclusive = 0;
    if (fd >= 0) {
        if (::ioctl(fd, TIOCGEXCL, &exclusive) != 0)
            exclusive = 0;
        ::close(fd);
    }
    if (!exclusive)
        return std::nullopt;
    PortHolder holder = others.first();
    holder.exclusive = true;
    return holder;
}

PortFacts gather_port_facts(const QString& port)
{
    PortFacts f;
    f.port = port;
    struct stat st {};
    const QByteArray path = QFile::encodeName(port);
    if (::stat(path.constData(), &st) != 0)
        return f;
    f.not_serial = !is_terminal_device(st);
    if (f.not_serial)
        return f;  // processes holding /dev/null are no rivals
    f.access_denied = ::access(path.constData(), R_OK | W_OK) != 0 && errno == EACCES;
    if (const struct group* g = ::getgrgid(st.st_gid)) {
        f.group = QString::fromLocal8Bit(g->gr_name);
        f.user_in_group = user_listed_in(*g);
    }
    f.group_may_use = (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);

    if (const auto locker = port_lock_holder(port))
        f.holders.append(*locker);
    for (const PortHolder& h : fd_holders(port)) {
        if (f.holders.isEmpty() || f.holders.first().pid != h.pid)
            f.holders.append(h);
    }
    for (const QString& lock_path : lock_files(port)) {
        const LockInfo lock = read_lock(lock_path);
        if (!lock_is_live(lock)) {
            f.stale_lock = lock_path;
            f.stale_lock_pid = lock.pid;
        }
    }
    // Refused at once by the kernel: in exclusive mode. The open that failed
    // already raised nothing; one that passes now is closed at once.
    if (f.holders.isEmpty() && !f.access_denied && f.stale_lock.isEmpty()) {
        const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        f.busy = fd < 0 && errno == EBUSY;
        if (fd >= 0)
            ::close(fd);
    }
    const QSerialPortInfo info(port);
    if (info.hasVendorIdentifier() && info.hasProductIdentifier())
        f.usb_id = QStringLiteral("%1:%2")
                       .arg(info.vendorIdentifier(), 4, 16, QLatin1Char('0'))
                       .arg(info.productIdentifier(), 4, 16, QLatin1Char('0'));
    return f;
}

#else

std::optional<PortHolder> port_lock_holder(const QString&, HolderLook)
{
    return std::nullopt;
}

PortFacts gather_port_facts(const QString& port)
{
    PortFacts f;
    f.port = port;
    return f;
}

#endif
