#pragma once

// A serial port served over the network: rfc2217://host:port, telnet with
// the serial-port option (the rate set and changed by the server), or
// socket://host:port, raw TCP at whatever rate the server's port is set to.
//
// rfc2217+tls:// and socket+tls:// are the same over TLS.
//
// QSslSocket used blocking, on the caller's thread: its waits need no event
// loop. The connect, the TLS handshake, the option exchange and every
// confirmation the server owes are waited for in slices of 10 ms that look
// at the stop.

#include <QByteArray>
#include <memory>

#include "serial/port_url.h"
#include "serial/telnet_codec.h"
#include "serial/transport.h"

class QSslSocket;

class TcpTransport : public Transport {
public:
    TcpTransport(const PortUrl& url, const QString& name);
    ~TcpTransport() override;

    Kind kind() const override { return url_.scheme; }
    OpenResult open(const OpenRequest& request) override;
    bool changes_rate() const override { return url_.scheme == Kind::Rfc2217; }
    bool set_rate(int rate, const StopToken& stop = {}) override;
    bool is_open() const override { return open_; }
    void close() override;
    qint64 write(const QByteArray& bytes) override;
    bool wait_written(int ms) override;
    qint64 bytes_available() override;
    bool wait_for_bytes(int ms) override;
    QByteArray read_all() override;
    void discard() override;

private:
    // Makes socket_ and connects it to the URL's host: the one place that
    // knows which kind of socket carries the link. Fills result's failure
    // (or stopped) when it does not connect.
    bool connect_socket(const StopToken& stop, OpenResult* result);
    // Moves what the socket holds into rx_, answering telnet commands.
    void take_socket_bytes();
    void lost();
    // Waits for the server until `done` holds or `ms` passed; false on
    // time-out, loss or a stop (stopped_ then says so).
    template <class Done>
    bool wait_for_server(int ms, const StopToken& stop, Done done);
    bool confirm(uint8_t command, const QByteArray& value, const char* what, const StopToken& stop);

    PortUrl url_;
    std::unique_ptr<QSslSocket> socket_;  // plain TCP until TLS is started
    bool open_ = false;
    bool stopped_ = false;  // the last wait for the server ended on a stop
    int rate_ = 0;
    QByteArray rx_;
    telnet::Decoder decoder_;
    QString refusal_;  // why this end closed the connection, when it did
    telnet::Options options_;
    // The last confirmation of each COM-PORT-OPTION command, with its value.
    QByteArray confirmed_[256];
    bool confirmation_seen_[256] = {};
};
