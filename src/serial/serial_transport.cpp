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

SerialTransport::SerialTransport(const QString& name) : Transport(name), port_(std::make_unique<QSerialPort>())
{
    // The port's own error report, heard inside its waits or, at idle, from
    // the thread's event loop: the only thing taken from its signals.
    QObject::connect(port_.get(), &QSerialPort::errorOccurred, port_.get(), [this] { port_error(); },
                     Qt::DirectConnection);
}

SerialTransport::~SerialTransport()
{
    // A device that went away under the open port reports its error while
    // the port closes; nobody is left to handle it.
    port_->disconnect();
}

OpenResult SerialTransport::open(const OpenRequest& request)
{
    OpenResult result;
    failure_.clear();
    port_->setPortName(name());
    port_->setBaudRate(request.rate, QSerialPort::AllDirections);
    port_->setDataBits(QSerialPort::Data8);
    port_->setParity(QSerialPort::NoParity);
    port_->setStopBits(QSerialPort::OneStop);
    port_->setFlowControl(QSerialPort::NoFlowControl);
    // A port another program has locked is not opened even where the open
    // would pass: two programs on one line garble each other's frames.
    result.held = port_lock_holder(name(), request.look).has_value();
    if (result.held || !port_->open(QIODevice::ReadWrite)) {
        // The advice looks through every process's open files: a look that
        // must stay cheap (a presence poll) goes without it.
        if (request.look == HolderLook::Processes)
            failure_ = port_open_advice(gather_port_facts(name()));
        result.failure = failure_;
        return result;
    }
    request_low_latency(*port_);
    result.ok = true;
    return result;
}

bool SerialTransport::set_rate(int rate, const StopToken&)
{
    return port_->setBaudRate(rate, QSerialPort::AllDirections);
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
    InCall call(*this);
    return port_->write(bytes);
}

bool SerialTransport::wait_written(int ms)
{
    InCall call(*this);
    return port_->waitForBytesWritten(ms);
}

qint64 SerialTransport::bytes_available()
{
    return port_->bytesAvailable();
}

bool SerialTransport::wait_for_bytes(int ms)
{
    InCall call(*this);
    return port_->waitForReadyRead(ms);
}

QByteArray SerialTransport::read_all()
{
    InCall call(*this);
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
    // The device went away under the open port (a local port's "Remove"
    // line says it all: no failure line of its own).
    mark_gone(QString());
}
