// rfc2217:// and socket:// on a blocking QTcpSocket. The connect is made
// without blocking and polled, so that a stop is heard while a host that
// never answers (or a full accept queue) holds it.

#include "serial/tcp_transport.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QHostInfo>
#include <QSslSocket>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "serial/tls_link.h"

#ifndef Q_OS_WIN
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {
constexpr int kConnectMs = 5000;      // a host on the fixture network answers far sooner
constexpr int kNegotiationMs = 3000;  // for the server's answer to the serial-port options
constexpr int kConfirmMs = 3000;      // for the server to confirm a line setting
constexpr int kWaitSliceMs = 10;      // the longest any wait here goes without looking at the stop
constexpr qint64 kSocketBufferBytes = 64 * 1024;

enum class Reach { Connected, Refused, TimedOut, Stopped, NotKnown, Failed };

struct Reached {
    Reach how = Reach::Failed;
    qintptr fd = -1;
    QString why;  // for Failed
};

// The name's addresses. A literal address needs no lookup; a name is looked
// up on a thread of its own so that the wait for it can end on a stop (the
// lookup itself cannot be interrupted: it is left to finish unheard).
QList<QHostAddress> look_up(const QString& host, const StopToken& stop, int ms, Reach* failed)
{
    QHostAddress literal;
    if (literal.setAddress(host))
        return {literal};
    struct Lookup {
        std::mutex mutex;
        std::condition_variable done_cv;
        bool done = false;
        QList<QHostAddress> addresses;
    };
    auto lookup = std::make_shared<Lookup>();
    std::thread([lookup, host] {
        const QHostInfo info = QHostInfo::fromName(host);
        std::lock_guard<std::mutex> lock(lookup->mutex);
        lookup->addresses = info.addresses();
        lookup->done = true;
        lookup->done_cv.notify_all();
    }).detach();
    QElapsedTimer clock;
    clock.start();
    std::unique_lock<std::mutex> lock(lookup->mutex);
    while (!lookup->done) {
        if (stop.requested()) {
            *failed = Reach::Stopped;
            return {};
        }
        if (clock.elapsed() >= ms) {
            *failed = Reach::TimedOut;
            return {};
        }
        lookup->done_cv.wait_for(lock, std::chrono::milliseconds(kWaitSliceMs));
    }
    if (lookup->addresses.isEmpty())
        *failed = Reach::NotKnown;
    return lookup->addresses;
}

#ifndef Q_OS_WIN
// One address, connected without blocking and polled in slices.
Reached reach_address(const QHostAddress& address, quint16 port, const StopToken& stop, const QElapsedTimer& clock,
                      int ms)
{
    Reached r;
    sockaddr_storage storage{};
    socklen_t len = 0;
    if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&storage);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(port);
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(&a->sin6_addr, bytes.c, sizeof bytes.c);
        a->sin6_scope_id = address.scopeId().toUInt();
        len = sizeof *a;
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&storage);
        a->sin_family = AF_INET;
        a->sin_port = htons(port);
        a->sin_addr.s_addr = htonl(address.toIPv4Address());
        len = sizeof *a;
    }
    const int fd = ::socket(storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        r.why = QString::fromLocal8Bit(std::strerror(errno));
        return r;
    }
    int error = 0;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&storage), len) != 0) {
        error = errno;
        if (error == EINPROGRESS) {
            for (;;) {
                if (stop.requested()) {
                    ::close(fd);
                    r.how = Reach::Stopped;
                    return r;
                }
                const qint64 left = ms - clock.elapsed();
                if (left <= 0) {
                    ::close(fd);
                    r.how = Reach::TimedOut;
                    return r;
                }
                pollfd p{fd, POLLOUT, 0};
                const int n = ::poll(&p, 1, int(qMin<qint64>(left, kWaitSliceMs)));
                if (n > 0)
                    break;
                if (n < 0 && errno != EINTR) {
                    error = errno;
                    break;
                }
            }
            socklen_t size = sizeof error;
            if (error == EINPROGRESS && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
                error = errno;
        }
    }
    if (error == 0) {
        r.how = Reach::Connected;
        r.fd = fd;
        return r;
    }
    ::close(fd);
    r.how = error == ECONNREFUSED ? Reach::Refused : Reach::Failed;
    r.why = QString::fromLocal8Bit(std::strerror(error));
    return r;
}
#endif
}  // namespace

TcpTransport::TcpTransport(const PortUrl& url, const QString& name) : Transport(name), url_(url) {}

TcpTransport::~TcpTransport()
{
    if (socket_)
        socket_->disconnect();
}

bool TcpTransport::connect_socket(const StopToken& stop, OpenResult* result)
{
    QElapsedTimer clock;
    clock.start();
    Reach how = Reach::Failed;
    QString why;
#ifdef Q_OS_WIN
    // Windows keeps Qt's own connect: its wait is not sliced for a stop.
    socket_ = std::make_unique<QSslSocket>();  // plain TCP until TLS is started
    socket_->connectToHost(url_.host, quint16(url_.port));
    if (socket_->waitForConnected(kConnectMs)) {
        how = Reach::Connected;
    } else {
        switch (socket_->error()) {
        case QAbstractSocket::HostNotFoundError: how = Reach::NotKnown; break;
        case QAbstractSocket::ConnectionRefusedError: how = Reach::Refused; break;
        case QAbstractSocket::SocketTimeoutError: how = Reach::TimedOut; break;
        default: why = socket_->errorString(); break;
        }
        socket_->abort();
    }
    Q_UNUSED(stop)
#else
    const QList<QHostAddress> addresses = look_up(url_.host, stop, kConnectMs, &how);
    QElapsedTimer trip;
    trip.start();
    for (const QHostAddress& address : addresses) {
        const Reached r = reach_address(address, quint16(url_.port), stop, clock, kConnectMs);
        how = r.how;
        why = r.why;
        if (how == Reach::Connected) {
            socket_ = std::make_unique<QSslSocket>();  // plain TCP until TLS is started
            socket_->setSocketDescriptor(r.fd, QAbstractSocket::ConnectedState, QIODevice::ReadWrite);
            break;
        }
        if (how == Reach::Stopped || how == Reach::TimedOut)
            break;
    }
    result->round_trip_ms = int(trip.elapsed());
#endif
    switch (how) {
    case Reach::Connected:
        break;
    case Reach::Stopped:
        result->stopped = true;
        break;
    case Reach::NotKnown:
        failure_ = QStringLiteral("%1: the host %2 is not known").arg(name(), url_.host);
        break;
    case Reach::Refused:
        failure_ = QStringLiteral("%1: connection refused; is the port server running there?").arg(name());
        break;
    case Reach::TimedOut:
        failure_ = QStringLiteral("%1: no connection within %2 s").arg(name(), QString::number(kConnectMs / 1000));
        break;
    case Reach::Failed:
        failure_ = QStringLiteral("%1: %2").arg(name(), why);
        break;
    }
    if (how != Reach::Connected)
        return false;
    if (url_.tls && !tls::start(*socket_, url_, name(), kConnectMs, &failure_, [&stop] { return stop.requested(); })) {
        if (stop.requested()) {
            result->stopped = true;
            failure_.clear();
        }
        socket_->abort();
        return false;
    }
    // At idle the thread's event loop, where there is one, may hear the end
    // of the connection first.
    QObject::connect(socket_.get(), &QTcpSocket::disconnected, socket_.get(), [this] { lost(); },
                     Qt::DirectConnection);
    QObject::connect(socket_.get(), &QAbstractSocket::errorOccurred, socket_.get(), [this] { lost(); },
                     Qt::DirectConnection);
    // Each frame is a round trip the boot loader waits for: never held back
    // to be sent with the next.
    socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    // A thread's event loop reads the socket at idle, before anybody looks
    // at what came: bounded there too, the rest waits in the kernel and
    // holds the server back.
    socket_->setReadBufferSize(kSocketBufferBytes);
    return true;
}

OpenResult TcpTransport::open(const OpenRequest& request)
{
    InCall call(*this);
    OpenResult result;
    open_ = false;
    stopped_ = false;
    failure_.clear();
    refusal_.clear();
    rx_.clear();
    decoder_ = telnet::Decoder();
    options_ = telnet::Options();
    for (bool& seen : confirmation_seen_)
        seen = false;
    if (!url_.problem.isEmpty()) {
        result.failure = failure_ = url_.problem;
        return result;
    }
    if (socket_) {
        socket_->disconnect();
        socket_->abort();
        socket_.reset();
    }
    if (!connect_socket(request.stop, &result)) {
        result.failure = failure_;
        return result;
    }
    open_ = true;
    rate_ = request.rate;
    if (url_.scheme == Kind::RawSocket) {
        result.ok = true;
        return result;
    }

    QElapsedTimer trip;
    trip.start();
    socket_->write(options_.offer());
    socket_->flush();
    const bool answered = wait_for_server(kNegotiationMs, request.stop, [this] {
        return options_.com_port_agreed() || options_.com_port_refused();
    });
    result.round_trip_ms = qMax(result.round_trip_ms, int(trip.elapsed()));
    if (!open_ || stopped_ || gone()) {
        result.stopped = stopped_;
        close();
        result.failure = failure_;
        return result;
    }
    if (!answered || options_.com_port_refused()) {
        failure_ = answered ? QStringLiteral("%1: the server does not control a serial port (no RFC 2217 there; "
                                             "socket:// carries bytes only)")
                                  .arg(name())
                            : QStringLiteral("%1: the server did not answer the serial-port options within %2 s")
                                  .arg(name(), QString::number(kNegotiationMs / 1000));
        close();
        result.failure = failure_;
        return result;
    }
    if (!set_rate(request.rate, request.stop) ||
        !confirm(telnet::com::kSetDataSize, QByteArray(1, 8), "8 data bits", request.stop) ||
        !confirm(telnet::com::kSetParity, QByteArray(1, char(telnet::com::kParityNone)), "no parity", request.stop) ||
        !confirm(telnet::com::kSetStopSize, QByteArray(1, char(telnet::com::kStopBitsOne)), "one stop bit",
                 request.stop)) {
        result.stopped = stopped_;
        close();
        result.failure = failure_;
        return result;
    }
    result.ok = true;
    return result;
}

template <class Done>
bool TcpTransport::wait_for_server(int ms, const StopToken& stop, Done done)
{
    stopped_ = false;
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        take_socket_bytes();
        if (done())
            return true;
        if (!open_)
            return false;
        if (stop.requested()) {
            stopped_ = true;
            return false;
        }
        const qint64 left = ms - clock.elapsed();
        if (left <= 0)
            return false;
        socket_->waitForReadyRead(int(qMin<qint64>(left, kWaitSliceMs)));
        if (socket_->state() != QAbstractSocket::ConnectedState && socket_->bytesAvailable() == 0) {
            lost();
            return false;
        }
    }
}

bool TcpTransport::confirm(uint8_t command, const QByteArray& value, const char* what, const StopToken& stop)
{
    const uint8_t answer = uint8_t(command + telnet::com::kServerOffset);
    confirmation_seen_[answer] = false;
    socket_->write(telnet::com_port_command(command, value));
    socket_->flush();
    if (!wait_for_server(kConfirmMs, stop, [&] { return confirmation_seen_[answer]; })) {
        if (open_ && !stopped_ && !gone())
            failure_ = QStringLiteral("%1: the server did not confirm %2 within %3 s")
                           .arg(name(), QLatin1String(what), QString::number(kConfirmMs / 1000));
        return false;
    }
    return true;
}

bool TcpTransport::set_rate(int rate, const StopToken& stop)
{
    InCall call(*this);
    if (!open_)
        return false;
    if (url_.scheme == Kind::RawSocket) {
        if (rate == rate_)
            return true;
        failure_ = QStringLiteral("%1 carries bytes only and cannot change the rate").arg(name());
        return false;
    }
    // The boot loader moves at once; the server must have moved before the
    // next frame goes out, so its confirmation is awaited.
    const QByteArray want = telnet::set_baud_rate(uint32_t(rate)).mid(4, 4);
    const uint8_t answer = telnet::com::kSetBaudRate + telnet::com::kServerOffset;
    if (!confirm(telnet::com::kSetBaudRate, want, "the rate", stop))
        return false;
    const uint32_t in_force = telnet::value_u32(confirmed_[answer]);
    if (in_force != uint32_t(rate)) {
        failure_ = QStringLiteral("%1: the server set the rate %2 instead of %3").arg(name(), QString::number(in_force), QString::number(rate));
        return false;
    }
    rate_ = rate;
    return true;
}

void TcpTransport::close()
{
    open_ = false;
    rx_.clear();
    if (!socket_)
        return;
    // Whatever is still queued is given a moment to leave: Run's frame is
    // the last thing written before a close.
    if (socket_->state() == QAbstractSocket::ConnectedState && socket_->bytesToWrite() > 0)
        socket_->waitForBytesWritten(kWaitSliceMs * 10);
    socket_->abort();
}

qint64 TcpTransport::write(const QByteArray& bytes)
{
    if (!open_)
        return -1;
    InCall call(*this);
    const qint64 written = socket_->write(url_.scheme == Kind::Rfc2217 ? telnet::escape(bytes) : bytes);
    // Out now, not at the next wait: nobody runs an event loop for it.
    socket_->flush();
    return written < 0 ? -1 : bytes.size();
}

bool TcpTransport::wait_written(int ms)
{
    if (!open_)
        return false;
    if (socket_->bytesToWrite() == 0)
        return true;
    InCall call(*this);
    return socket_->waitForBytesWritten(ms);
}

qint64 TcpTransport::bytes_available()
{
    take_socket_bytes();
    return rx_.size();
}

bool TcpTransport::wait_for_bytes(int ms)
{
    if (!open_)
        return false;
    InCall call(*this);
    const int before = rx_.size();
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        take_socket_bytes();
        if (rx_.size() > before)
            return true;
        const qint64 left = ms - clock.elapsed();
        if (left <= 0 || !open_)
            return false;
        if (!socket_->waitForReadyRead(int(left)) && socket_->state() != QAbstractSocket::ConnectedState) {
            take_socket_bytes();
            if (rx_.size() > before)
                return true;
            lost();
            return false;
        }
    }
}

QByteArray TcpTransport::read_all()
{
    take_socket_bytes();
    QByteArray out;
    out.swap(rx_);
    return out;
}

void TcpTransport::discard()
{
    take_socket_bytes();
    rx_.clear();
    if (open_ && url_.scheme == Kind::Rfc2217) {
        socket_->write(telnet::com_port_command(telnet::com::kPurgeData, QByteArray(1, char(telnet::com::kPurgeBoth))));
        socket_->flush();
    }
}

void TcpTransport::take_socket_bytes()
{
    if (!socket_ || socket_->bytesAvailable() <= 0)
        return;
    const QByteArray chunk = socket_->readAll();
    QVector<telnet::Command> commands;
    bool bounded = true;
    if (url_.scheme == Kind::RawSocket)
        rx_.append(chunk);
    else
        bounded = decoder_.feed(chunk.constData(), chunk.size(), &rx_, &commands);
    // What the server sends beyond any reply is refused as soon as it passes
    // its bound, with the reason in place of the loss's own line.
    if (!bounded || rx_.size() > telnet::kMaxUnreadData) {
        refusal_ = QStringLiteral("%1: %2; connection closed")
                       .arg(name(), bounded ? QStringLiteral("the server sent more than %1 bytes nobody asked for")
                                                  .arg(telnet::kMaxUnreadData)
                                            : decoder_.fault());
        rx_.clear();
        socket_->abort();
        lost();
        return;
    }
    bool answered = false;
    for (const telnet::Command& c : commands) {
        if (c.verb == telnet::kSb) {
            if (c.option == telnet::kComPort && !c.value.isEmpty()) {
                const uint8_t command = uint8_t(c.value[0]);
                confirmed_[command] = c.value.mid(1);
                confirmation_seen_[command] = true;
            }
            continue;
        }
        const QByteArray reply = options_.answer(c.verb, c.option);
        if (!reply.isEmpty()) {
            socket_->write(reply);
            answered = true;
        }
    }
    if (answered)
        socket_->flush();
}

void TcpTransport::lost()
{
    if (!open_ || !socket_)
        return;
    if (socket_->state() == QAbstractSocket::ConnectedState)
        return;  // an error that did not end the connection
    mark_gone(refusal_.isEmpty() ? QStringLiteral("%1: the connection was closed").arg(name()) : refusal_);
}
