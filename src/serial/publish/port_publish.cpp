#include "port_publish.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

constexpr int kEntryMaxBytes = 4096;  // a published path; anything longer is not one
constexpr mode_t kPrivateDirMode = 0700;
// The kernel's pseudo-terminal slaves (/dev/pts/N) have these majors.
constexpr unsigned kPtySlaveMajorFirst = 136;
constexpr unsigned kPtySlaveMajorLast = 143;

// The published entry's contents, or an empty string. Never blocks: a FIFO
// or a device put in the folder is refused before anything is read, and a
// link is not followed.
QString read_entry(const QString& file)
{
    const int fd = ::open(QFile::encodeName(file).constData(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return QString();
    struct stat st {};
    QByteArray bytes;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid()) {
        bytes.resize(kEntryMaxBytes);
        const ssize_t n = ::read(fd, bytes.data(), bytes.size());
        bytes.resize(n > 0 ? int(n) : 0);
    }
    ::close(fd);
    const int end = bytes.indexOf('\n');
    return QString::fromLocal8Bit(end >= 0 ? bytes.left(end) : bytes).trimmed();
}

}  // namespace

QString default_publish_dir()
{
    // The session's runtime folder is the user's own; /tmp is everyone's, so
    // there the folder carries the user's id and is checked before use.
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && publish_dir_is_private(QFile::decodeName(runtime)))
        return QFile::decodeName(runtime) + QStringLiteral("/vqsim-ports");
    return QStringLiteral("/tmp/vqsim-ports-%1").arg(::geteuid());
}

bool publish_dir_is_private(const QString& dir)
{
    struct stat st {};
    if (::lstat(QFile::encodeName(dir).constData(), &st) != 0)
        return false;
    return S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool prepare_publish_dir(const QString& dir)
{
    const QFileInfo info(dir);
    QDir().mkpath(info.absolutePath());
    if (::mkdir(QFile::encodeName(dir).constData(), kPrivateDirMode) != 0 && errno != EEXIST)
        return false;
    return publish_dir_is_private(dir);
}

bool is_pseudo_terminal(const QString& path)
{
    struct stat st {};
    if (!path.startsWith(QLatin1Char('/')) || ::stat(QFile::encodeName(path).constData(), &st) != 0)
        return false;
    return S_ISCHR(st.st_mode) && major(st.st_rdev) >= kPtySlaveMajorFirst && major(st.st_rdev) <= kPtySlaveMajorLast;
}

QString published_port_file(const QString& dir, qint64 pid, int n)
{
    return QDir(dir).filePath(QStringLiteral("%1-%2.port").arg(pid).arg(n));
}

QList<PublishedPort> published_port_entries(const QString& dir)
{
    // Anyone could have made a folder that is not private, and filled it
    // with paths to devices that are no serial ports at all.
    if (!publish_dir_is_private(dir))
        return {};
    QList<PublishedPort> ports;
    const QStringList names = QDir(dir).entryList({QStringLiteral("*.port")}, QDir::AllEntries | QDir::System, QDir::Name);
    for (const QString& name : names) {
        const qint64 pid = name.section(QLatin1Char('-'), 0, 0).toLongLong();
        // A simulator that was killed leaves its file behind.
        if (pid <= 0 || (kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM))
            continue;
        const QString path = read_entry(QDir(dir).filePath(name));
        if (is_pseudo_terminal(path))
            ports.append({name, path});
    }
    return ports;
}

QStringList published_ports(const QString& dir)
{
    QStringList ports;
    for (const PublishedPort& p : published_port_entries(dir))
        ports << p.path;
    std::sort(ports.begin(), ports.end());
    return ports;
}
