#pragma once

// A serial port of this machine: a USB adapter, a board's own USB serial
// device, or a simulated chip's pseudo-terminal.

#include "serial/port_advice.h"
#include "serial/transport.h"

class QSerialPort;

class SerialTransport : public Transport {
    Q_OBJECT

public:
    explicit SerialTransport(const QString& name = QString(), QObject* parent = nullptr);
    ~SerialTransport() override;

    Kind kind() const override { return Kind::Local; }
    bool open(int rate) override;
    bool changes_rate() const override { return true; }
    bool set_rate(int rate) override;
    int rate() const override;
    bool is_open() const override;
    void close() override;
    qint64 write(const QByteArray& bytes) override;
    bool wait_written(int ms) override;
    qint64 bytes_available() const override;
    bool wait_ready_read(int ms) override;
    QByteArray read_all() override;
    void discard() override;

    QSerialPort* port() const { return port_; }
    // How root looks for another holder of the port before opening it.
    void set_holder_look(HolderLook look) { look_ = look; }
    // The last open found another program holding the port.
    bool held() const { return held_; }

private:
    void port_error();

    QSerialPort* port_;
    HolderLook look_ = HolderLook::Processes;
    bool held_ = false;
};
