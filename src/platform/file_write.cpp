#include "platform/file_write.h"

#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <cstring>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

QString cannot_write(const QString& path, const QString& cause)
{
    return QStringLiteral("cannot write %1: %2").arg(path, cause);
}

#ifdef Q_OS_UNIX
QString kind_of(mode_t mode)
{
    if (S_ISDIR(mode))
        return QStringLiteral("a directory");
    if (S_ISFIFO(mode))
        return QStringLiteral("a FIFO");
    if (S_ISCHR(mode))
        return QStringLiteral("a character device");
    if (S_ISBLK(mode))
        return QStringLiteral("a block device");
    if (S_ISSOCK(mode))
        return QStringLiteral("a socket");
    return QStringLiteral("not a regular file");
}

// Writes all of bytes to fd; 0 or the errno of the failing call.
int write_all(int fd, const QByteArray& bytes)
{
    const char* p = bytes.constData();
    qint64 left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, size_t(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        p += n;
        left -= n;
    }
    return ::fsync(fd) == 0 ? 0 : errno;
}
#endif

}  // namespace

QString output_target_problem(const QString& path)
{
#ifdef Q_OS_UNIX
    struct stat st;
    // stat, not lstat: a link is judged by what it points to.
    if (::stat(QFile::encodeName(path).constData(), &st) != 0 || S_ISREG(st.st_mode))
        return QString();
    return QStringLiteral("it is %1, not a regular file").arg(kind_of(st.st_mode));
#else
    const QFileInfo fi(path);
    if (!fi.exists() || fi.isFile())
        return QString();
    return QStringLiteral("it is %1, not a regular file")
        .arg(fi.isDir() ? QStringLiteral("a directory") : QStringLiteral("a device"));
#endif
}

QString write_error_text(int error_number)
{
    switch (error_number) {
    case ENOSPC:
        return QStringLiteral("no space left on the device");
    case EFBIG:
        return QStringLiteral("file too large");
    default:
        return QString::fromLocal8Bit(std::strerror(error_number));
    }
}

bool replace_file(const QString& path, const QByteArray& bytes, QString* why)
{
    const QString target_problem = output_target_problem(path);
    if (!target_problem.isEmpty()) {
        *why = cannot_write(path, target_problem) + QStringLiteral("; nothing written");
        return false;
    }
#ifdef Q_OS_UNIX
    // The link's target is replaced, not the link.
    const QFileInfo fi(path);
    const QString final_path = fi.isSymLink() && fi.exists() ? fi.canonicalFilePath() : path;
    const QByteArray final_name = QFile::encodeName(final_path);
    QByteArray temp_name = final_name + ".XXXXXX";
    const int fd = ::mkostemp(temp_name.data(), O_CLOEXEC);
    if (fd < 0) {
        *why = cannot_write(path, write_error_text(errno));
        return false;
    }
    // The new file gets the old one's permissions, or those of a new file.
    struct stat old_st;
    mode_t mode;
    if (::stat(final_name.constData(), &old_st) == 0) {
        mode = old_st.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    int err = ::fchmod(fd, mode) == 0 ? write_all(fd, bytes) : errno;
    if (::close(fd) != 0 && err == 0)
        err = errno;
    if (err == 0 && ::rename(temp_name.constData(), final_name.constData()) != 0)
        err = errno;
    if (err != 0) {
        ::unlink(temp_name.constData());
        *why = cannot_write(path, write_error_text(err));
        if (QFileInfo::exists(path))
            *why += QStringLiteral("; the old %1 is left as it was").arg(path);
        return false;
    }
    return true;
#else
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        *why = cannot_write(path, file.errorString());
        file.cancelWriting();
        return false;
    }
    return true;
#endif
}
