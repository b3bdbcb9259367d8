#include "image_lease.h"

#include <cerrno>
#include <csignal>
#include <QFile>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/file_read.h"

namespace {

// A lease broken by a writer's open is announced with SIGIO, whose default
// ends the process; the break is read back with F_GETLEASE instead.
void ignore_lease_breaks()
{
    struct sigaction now {};
    if (::sigaction(SIGIO, nullptr, &now) == 0 && now.sa_handler == SIG_DFL)
        std::signal(SIGIO, SIG_IGN);
}

bool same_file(const struct stat& a, const struct stat& b)
{
    return a.st_ino == b.st_ino && a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
           a.st_mtim.tv_nsec == b.st_mtim.tv_nsec && a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
           a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

FileState state_of(const struct stat& s)
{
    return FileState{qint64(s.st_size), QDateTime::fromMSecsSinceEpoch(qint64(s.st_mtim.tv_sec) * 1000 +
                                                                       s.st_mtim.tv_nsec / 1000000)};
}

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

}  // namespace

ImageLook look_at_image(const QString& path, qint64 limit, qint64 unchanged_ms)
{
    ImageLook look;
    const QByteArray native = QFile::encodeName(path);
    Fd fd(::open(native.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat before {};
    if (fd.get() < 0 || ::fstat(fd.get(), &before) != 0 || !S_ISREG(before.st_mode) || before.st_size > limit) {
        // Not a plain readable file of a fitting size: said as every image refusal says it.
        const WholeFileRead read = read_whole_file(path, limit);
        look.problem = whole_file_problem(path, read, limit);
        if (look.problem.isEmpty())
            look.status = ImageLook::BeingWritten;  // it became one meanwhile: looked at again
        return look;
    }
    ignore_lease_breaks();
    if (::fcntl(fd.get(), F_SETLEASE, F_RDLCK) == 0) {
        look.lease = true;
    } else if (errno == EAGAIN || errno == EBUSY) {
        look.status = ImageLook::BeingWritten;  // a writer has it open
        look.lease = true;
        look.state = state_of(before);
        return look;
    }
    QByteArray bytes(int(before.st_size), Qt::Uninitialized);
    qint64 got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::pread(fd.get(), bytes.data() + got, size_t(bytes.size() - got), off_t(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += n;
    }
    char more = 0;
    const bool past_end = ::pread(fd.get(), &more, 1, off_t(got)) > 0;
    struct stat after {};
    const bool stat_ok = ::fstat(fd.get(), &after) == 0;
    // A writer that opened the file meanwhile broke the lease.
    const bool lease_held = look.lease && ::fcntl(fd.get(), F_GETLEASE) == F_RDLCK;
    if (look.lease)
        ::fcntl(fd.get(), F_SETLEASE, F_UNLCK);
    look.state = state_of(before);
    const bool whole = stat_ok && got == bytes.size() && !past_end && same_file(before, after);
    // The lease sees a writer that holds the file open, however long it
    // pauses; the quiet period still sees one that closed it a moment ago
    // and is about to write its next part (a save in two steps).
    const bool quiet = copy_is_whole(look.state, state_of(after), QDateTime::currentDateTime(), unchanged_ms);
    const bool done = quiet && (!look.lease || lease_held);
    if (whole && done) {
        look.status = ImageLook::Taken;
        look.bytes = bytes;
    } else {
        look.status = ImageLook::BeingWritten;
    }
    return look;
}
