#pragma once

// The port server of fixture hosts, ser2net, run by a test on 127.0.0.1 in
// front of a simulated chip's pseudo-terminal: one configuration of its own
// in a temporary folder, an RFC 2217 (telnet) port and a raw TCP port to
// the same device. Also the tests' own relay, which adds a delay each way
// and can stall the link once.

#include <QElapsedTimer>
#include <QPointer>
#include <QProcess>
#include <QSemaphore>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QtTest>
#include <algorithm>
#include <atomic>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "hanging_server.h"

// A TCP port of 127.0.0.1 that nobody listens on at the moment.
inline int free_tcp_port()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

class TestCertificates;

class Ser2net {
public:
    ~Ser2net() { stop(); }

    // Serves `device` (a pty's slave) at 115200 8N1, as a fixture host's
    // configuration does; false with `error` when it cannot.
    bool start(const QString& device, QString* error)
    {
        const QString program = QStandardPaths::findExecutable("ser2net", {"/usr/sbin", "/usr/bin"});
        if (program.isEmpty()) {
            *error = "no ser2net: scripts/setup.sh installs it";
            return false;
        }
        if (rfc2217_port == 0) {  // a start after a stop serves the same ports
            rfc2217_port = free_tcp_port();
            do  // the first probe is closed: the system may offer its port again
                raw_port = free_tcp_port();
            while (raw_port == rfc2217_port);
        }
        device_ = device;
        QFile config(dir_.filePath("ser2net.yaml"));
        if (!config.open(QIODevice::WriteOnly) || config.write(yaml().toUtf8()) < 0 || !config.flush()) {
            *error = "cannot write " + config.fileName();
            return false;
        }
        process_.setProcessChannelMode(QProcess::MergedChannels);
        // -u: no lock files of its own in the system's lock folder.
        process_.start(program, {"-n", "-d", "-u", "-P", dir_.filePath("pid"), "-c", config.fileName()});
        if (!process_.waitForStarted()) {
            *error = "ser2net did not start";
            return false;
        }
        // Ready once it listens on every port. Not tried by connecting: a
        // connection makes ser2net open the device its ports share, and it
        // lets go of it only some milliseconds after the connection ends; the
        // test's own first connection to another port in that time is turned
        // away ("Port's device already in use") and closed.
        if (!QTest::qWaitFor(
                [this] {
                    return listens(rfc2217_port) && listens(raw_port) &&
                           (tls_port == 0 || (listens(tls_port) && listens(tls_client_auth_port)));
                },
                10000)) {
            *error = "ser2net did not listen: " + QString::fromLocal8Bit(process_.readAll());
            return false;
        }
        return true;
    }
    void stop()
    {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished();
        }
    }

    // Also serves RFC 2217 over TLS with the server's `cert` and `key`, on
    // one port for any client and on one that asks for a client certificate
    // allowed by `auth_dir`; set before start().
    void serve_tls(const QString& cert, const QString& key, const QString& auth_dir)
    {
        tls_cert_ = cert;
        tls_key_ = key;
        auth_dir_ = auth_dir;
        tls_port = free_tcp_port();
        do
            tls_client_auth_port = free_tcp_port();
        while (tls_client_auth_port == tls_port);
    }
    QString tls_url(int port) const { return QStringLiteral("rfc2217+tls://127.0.0.1:%1").arg(port); }
    QString rfc2217_url() const { return QStringLiteral("rfc2217://127.0.0.1:%1").arg(rfc2217_port); }
    QString socket_url() const { return QStringLiteral("socket://127.0.0.1:%1").arg(raw_port); }

    int rfc2217_port = 0;
    int raw_port = 0;
    int tls_port = 0;
    int tls_client_auth_port = 0;

private:
    // A fixture host's configuration: chardelay off, as the README advises,
    // since every reply is a short burst the other end waits for.
    QString yaml() const
    {
        const QString options = QStringLiteral("    options:\n      kickolduser: true\n      chardelay: false\n");
        return QStringLiteral("%YAML 1.1\n---\n"
                              "connection: &rfc2217\n"
                              "    accepter: telnet(rfc2217),tcp,127.0.0.1,%1\n"
                              "    connector: serialdev,%3,115200n81,local\n%4"
                              "connection: &raw\n"
                              "    accepter: tcp,127.0.0.1,%2\n"
                              "    connector: serialdev,%3,115200n81,local\n%4")
            .arg(rfc2217_port)
            .arg(raw_port)
            .arg(device_, options) + tls_yaml(options);
    }
    // ser2net checks a client's certificate against <authdir>/<its common
    // name>/allowed_certs, not against an authority named in ssl().
    QString tls_yaml(const QString& options) const
    {
        if (tls_port == 0)
            return QString();
        const QString ssl = QStringLiteral("ssl(key=%1,cert=%2").arg(tls_key_, tls_cert_);
        return QStringLiteral("connection: &tls\n"
                              "    accepter: telnet(rfc2217),%1),tcp,127.0.0.1,%2\n"
                              "    connector: serialdev,%4,115200n81,local\n%5"
                              "connection: &tlsauth\n"
                              "    accepter: telnet(rfc2217),%1,clientauth),tcp,127.0.0.1,%3\n"
                              "    connector: serialdev,%4,115200n81,local\n%5      authdir: %6\n")
            .arg(ssl)
            .arg(tls_port)
            .arg(tls_client_auth_port)
            .arg(device_, options, auth_dir_);
    }
    // The kernel's table of TCP sockets: a line whose local address ends in
    // the port, in state 0A (LISTEN).
    static bool listens(int port)
    {
        QFile table("/proc/net/tcp");
        if (!table.open(QIODevice::ReadOnly))
            return false;
        const QByteArray local = ':' + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
        for (QByteArray line = table.readLine(); !line.isEmpty(); line = table.readLine()) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            if (fields.size() > 3 && fields[1].endsWith(local) && fields[3] == "0A")
                return true;
        }
        return false;
    }

    QTemporaryDir dir_;
    QString device_;
    QProcess process_;
    QString tls_cert_, tls_key_, auth_dir_;
};

// A broken or hostile port server: it opens a telnet subnegotiation on
// every connection and never ends it, sending as fast as it is read.
class FloodServer {
public:
    FloodServer()
    {
        fd_ = listen_on_loopback(8, &port);
        thread_ = std::thread([this] { serve(); });
    }
    ~FloodServer()
    {
        stop_ = true;
        ::shutdown(fd_, SHUT_RDWR);
        thread_.join();
        ::close(fd_);
    }
    int port = 0;

private:
    void serve()
    {
        while (!stop_) {
            const int c = ::accept(fd_, nullptr, nullptr);
            if (c < 0)
                return;
            const QByteArray head = QByteArray::fromHex("fffa2c");
            const QByteArray body(64 * 1024, 'x');
            bool ok = ::send(c, head.constData(), size_t(head.size()), MSG_NOSIGNAL) == head.size();
            while (ok && !stop_)
                ok = ::send(c, body.constData(), size_t(body.size()), MSG_NOSIGNAL) > 0;
            ::close(c);
        }
    }
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Forwards connections on a port of its own to `target_port`, each chunk
// held `delay_ms` each way; with a stall set, everything either way is also
// held for stall_ms once the server has sent more than stall_after bytes
// (the stall starting with a reply, never inside one of the tool's frames),
// then let go in order.
class Relay : public QObject {
public:
    Relay(int target_port, int delay_ms, qint64 stall_after = -1, int stall_ms = 0)
        : target_port_(target_port), delay_ms_(delay_ms), stall_after_(stall_after), stall_ms_(stall_ms)
    {
        server_.listen(QHostAddress::LocalHost);
        QObject::connect(&server_, &QTcpServer::newConnection, this, [this] { accept(); });
        clock_.start();
    }
    int port() const { return server_.serverPort(); }

private:
    // One direction: chunks leave in the order they came, each when due.
    struct Lane {
        QPointer<QTcpSocket> to;
        QList<QPair<qint64, QByteArray>> queue;  // due (the relay's clock, ms), bytes
        QTimer timer;
    };

    void accept()
    {
        while (QTcpSocket* in = server_.nextPendingConnection()) {
            in->setParent(this);
            auto* out = new QTcpSocket(this);
            for (QTcpSocket* s : {in, out}) {
                s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
                QObject::connect(s, &QTcpSocket::disconnected, this, [in, out] { in->abort(); out->abort(); });
            }
            out->connectToHost(QHostAddress::LocalHost, quint16(target_port_));
            pipe(in, out, false);
            pipe(out, in, true);
        }
    }
    void pipe(QTcpSocket* from, QTcpSocket* to, bool from_server)
    {
        lanes_.push_back(std::make_unique<Lane>());
        Lane* lane = lanes_.back().get();
        lane->to = to;
        lane->timer.setSingleShot(true);
        lane->timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&lane->timer, &QTimer::timeout, this, [this, lane] { flush(lane); });
        QObject::connect(from, &QTcpSocket::readyRead, this, [this, from, lane, from_server] {
            const QByteArray bytes = from->readAll();
            if (from_server) {
                answered_ += bytes.size();
                if (stall_after_ >= 0 && answered_ > stall_after_ && held_until_ < 0)
                    held_until_ = clock_.elapsed() + stall_ms_;
            }
            qint64 due = std::max(clock_.elapsed() + delay_ms_, held_until_);
            if (!lane->queue.isEmpty())
                due = std::max(due, lane->queue.last().first);
            lane->queue.append({due, bytes});
            flush(lane);
        });
    }
    void flush(Lane* lane)
    {
        while (!lane->queue.isEmpty() && lane->queue.first().first <= clock_.elapsed()) {
            const QByteArray bytes = lane->queue.takeFirst().second;
            if (lane->to && lane->to->state() == QAbstractSocket::ConnectedState)
                lane->to->write(bytes);
        }
        if (!lane->queue.isEmpty())
            lane->timer.start(int(lane->queue.first().first - clock_.elapsed()));
    }

    QTcpServer server_;
    int target_port_;
    int delay_ms_;
    qint64 stall_after_;
    int stall_ms_;
    qint64 answered_ = 0;     // bytes the server sent through the relay
    qint64 held_until_ = -1;  // the stall's end on clock_, once it began
    QElapsedTimer clock_;
    std::vector<std::unique_ptr<Lane>> lanes_;
};

// The relay served from a thread of its own, since a test blocks in
// QProcess's waits while vqprog talks through it.
class RelayThread : public QThread {
public:
    RelayThread(int target_port, int delay_ms, qint64 stall_after = -1, int stall_ms = 0)
        : target_port_(target_port), delay_ms_(delay_ms), stall_after_(stall_after), stall_ms_(stall_ms)
    {
        start();
        listening_.acquire();
    }
    ~RelayThread() override
    {
        quit();
        wait();
    }
    QString url(const QString& scheme) const { return QStringLiteral("%1://127.0.0.1:%2").arg(scheme).arg(port_); }

private:
    void run() override
    {
        Relay relay(target_port_, delay_ms_, stall_after_, stall_ms_);
        port_ = relay.port();
        listening_.release();
        exec();
    }

    int target_port_;
    int delay_ms_;
    qint64 stall_after_;
    int stall_ms_;
    int port_ = 0;
    QSemaphore listening_;
};
