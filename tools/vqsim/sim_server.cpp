#include "sim_server.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <deque>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "pty_rate.h"

namespace {

constexpr int kBitsPerByte = 10;  // start, eight data bits, stop
constexpr qint64 kUsPerSecond = 1000000;
constexpr int kReadBufferLen = 4096;
constexpr int kPathBufferLen = 128;
constexpr qint64 kPreciseSleepUs = 2500;  // the last stretch before a due moment, slept rather than timed
constexpr unsigned long kTimerSlackNs = 1;
// How long the line may stay quiet in the middle of a frame before the boot
// loader gives the frame up. A host writes each frame in one go, so gaps
// inside one are scheduling and network jitter; a link dropped mid-frame
// must not leave the boot loader waiting for bytes that never come (the
// next connect would be taken as the rest of the frame).
constexpr int kInterByteTimeoutMs = 500;

std::atomic<int> g_server_count{0};

qint64 line_time_us(int bytes, int rate)
{
    return rate > 0 ? qint64(bytes) * kBitsPerByte * kUsPerSecond / rate : 0;
}


}  // namespace

// The I/O half of the server; it lives on the server's thread and touches
// the shared state only under the server's mutex.
class PtyLink {
public:
    PtyLink(SimServer& server, QString publish_path) : server_(server), publish_path_(std::move(publish_path))
    {
        clock_.start();
    }

    bool open();
    void close();
    int line_rate();
    SimLineSettings line_settings() const { return master_ >= 0 ? pty_line_settings(master_) : SimLineSettings(); }

private:
    // Host bytes on their way across the line: the device takes them in
    // only when their last byte would have arrived.
    struct Arrival {
        QByteArray bytes;
        qint64 due_us;
        SimLineSettings line;
    };
    struct Piece {
        QByteArray bytes;
        qint64 not_before_us;
        qint64 gap_us;  // after the previous piece reached the host
    };

    qint64 now_us() const { return clock_.nsecsElapsed() / 1000; }
    int line_rate_locked();
    void on_readable();
    void take_in();
    bool moment_reached(qint64 due_us, QTimer* timer);
    void queue_replies(const QList<SimReply>& replies, qint64 ready_us, const SimTransport& t);
    qint64 due_of(const Piece& piece);
    void pump();
    void publish(const QString& slave);

    SimServer& server_;
    const QString publish_path_;
    QElapsedTimer clock_;
    int master_ = -1;
    int held_slave_ = -1;
    QSocketNotifier* rx_notifier_ = nullptr;
    QSocketNotifier* tx_notifier_ = nullptr;
    QTimer* tx_timer_ = nullptr;
    QTimer* rx_timer_ = nullptr;
    QTimer* idle_timer_ = nullptr;
    std::deque<Arrival> arrivals_;
    std::deque<Piece> queue_;
    qint64 head_due_us_ = -1;
    qint64 rx_line_free_us_ = 0;
    qint64 tx_line_free_us_ = 0;
    qint64 last_delivery_us_ = 0;
};

bool PtyLink::open()
{
    if (master_ >= 0)
        return true;
    // This thread keeps the line's time: its sleeps must end when asked, not
    // up to the kernel's default 50 us slack later.
    ::prctl(PR_SET_TIMERSLACK, kTimerSlackNs);
    // Close-on-exec: a program started by the process that serves the chip
    // (a test running vqprog) would otherwise hold the master too, and
    // unplugging would hang nothing up.
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    char path[kPathBufferLen] = {};
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0
        || ::ptsname_r(master_, path, sizeof path) != 0) {
        close();
        return false;
    }
    // Holding the slave open ourselves keeps the master from hanging up
    // whenever the host closes its port between sessions.
    held_slave_ = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios raw {};
    if (held_slave_ < 0 || ::tcgetattr(held_slave_, &raw) != 0) {
        close();
        return false;
    }
    ::cfmakeraw(&raw);
    ::tcsetattr(held_slave_, TCSANOW, &raw);

    QObject* anchor = server_.anchor_.get();
    rx_notifier_ = new QSocketNotifier(master_, QSocketNotifier::Read, anchor);
    QObject::connect(rx_notifier_, &QSocketNotifier::activated, anchor, [this] { on_readable(); });
    tx_notifier_ = new QSocketNotifier(master_, QSocketNotifier::Write, anchor);
    tx_notifier_->setEnabled(false);
    QObject::connect(tx_notifier_, &QSocketNotifier::activated, anchor, [this] {
        tx_notifier_->setEnabled(false);
        pump();
    });
    tx_timer_ = new QTimer(anchor);
    tx_timer_->setSingleShot(true);
    tx_timer_->setTimerType(Qt::PreciseTimer);
    QObject::connect(tx_timer_, &QTimer::timeout, anchor, [this] { pump(); });
    rx_timer_ = new QTimer(anchor);
    rx_timer_->setSingleShot(true);
    rx_timer_->setTimerType(Qt::PreciseTimer);
    QObject::connect(rx_timer_, &QTimer::timeout, anchor, [this] { take_in(); });
    idle_timer_ = new QTimer(anchor);
    idle_timer_->setSingleShot(true);
    idle_timer_->setInterval(kInterByteTimeoutMs);
    QObject::connect(idle_timer_, &QTimer::timeout, anchor, [this] {
        if (!arrivals_.empty())
            return;  // bytes still on the line: not quiet
        std::lock_guard<std::mutex> lock(server_.mutex_);
        server_.device_.line_idle();
    });

    publish(QString::fromLocal8Bit(path));
    return true;
}

void PtyLink::publish(const QString& slave)
{
    // A folder someone else made or can write into is refused, not used.
    QSaveFile file(publish_path_);  // a reader never sees half a path
    const bool published = prepare_publish_dir(QFileInfo(publish_path_).path()) &&
                           file.open(QIODevice::WriteOnly) && file.write((slave + '\n').toLocal8Bit()) > 0 &&
                           file.commit();
    std::lock_guard<std::mutex> lock(server_.mutex_);
    server_.slave_path_ = slave;
    server_.published_file_ = published ? publish_path_ : QString();
    server_.plugged_ = true;
}

void PtyLink::close()
{
    // close() may run inside the read notifier's own handler (unplug after
    // a frame), so the objects go later; disabled first, before their fd closes.
    for (QSocketNotifier* notifier : {rx_notifier_, tx_notifier_}) {
        if (notifier) {
            notifier->setEnabled(false);
            notifier->deleteLater();
        }
    }
    for (QTimer* timer : {tx_timer_, rx_timer_, idle_timer_}) {
        if (timer) {
            timer->stop();
            timer->deleteLater();
        }
    }
    rx_notifier_ = tx_notifier_ = nullptr;
    tx_timer_ = rx_timer_ = idle_timer_ = nullptr;
    arrivals_.clear();
    queue_.clear();
    head_due_us_ = -1;
    if (held_slave_ >= 0)
        ::close(held_slave_);
    if (master_ >= 0)
        ::close(master_);
    held_slave_ = master_ = -1;
    QFile::remove(publish_path_);
    std::lock_guard<std::mutex> lock(server_.mutex_);
    server_.published_file_.clear();
    server_.plugged_ = false;
}

int PtyLink::line_rate()
{
    std::lock_guard<std::mutex> lock(server_.mutex_);
    return line_rate_locked();
}

int PtyLink::line_rate_locked()
{
    const int host_rate = master_ >= 0 ? pty_line_rate(master_) : 0;
    return host_rate > 0 ? host_rate : server_.device_.rate_in_force();
}

void PtyLink::on_readable()
{
    QByteArray chunk;
    char buf[kReadBufferLen];
    ssize_t n;
    while ((n = ::read(master_, buf, sizeof buf)) > 0)
        chunk.append(buf, int(n));
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
        rx_notifier_->setEnabled(false);  // cannot happen while we hold the slave; never spin on it
    if (chunk.isEmpty())
        return;

    // Read now: a host that closes its port right after writing may have
    // its old settings restored by the time the device takes the bytes in.
    const SimLineSettings line = line_settings();
    const qint64 now = now_us();
    qint64 due_us = now;
    {
        std::lock_guard<std::mutex> lock(server_.mutex_);
        if (server_.transport_.pacing)
            due_us = rx_line_free_us_ = std::max(now, rx_line_free_us_) + line_time_us(chunk.size(), line_rate_locked());
    }
    arrivals_.push_back({chunk, due_us, line});
    take_in();
}

void PtyLink::take_in()
{
    while (!arrivals_.empty()) {
        if (!moment_reached(arrivals_.front().due_us, rx_timer_))
            return;
        const Arrival head = arrivals_.front();
        arrivals_.pop_front();
        QList<SimReply> replies;
        SimTransport t;
        bool halted;
        bool mid_frame;
        {
            std::lock_guard<std::mutex> lock(server_.mutex_);
            const int first_new = server_.device_.frames().size();
            replies = server_.device_.feed_timed(head.bytes);
            server_.device_.stamp_line(first_new, head.line);
            halted = server_.device_.halted();
            mid_frame = server_.device_.mid_frame();
            t = server_.transport_;
        }
        if (mid_frame)
            idle_timer_->start();
        else
            idle_timer_->stop();
        if (halted) {
            close();
            return;
        }
        queue_replies(replies, head.due_us + t.reply_delay_ms * 1000LL, t);
        pump();
    }
}

void PtyLink::queue_replies(const QList<SimReply>& replies, qint64 ready_us, const SimTransport& t)
{
    for (int r = 0; r < replies.size(); ++r) {
        const QByteArray& reply = replies.at(r).bytes;
        // A reply the device needed time for is spaced by that time; the
        // others of a command follow one another at the transport's spacing.
        const qint64 after_us = replies.at(r).after_us;
        const int piece_len = t.split_len > 0 ? t.split_len : reply.size();
        for (int at = 0; at < reply.size(); at += piece_len) {
            const qint64 gap_ms = at > 0 ? t.split_pause_ms : r > 0 && after_us == 0 ? t.reply_spacing_ms : 0;
            queue_.push_back({reply.mid(at, piece_len), ready_us + after_us, gap_ms * 1000});
        }
    }
}

// True once due_us has come. A timer only counts whole milliseconds, which
// would make every frame and reply up to a millisecond late and the line
// look slower than it is: the timer wakes the link just before the moment,
// and the last stretch is slept precisely.
bool PtyLink::moment_reached(qint64 due_us, QTimer* timer)
{
    const qint64 left = due_us - now_us();
    if (left <= 0)
        return true;
    if (left <= kPreciseSleepUs) {
        std::this_thread::sleep_for(std::chrono::microseconds(left));
        return true;
    }
    timer->start(int((left - kPreciseSleepUs + 1000) / 1000));
    return false;
}

// When the piece's last byte reaches the host. The line is free to carry it
// from the moment the device could send it (the frame's last byte in, the
// last piece out), not from the moment this thread got round to it: its own
// wake-up latency is no part of the line's time.
qint64 PtyLink::due_of(const Piece& piece)
{
    qint64 start = std::max(piece.not_before_us, last_delivery_us_ + piece.gap_us);
    const int rate = line_rate();
    std::lock_guard<std::mutex> lock(server_.mutex_);
    if (!server_.transport_.pacing)
        return start;
    start = std::max(start, tx_line_free_us_);
    tx_line_free_us_ = start + line_time_us(piece.bytes.size(), rate);
    return tx_line_free_us_;
}

void PtyLink::pump()
{
    while (!queue_.empty()) {
        Piece& head = queue_.front();
        const qint64 now = now_us();
        if (head_due_us_ < 0)
            head_due_us_ = due_of(head);
        if (!moment_reached(head_due_us_, tx_timer_))
            return;
        const ssize_t n = ::write(master_, head.bytes.constData(), size_t(head.bytes.size()));
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR)
                tx_notifier_->setEnabled(true);
            else
                queue_.clear();
            return;
        }
        head.bytes.remove(0, int(n));
        if (!head.bytes.isEmpty()) {
            tx_notifier_->setEnabled(true);  // the host is not reading; go on when it does
            return;
        }
        last_delivery_us_ = now;
        head_due_us_ = -1;
        queue_.pop_front();
    }
}

// ------------------------------------------------------------------ server

SimServer::SimServer(const SimConfig& config, const QString& publish_dir)
    : device_(config), anchor_(std::make_unique<QObject>())
{
    link_ = std::make_unique<PtyLink>(*this, published_port_file(publish_dir, ::getpid(), g_server_count++));
    anchor_->moveToThread(&thread_);
}

SimServer::~SimServer()
{
    stop();
}

// Without a running thread there is no link to race with, and a blocking
// call would wait for ever.
template <class F>
void SimServer::on_link_thread(F&& f)
{
    if (!thread_.isRunning() || QThread::currentThread() == &thread_)
        f();
    else
        QMetaObject::invokeMethod(anchor_.get(), std::forward<F>(f), Qt::BlockingQueuedConnection);
}

bool SimServer::start()
{
    if (!thread_.isRunning())
        thread_.start();
    bool opened = false;
    on_link_thread([&] { opened = link_->open(); });
    return opened;
}

void SimServer::stop()
{
    if (!thread_.isRunning())
        return;
    on_link_thread([this] { link_->close(); });
    thread_.quit();
    thread_.wait();
}

QString SimServer::slave_path() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return slave_path_;
}

bool SimServer::plugged() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return plugged_;
}

QString SimServer::published_file() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return published_file_;
}

void SimServer::set_reply_delay_ms(int ms)
{
    std::lock_guard<std::mutex> lock(mutex_);
    transport_.reply_delay_ms = ms;
}

void SimServer::set_split(int chunk_len, int pause_ms)
{
    std::lock_guard<std::mutex> lock(mutex_);
    transport_.split_len = chunk_len;
    transport_.split_pause_ms = pause_ms;
}

void SimServer::set_pacing(bool on)
{
    std::lock_guard<std::mutex> lock(mutex_);
    transport_.pacing = on;
}

SimLineSettings SimServer::line_settings()
{
    SimLineSettings line;
    on_link_thread([&] { line = link_->line_settings(); });
    return line;
}

int SimServer::line_rate()
{
    int rate = 0;
    on_link_thread([&] { rate = link_->line_rate(); });
    return rate;
}

void SimServer::unplug()
{
    on_link_thread([this] { link_->close(); });
}

void SimServer::unplug_after(char letter, int nth)
{
    std::lock_guard<std::mutex> lock(mutex_);
    device_.halt_after(letter, nth);
}

bool SimServer::replug()
{
    with_device([](SimDevice& d) { d.resume(); });
    return start();
}


