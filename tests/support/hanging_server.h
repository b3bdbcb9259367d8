#pragma once

// Servers on 127.0.0.1 that a test points a client at: the listening socket
// they share, and one that never calls accept(). The kernel completes the
// handshakes into its queue and nobody answers; with a backlog of 0 and the
// queue filled, a further connect is never completed, as one to a host that
// does not answer.

#include <QList>
#include <QThread>
#include <QtGlobal>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// A socket listening on 127.0.0.1 at a port the kernel chose, which `port`
// is given; a test without one cannot go on.
inline int listen_on_loopback(int backlog, int* port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, backlog) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        qFatal("no listening socket on 127.0.0.1");
    *port = ntohs(a.sin_port);
    return fd;
}

struct HangingServer {
    int fd = -1;
    int port = 0;
    QList<int> fillers;
    explicit HangingServer(bool queue_full)
    {
        fd = listen_on_loopback(0, &port);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(quint16(port));
        for (int i = 0; queue_full && i < 4; ++i) {
            const int c = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            ::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a);
            fillers << c;
        }
        if (queue_full)
            QThread::msleep(100);  // the handshakes that fit are done
    }
    ~HangingServer()
    {
        for (int c : fillers)
            ::close(c);
        ::close(fd);
    }
    HangingServer(const HangingServer&) = delete;
    HangingServer& operator=(const HangingServer&) = delete;
};
