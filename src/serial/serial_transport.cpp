#include "serial/serial_transport.h"

#include <QSerialPort>

#ifdef Q_OS_LINUX
#include <linux/serial.h>
#include <sys/ioctl.h>
#endif

#include "serial/port_advice.h"

namespace {
// A USB serial adapter holds a short reply for its latency timer (several
// milliseconds a block) unless its driver is asked to hand bytes over at
// once. Drivers that do not know the request, a pseudo-terminal among
// them, are left as they are; on Windows the adapter's own setting rules.
void request_low_latency(QSerialPort& port)
{
#ifdef Q_OS_LINUX
    serial_struct settings{};
    if (::ioctl(port.handle(), TIOCGSERIAL, &settings) == 0) {
        settings.flags |= ASYNC_LOW_LATENCY;
        ::ioctl(port.handle(), TIOCSSERIAL, &settings);
    }
#else
    Q_UNUSED(port)
#endif
}
}  // namespace

SerialTransport::SerialTransport(const QString& name, QObject* parent) : Transport(parent), port_(new QSerialPort(this))
{
    name_ = name;
    connect(port_, &QSerialPort::readyRead, this, &Transport::ready_read, Qt::DirectConnection);
    connect(port_, &QSerialPort::errorOccurred, this, &SerialTransport::port_error, Qt::DirectConnection);
}

SerialTransport::~SerialTransport()
{
    // A device that went away under the open port reports its error while
    // the port closes; nobody is left to handle it.
    port_->disconnect(this);
}

bool SerialTransport::open(int rate)
{
    failure_.clear();
    port_->setPortName(name_);
    port_->setBaudRate(rate, QSerialPort::AllDirections);
    port_->setDataBits(QSerialPort::Data8);
    port_->setParity(QSerialPort::NoParity);
    port_->setStopBits(QSerialPort::OneStop);
    port_->setFlowControl(QSerialPort::NoFlowControl);
    // A port another program has locked is not opened even where the open
    // would pass: two programs on one line garble each other's frames.
    held_ = port_lock_holder(name_, look_).has_value();
    if (held_ || !port_->open(QIODevice::ReadWrite)) {
        // The advice looks through every process's open files: a look that
        // must stay cheap (a presence poll) goes without it.
        if (look_ == HolderLook::Processes)
            failure_ = port_open_advice(gather_port_facts(name_));
        return false;
    }
    request_low_latency(*port_);
    return true;
}

bool SerialTransport::set_rate(int rate)
{
    return port_->setBaudRate(rate, QSerialPort::AllDirections);
}

int SerialTransport::rate() const
{
    return port_->baudRate();
}

bool SerialTransport::is_open() const
{
    return port_->isOpen();
}

void SerialTransport::close()
{
    port_->close();
}

qint64 SerialTransport::write(const QByteArray& bytes)
{
    return port_->write(bytes);
}

bool SerialTransport::wait_written(int ms)
{
    return port_->waitForBytesWritten(ms);
}

qint64 SerialTransport::bytes_available() const
{
    return port_->bytesAvailable();
}

bool SerialTransport::wait_ready_read(int ms)
{
    return port_->waitForReadyRead(ms);
}

QByteArray SerialTransport::read_all()
{
    return port_->readAll();
}

void SerialTransport::discard()
{
    port_->clear(QSerialPort::AllDirections);
}

void SerialTransport::port_error()
{
    const QSerialPort::SerialPortError error = port_->error();
    if (error != QSerialPort::ResourceError && error != QSerialPort::ReadError && error != QSerialPort::WriteError)
        return;
    if (!port_->isOpen())
        return;
    // The device went away under the open port. On Linux a hung-up tty
    // floods read errors until the port is closed, so it is closed here if
    // nobody who heard of it did.
    emit gone();
    if (port_->isOpen())
        port_->close();
}
