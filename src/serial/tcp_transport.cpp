#include "serial/tcp_transport.h"

#include <QCoreApplication>
#include <QSslSocket>

#include "serial/port_url.h"
#include "serial/serial_transport.h"
#include "serial/tls_link.h"

namespace {
constexpr int kConnectMs = 5000;      // a host on the fixture network answers far sooner
constexpr int kNegotiationMs = 3000;  // for the server's answer to the serial-port options
constexpr int kConfirmMs = 3000;      // for the server to confirm a line setting
constexpr int kWaitSliceMs = 10;
}  // namespace

TcpTransport::TcpTransport(Kind kind, const QString& name, QObject* parent)
    : Transport(parent), kind_(kind), socket_(new QSslSocket(this))  // plain TCP until TLS is started
{
    name_ = name;
    connect(socket_, &QTcpSocket::readyRead, this, &TcpTransport::socket_ready_read, Qt::DirectConnection);
    connect(socket_, &QTcpSocket::disconnected, this, &TcpTransport::lost, Qt::DirectConnection);
    connect(socket_, &QAbstractSocket::errorOccurred, this, &TcpTransport::lost, Qt::DirectConnection);
}

TcpTransport::~TcpTransport()
{
    socket_->disconnect(this);
}

bool TcpTransport::open(int rate)
{
    // Not open while the last connection is dropped: that is no loss to announce.
    open_ = false;
    failure_.clear();
    rx_.clear();
    decoder_ = telnet::Decoder();
    options_ = telnet::Options();
    for (bool& seen : confirmation_seen_)
        seen = false;
    const PortUrl url = parse_port_url(name_);
    if (!url.problem.isEmpty()) {
        failure_ = url.problem;
        return false;
    }
    socket_->abort();
    lost_announced_ = false;
    refusal_.clear();
    socket_->connectToHost(url.host, quint16(url.port));
    if (!socket_->waitForConnected(kConnectMs)) {
        switch (socket_->error()) {
        case QAbstractSocket::HostNotFoundError:
            failure_ = QStringLiteral("%1: the host %2 is not known").arg(name_, url.host);
            break;
        case QAbstractSocket::ConnectionRefusedError:
            failure_ = QStringLiteral("%1: connection refused; is the port server running there?").arg(name_);
            break;
        case QAbstractSocket::SocketTimeoutError:
            failure_ = QStringLiteral("%1: no connection within %2 s").arg(name_).arg(kConnectMs / 1000);
            break;
        default:
            failure_ = QStringLiteral("%1: %2").arg(name_, socket_->errorString());
            break;
        }
        socket_->abort();
        return false;
    }
    if (url.tls && !tls::start(*static_cast<QSslSocket*>(socket_), url, name_, kConnectMs, &failure_)) {
        socket_->abort();
        return false;
    }
    // Each frame is a round trip the boot loader waits for: never held back
    // to be sent with the next.
    socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    open_ = true;
    rate_ = rate;
    if (kind_ == Kind::RawSocket)
        return true;

    socket_->write(options_.offer());
    const bool answered =
        wait_for_server(kNegotiationMs, [this] { return options_.com_port_agreed() || options_.com_port_refused(); });
    if (!open_)
        return false;
    if (!answered || options_.com_port_refused()) {
        failure_ = answered ? QStringLiteral("%1: the server does not control a serial port (no RFC 2217 there; "
                                             "socket:// carries bytes only)")
                                  .arg(name_)
                            : QStringLiteral("%1: the server did not answer the serial-port options within %2 s")
                                  .arg(name_)
                                  .arg(kNegotiationMs / 1000);
        close();
        return false;
    }
    if (!set_rate(rate) || !confirm(telnet::com::kSetDataSize, QByteArray(1, 8), "8 data bits") ||
        !confirm(telnet::com::kSetParity, QByteArray(1, char(telnet::com::kParityNone)), "no parity") ||
        !confirm(telnet::com::kSetStopSize, QByteArray(1, char(telnet::com::kStopBitsOne)), "one stop bit")) {
        close();
        return false;
    }
    return true;
}

template <class Done>
bool TcpTransport::wait_for_server(int ms, Done done)
{
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        take_socket_bytes();
        if (done())
            return true;
        if (!open_)
            return false;
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

bool TcpTransport::confirm(uint8_t command, const QByteArray& value, const char* what)
{
    const uint8_t answer = uint8_t(command + telnet::com::kServerOffset);
    confirmation_seen_[answer] = false;
    socket_->write(telnet::com_port_command(command, value));
    if (!wait_for_server(kConfirmMs, [&] { return confirmation_seen_[answer]; })) {
        if (open_)
            failure_ = QStringLiteral("%1: the server did not confirm %2 within %3 s")
                           .arg(name_, QLatin1String(what))
                           .arg(kConfirmMs / 1000);
        return false;
    }
    return true;
}

bool TcpTransport::set_rate(int rate)
{
    if (!open_)
        return false;
    if (kind_ == Kind::RawSocket) {
        if (rate == rate_)
            return true;
        failure_ = QStringLiteral("%1 carries bytes only and cannot change the rate").arg(name_);
        return false;
    }
    // The boot loader moves at once; the server must have moved before the
    // next frame goes out, so its confirmation is awaited.
    const QByteArray want = telnet::set_baud_rate(uint32_t(rate)).mid(4, 4);
    const uint8_t answer = telnet::com::kSetBaudRate + telnet::com::kServerOffset;
    if (!confirm(telnet::com::kSetBaudRate, want, "the rate"))
        return false;
    const uint32_t in_force = telnet::value_u32(confirmed_[answer]);
    if (in_force != uint32_t(rate)) {
        failure_ = QStringLiteral("%1: the server set the rate %2 instead of %3").arg(name_).arg(in_force).arg(rate);
        return false;
    }
    rate_ = rate;
    return true;
}

void TcpTransport::close()
{
    open_ = false;
    rx_.clear();
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
    const qint64 written = socket_->write(kind_ == Kind::Rfc2217 ? telnet::escape(bytes) : bytes);
    return written < 0 ? -1 : bytes.size();
}

bool TcpTransport::wait_written(int ms)
{
    if (!open_)
        return false;
    if (socket_->bytesToWrite() == 0)
        return true;
    return socket_->waitForBytesWritten(ms);
}

qint64 TcpTransport::bytes_available() const
{
    take_socket_bytes();
    return rx_.size();
}

bool TcpTransport::wait_ready_read(int ms)
{
    if (!open_)
        return false;
    // Counted, not measured in rx_: the socket's own readyRead may run the
    // receive slot from inside the wait, which takes the bytes away.
    const qint64 before = received_;
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        take_socket_bytes();
        if (received_ > before) {
            if (!rx_.isEmpty())
                announce();
            return true;
        }
        const qint64 left = ms - clock.elapsed();
        if (left <= 0 || !open_)
            return false;
        if (!socket_->waitForReadyRead(int(left)) && socket_->state() != QAbstractSocket::ConnectedState) {
            take_socket_bytes();
            if (received_ > before) {
                if (!rx_.isEmpty())
                    announce();
                return true;
            }
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
    if (open_ && kind_ == Kind::Rfc2217)
        socket_->write(telnet::com_port_command(telnet::com::kPurgeData, QByteArray(1, char(telnet::com::kPurgeBoth))));
}

void TcpTransport::take_socket_bytes() const
{
    if (socket_->bytesAvailable() <= 0)
        return;
    const QByteArray chunk = socket_->readAll();
    QVector<telnet::Command> commands;
    const int had = rx_.size();
    bool bounded = true;
    if (kind_ == Kind::RawSocket)
        rx_.append(chunk);
    else
        bounded = decoder_.feed(chunk.constData(), chunk.size(), &rx_, &commands);
    received_ += rx_.size() - had;
    // What the server sends beyond any reply is refused as soon as it passes
    // its bound, with the reason in place of the loss's own line.
    if (!bounded || rx_.size() > telnet::kMaxUnreadData) {
        refusal_ = QStringLiteral("%1: %2; connection closed")
                       .arg(name_, bounded ? QStringLiteral("the server sent more than %1 bytes nobody asked for")
                                                 .arg(telnet::kMaxUnreadData)
                                           : decoder_.fault());
        socket_->abort();
        return;
    }
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
        if (!reply.isEmpty())
            socket_->write(reply);
    }
}

void TcpTransport::socket_ready_read()
{
    take_socket_bytes();
    if (!rx_.isEmpty())
        announce();
}

void TcpTransport::announce()
{
    // As a serial port does: no second announcement from inside the first,
    // the waiting bytes are read by whoever is running.
    if (announcing_)
        return;
    announcing_ = true;
    emit ready_read();
    announcing_ = false;
}

void TcpTransport::lost()
{
    if (!open_)
        return;
    if (socket_->state() == QAbstractSocket::ConnectedState)
        return;  // an error that did not end the connection
    if (lost_announced_)
        return;
    lost_announced_ = true;
    failure_ = refusal_.isEmpty() ? QStringLiteral("%1: the connection was closed").arg(name_) : refusal_;
    // Open while it is announced, as a serial port is when its device goes:
    // whoever hears of it closes the link as its removal.
    emit gone();
    if (open_)
        close();
}

std::unique_ptr<Transport> make_transport(const QString& name)
{
    const Transport::Kind kind = parse_port_url(name).scheme;
    if (kind == Transport::Kind::Local)
        return std::make_unique<SerialTransport>(name);
    return std::make_unique<TcpTransport>(kind, name);
}
