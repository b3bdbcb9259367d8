#pragma once

// What the boot session needs of a link to the boot loader, whatever carries
// it: a local serial port, or a serial port served over the network
// (rfc2217://host:port with rate changes, socket://host:port without).
//
// Everything runs on the caller's thread. Bytes that arrive are announced
// by ready_read() from the event loop; the waits block for at most the time
// given, as QSerialPort's do, so the session's gathering of a reply works
// the same over every transport.

#include <QByteArray>
#include <QObject>
#include <QString>
#include <memory>

#include "serial/port_url.h"

class Transport : public QObject {
    Q_OBJECT

public:
    using Kind = PortUrl::Scheme;  // which a port's name asks for

    explicit Transport(QObject* parent = nullptr) : QObject(parent) {}
    ~Transport() override = default;

    virtual Kind kind() const = 0;
    // The name the operator gave: a device path or a URL. Taken at the next open.
    QString name() const { return name_; }
    void set_name(const QString& name) { name_ = name; }
    // Opens at `rate` bits per second, 8N1. On failure, failure_line() says
    // why in one line (empty where nothing more is known).
    virtual bool open(int rate) = 0;
    virtual QString failure_line() const { return failure_; }
    // Whether the far end's line rate can be changed while open; socket://
    // carries bytes only.
    virtual bool changes_rate() const = 0;
    // Changes the line rate of the open link; false (and failure_line())
    // when the far end refused or never confirmed it.
    virtual bool set_rate(int rate) = 0;
    virtual int rate() const = 0;
    virtual bool is_open() const = 0;
    virtual void close() = 0;

    virtual qint64 write(const QByteArray& bytes) = 0;
    // Waits until what was written has left this program, or `ms` passed.
    virtual bool wait_written(int ms) = 0;
    virtual qint64 bytes_available() const = 0;
    // Waits for more bytes for up to `ms`; ready_read() is emitted for them.
    virtual bool wait_ready_read(int ms) = 0;
    virtual QByteArray read_all() = 0;
    // Drops what is buffered both ways, here and, where it can be asked, at
    // the far end.
    virtual void discard() = 0;

signals:
    void ready_read();
    // The device or the connection went away under the open link. Emitted
    // once; the link is then closed.
    void gone();

protected:
    QString name_;
    QString failure_;
};

// The transport a port name asks for: rfc2217:// and socket:// URLs, else
// a local serial port.
std::unique_ptr<Transport> make_transport(const QString& name);
