#include "platform/file_read.h"

#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

FileRead read_regular_file(const QString& path, qint64 limit)
{
    FileRead result;
    QFile file;
#ifdef Q_OS_UNIX
    // Non-blocking, so that a FIFO put in the file's place cannot hold the
    // window in open(); fstat on the open descriptor, so that what is read
    // is what was judged.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return result;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return result;
    }
#else
    if (!QFileInfo(path).isFile())
        return result;
    file.setFileName(path);
    if (!file.open(QIODevice::ReadOnly))
        return result;
#endif
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
