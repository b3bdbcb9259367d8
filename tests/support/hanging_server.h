#pragma once

// A listening socket on 127.0.0.1 that never calls accept(): the kernel
// completes the handshakes into its queue and nobody answers. With a
// backlog of 0 and the queue filled, a further connect is never completed,
// as one to a host that does not answer.

#include <QList>
#include <QThread>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

struct HangingServer {
    int fd = -1;
    int port = 0;
    QList<int> fillers;
    explicit HangingServer(bool queue_full)
    {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), len);
        ::listen(fd, 0);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        for (int i = 0; queue_full && i < 4; ++i) {
            const int c = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            ::connect(c, reinterpret_cast<sockaddr*>(&a), len);
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
