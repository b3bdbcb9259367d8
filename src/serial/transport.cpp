// Which transport a port's name asks for (its kind parsed here, once), and
// how a transport that finds its link gone says so.

#include "serial/transport.h"

#include "serial/serial_transport.h"
#include "serial/tcp_transport.h"

void Transport::mark_gone(const QString& why)
{
    if (gone_ || !is_open())
        return;
    gone_ = true;
    failure_ = why;
    // Heard at idle: whoever listens ends the session as a removal, which
    // closes the link; a link nobody listens to is closed here, or a hung-up
    // tty floods errors until it is.
    if (calls_ == 0 && notice_)
        notice_();
    if (calls_ == 0 && is_open())
        close();
}

std::unique_ptr<Transport> make_transport(const QString& name)
{
    const PortUrl url = parse_port_url(name);
    if (url.scheme == PortUrl::Local)
        return std::make_unique<SerialTransport>(name);
    return std::make_unique<TcpTransport>(url, name);
}
