#pragma once

// A serial port served over the network: rfc2217://host:port, telnet with
// the serial-port option (the rate set and changed by the server), or
// socket://host:port, raw TCP at whatever rate the server's port is set to.
//
// Written on QTcpSocket so that it lives on the session's own thread and
// event loop and blocks in its waits exactly as a QSerialPort does.

#include <QElapsedTimer>

#include "serial/telnet_codec.h"
#include "serial/transport.h"

class QTcpSocket;

class TcpTransport : public Transport {
    Q_OBJECT

public:
    TcpTransport(Kind kind, const QString& name, QObject* parent = nullptr);
    ~TcpTransport() override;

    Kind kind() const override { return kind_; }
    bool open(int rate) override;
    bool changes_rate() const override { return kind_ == Kind::Rfc2217; }
    bool set_rate(int rate) override;
    int rate() const override { return rate_; }
    bool is_open() const override { return open_; }
    void close() override;
    qint64 write(const QByteArray& bytes) override;
    bool wait_written(int ms) override;
    qint64 bytes_available() const override;
    bool wait_ready_read(int ms) override;
    QByteArray read_all() override;
    void discard() override;

private:
    // Moves what the socket holds into rx_, answering telnet commands.
    void take_socket_bytes() const;
    void socket_ready_read();
    void announce();
    void lost();
    // Waits for the server until `done` holds or `ms` passed; false on time-out or loss.
    template <class Done>
    bool wait_for_server(int ms, Done done);
    bool confirm(uint8_t command, const QByteArray& value, const char* what);

    Kind kind_;
    QTcpSocket* socket_;
    bool open_ = false;
    bool announcing_ = false;
    bool lost_announced_ = false;
    int rate_ = 0;
    mutable QByteArray rx_;
    mutable qint64 received_ = 0;  // data bytes taken from the socket since the transport was made
    mutable telnet::Decoder decoder_;
    mutable QString refusal_;  // why this end closed the connection, when it did
    mutable telnet::Options options_;
    // The last confirmation of each COM-PORT-OPTION command, with its value.
    mutable QByteArray confirmed_[256];
    mutable bool confirmation_seen_[256] = {};
};
