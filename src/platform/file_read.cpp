#include "platform/file_read.h"

#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#include <sys/mman.h>
#endif

namespace {

// The pages of a large buffer about to be filled, set up in one call, in
// large pages where the system gives them on request: one fault per 4 KiB
// page costs more than reading the file into it. Only a hint: where it is
// refused, the pages come one fault at a time as before.
void prepare_pages(char* data, qint64 len)
{
#ifdef Q_OS_LINUX
    constexpr qint64 kWorthIt = 1 << 20;  // bytes
    const uintptr_t page = uintptr_t(::sysconf(_SC_PAGESIZE));
    const uintptr_t start = (uintptr_t(data) + page - 1) & ~(page - 1);
    const uintptr_t end = (uintptr_t(data) + uintptr_t(len)) & ~(page - 1);
    if (len < kWorthIt || end <= start)
        return;
    ::madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
#ifdef MADV_POPULATE_WRITE
    ::madvise(reinterpret_cast<void*>(start), end - start, MADV_POPULATE_WRITE);
#endif
#else
    Q_UNUSED(data)
    Q_UNUSED(len)
#endif
}

enum class Opened { Ok, Missing, Directory, NotRegular, Unreadable };

// Opens path for reading if it is a regular file; size is its size then.
Opened open_regular(const QString& path, QFile* file, qint64* size, QString* cause)
{
#ifdef Q_OS_UNIX
    // Non-blocking, so that a FIFO put in the file's place cannot hold the
    // caller in open(); fstat on the open descriptor, so that what is read
    // is what was judged.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        *cause = QString::fromLocal8Bit(std::strerror(err));
        return err == ENOENT ? Opened::Missing : Opened::Unreadable;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        *cause = QString::fromLocal8Bit(std::strerror(errno));
        ::close(fd);
        return Opened::Unreadable;
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        return S_ISDIR(st.st_mode) ? Opened::Directory : Opened::NotRegular;
    }
    if (!file->open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        *cause = file->errorString();
        return Opened::Unreadable;
    }
    *size = st.st_size;
#else
    const QFileInfo fi(path);
    if (!fi.exists())
        return Opened::Missing;
    if (fi.isDir())
        return Opened::Directory;
    if (!fi.isFile())
        return Opened::NotRegular;
    file->setFileName(path);
    if (!file->open(QIODevice::ReadOnly)) {
        *cause = file->errorString();
        return Opened::Unreadable;
    }
    *size = file->size();
#endif
    return Opened::Ok;
}

}  // namespace

FileRead read_regular_file(const QString& path, qint64 limit)
{
    FileRead result;
    QFile file;
    qint64 size = 0;
    QString cause;
    if (open_regular(path, &file, &size, &cause) != Opened::Ok)
        return result;
    QByteArray bytes = file.read(limit + 1);
    if (file.error() != QFileDevice::NoError)
        return result;
    result.truncated = bytes.size() > limit;
    if (result.truncated)
        bytes.truncate(int(limit));
    result.ok = true;
    result.bytes = std::move(bytes);
    return result;
}

WholeFileRead read_whole_file(const QString& path, qint64 limit)
{
    WholeFileRead result;
    QFile file;
    switch (open_regular(path, &file, &result.size, &result.cause)) {
    case Opened::Ok:
        break;
    case Opened::Missing:
        result.status = WholeFileStatus::Missing;
        return result;
    case Opened::Directory:
        result.status = WholeFileStatus::Directory;
        return result;
    case Opened::NotRegular:
        result.status = WholeFileStatus::NotRegular;
        return result;
    case Opened::Unreadable:
        result.status = WholeFileStatus::Unreadable;
        return result;
    }
    if (result.size > limit) {
        result.status = WholeFileStatus::TooLarge;
        return result;
    }
    // One byte more than the size, to see a file that grew since fstat.
    QByteArray bytes(int(result.size + 1), Qt::Uninitialized);
    prepare_pages(bytes.data(), bytes.size());
    const qint64 got = file.read(bytes.data(), bytes.size());
    if (got < 0 || file.error() != QFileDevice::NoError) {
        result.cause = file.errorString();
        return result;
    }
    bytes.resize(int(got));
    if (bytes.size() > result.size) {
        result.cause = QStringLiteral("it grew while it was read");
        return result;
    }
    result.status = WholeFileStatus::Ok;
    result.bytes = std::move(bytes);
    return result;
}

QString whole_file_problem(const QString& path, const WholeFileRead& read, qint64 limit)
{
    switch (read.status) {
    case WholeFileStatus::Ok:
        return QString();
    case WholeFileStatus::Missing:
        return path + QStringLiteral(": no such file");
    case WholeFileStatus::Directory:
        return path + QStringLiteral(": is a directory, not an image file");
    case WholeFileStatus::NotRegular:
        return path + QStringLiteral(": not a regular file (a FIFO, a device or a socket); not read");
    case WholeFileStatus::Unreadable:
        return path + QStringLiteral(": cannot be read: ") + read.cause;
    case WholeFileStatus::TooLarge:
        return path + QStringLiteral(": %1 bytes, larger than the largest flash (%2 bytes); not read")
                          .arg(read.size)
                          .arg(limit);
    }
    return QString();
}
