#pragma once

// The port server of fixture hosts, ser2net, run by a test on 127.0.0.1 in
// front of a simulated chip's pseudo-terminal: one configuration of its own
// in a temporary folder, an RFC 2217 (telnet) port and a raw TCP port to
// the same device. Also the tests' own relay, a QTcpServer in the test's
// event loop that adds a delay each way and can cut the connection.

#include <QElapsedTimer>
#include <QFile>
#include <QPointer>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// A TCP port of 127.0.0.1 that nobody listens on at the moment.
inline int free_tcp_port()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    if (fd >= 0)
        ::close(fd);
    return port;
}

class Ser2net {
public:
    ~Ser2net() { stop(); }

    // Serves `device` (a pty's slave) at 115200 8N1, as a fixture host's
    // configuration does; false with `error` when it cannot.
    bool start(const QString& device, QString* error)
    {
        const QString program = QStandardPaths::findExecutable(QStringLiteral("ser2net"), {"/usr/sbin", "/usr/bin"});
        if (program.isEmpty()) {
            *error = QStringLiteral("no ser2net: scripts/setup.sh installs it");
            return false;
        }
        if (rfc2217_port == 0) {
            rfc2217_port = free_tcp_port();
            raw_port = free_tcp_port();
        }
        device_ = device;
        QFile config(dir_.filePath(QStringLiteral("ser2net.yaml")));
        if (!config.open(QIODevice::WriteOnly) || config.write(yaml().toUtf8()) < 0) {
            *error = QStringLiteral("cannot write %1").arg(config.fileName());
            return false;
        }
        config.close();
        process_.setProcessChannelMode(QProcess::MergedChannels);
        // -u: no lock files of its own in the system's lock folder.
        process_.start(program, {QStringLiteral("-n"), QStringLiteral("-d"), QStringLiteral("-u"), QStringLiteral("-P"),
                                 dir_.filePath(QStringLiteral("pid")), QStringLiteral("-c"), config.fileName()});
        if (!process_.waitForStarted()) {
            *error = QStringLiteral("ser2net did not start");
            return false;
        }
        // Ready once it accepts connections.
        if (!QTest::qWaitFor([this] { return accepts(rfc2217_port) && accepts(raw_port); }, 10000)) {
            *error = QStringLiteral("ser2net did not listen: ") + QString::fromLocal8Bit(process_.readAll());
            return false;
        }
        return true;
    }
    bool restart(QString* error)
    {
        stop();
        return start(device_, error);
    }
    void stop()
    {
        if (process_.state() == QProcess::NotRunning)
            return;
        process_.kill();
        process_.waitForFinished();
    }
    QString output() { return QString::fromLocal8Bit(process_.readAll()); }

    QString rfc2217_url() const { return QStringLiteral("rfc2217://127.0.0.1:%1").arg(rfc2217_port); }
    QString socket_url() const { return QStringLiteral("socket://127.0.0.1:%1").arg(raw_port); }

    int rfc2217_port = 0;
    int raw_port = 0;

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
            .arg(device_, options);
    }
    static bool accepts(int port)
    {
        QTcpSocket probe;
        probe.connectToHost(QStringLiteral("127.0.0.1"), quint16(port));
        const bool ok = probe.waitForConnected(200);
        probe.abort();
        return ok;
    }

    QTemporaryDir dir_;
    QString device_;
    QProcess process_;
};

// Forwards connections on a port of its own to `target_port`, each byte
// held `delay_ms` each way; cut() drops every connection. With no target it
// accepts and never answers. Runs in the test's event loop: a test waits
// with QTest::qWaitFor (or a QProcess wait that pumps none, so a program
// under test runs with its own loop while the relay is served from a
// thread of its own: see RelayThread).
class Relay : public QObject {
public:
    explicit Relay(int target_port, int delay_ms) : target_port_(target_port), delay_ms_(delay_ms)
    {
        server_.listen(QHostAddress::LocalHost);
        QObject::connect(&server_, &QTcpServer::newConnection, this, [this] { accept(); });
    }
    int port() const { return server_.serverPort(); }
    QString url(const QString& scheme) const { return QStringLiteral("%1://127.0.0.1:%2").arg(scheme).arg(port()); }
    void cut()
    {
        for (const QPointer<QTcpSocket>& s : sockets_) {
            if (s)
                s->abort();
        }
    }

private:
    void accept()
    {
        while (QTcpSocket* in = server_.nextPendingConnection()) {
            in->setParent(this);
            sockets_ << in;
            if (target_port_ == 0)
                continue;  // a server that accepts and then says nothing
            auto* out = new QTcpSocket(this);
            sockets_ << out;
            out->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            in->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            out->connectToHost(QHostAddress::LocalHost, quint16(target_port_));
            pipe(in, out);
            pipe(out, in);
            auto drop = [in, out] {
                in->abort();
                out->abort();
            };
            QObject::connect(in, &QTcpSocket::disconnected, this, drop);
            QObject::connect(out, &QTcpSocket::disconnected, this, drop);
        }
    }
    void pipe(QTcpSocket* from, QTcpSocket* to)
    {
        QObject::connect(from, &QTcpSocket::readyRead, this, [this, from, to] {
            const QByteArray bytes = from->readAll();
            QPointer<QTcpSocket> target(to);
            QTimer::singleShot(delay_ms_, Qt::PreciseTimer, this, [target, bytes] {
                if (target && target->state() == QAbstractSocket::ConnectedState)
                    target->write(bytes);
            });
        });
    }

    QTcpServer server_;
    int target_port_;
    int delay_ms_;
    QList<QPointer<QTcpSocket>> sockets_;
};

// The relay on a thread of its own with its own event loop, for tests that
// block in QProcess::waitForFinished while vqprog talks through it.
class RelayThread {
public:
    RelayThread(int target_port, int delay_ms)
    {
        anchor_.moveToThread(&thread_);
        thread_.start();
        on_thread([&] { relay_ = new Relay(target_port, delay_ms); });
    }
    ~RelayThread()
    {
        on_thread([this] {
            delete relay_;
            anchor_.moveToThread(QCoreApplication::instance()->thread());
        });
        thread_.quit();
        thread_.wait();
    }
    QString url(const QString& scheme) const { return relay_->url(scheme); }
    void cut()
    {
        on_thread([this] { relay_->cut(); });
    }

private:
    template <class F>
    void on_thread(F f)
    {
        QMetaObject::invokeMethod(&anchor_, f, Qt::BlockingQueuedConnection);
    }

    QThread thread_;
    QObject anchor_;
    Relay* relay_ = nullptr;
};
