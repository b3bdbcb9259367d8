#pragma once

// A serial port of this machine: a USB adapter, a board's own USB serial
// device, or a simulated chip's pseudo-terminal. QSerialPort used blocking:
// its waits need no event loop.

#include <memory>

#include "serial/transport.h"

class QSerialPort;

class SerialTransport : public Transport {
public:
    explicit SerialTransport(const QString& name);
    ~SerialTransport() override;

    Kind kind() const override { return Kind::Local; }
    OpenResult open(const OpenRequest& request) override;
    bool changes_rate() const override { return true; }
    bool set_rate(int rate, const StopToken& stop = {}) override;
    bool is_open() const override;
    void close() override;
    qint64 write(const QByteArray& bytes) override;
    bool wait_written(int ms) override;
    qint64 bytes_available() override;
    bool wait_for_bytes(int ms) override;
    QByteArray read_all() override;
    void discard() override;

    QSerialPort* port() const { return port_.get(); }

private:
    void port_error();

    std::unique_ptr<QSerialPort> port_;
};
