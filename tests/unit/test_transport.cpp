// What a port name asks for and the telnet side of RFC 2217, as bytes:
// URLs taken apart, the stream split into data and commands across chunk
// boundaries, the option answers, the control messages; and a remote port's
// open ended by a stop wherever the server leaves it hanging.

#include <QtTest>
#include <arpa/inet.h>
#include <atomic>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>

#include "serial/port_url.h"
#include "serial/telnet_codec.h"
#include "serial/transport.h"
#include "serial/tls_link.h"
#include "hanging_server.h"
#include "scripted_transport.h"
#include "session/link.h"
#include "session/presence.h"
#include "session/session_sink.h"
#include "tls_rig.h"

using namespace telnet;

class TransportTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void port_urls_data();
    void port_urls();
    void decoding_data();
    void decoding();
    void option_answers_data();
    void option_answers();
    void bounds_data();
    void bounds();
    void control_messages();
    void stop_ends_a_hanging_open_data();
    void stop_ends_a_hanging_open();
    void presence_polls_end_on_stop();
    void server_answers_the_open_data();
    void server_answers_the_open();
    void late_reply_data();
    void late_reply();
    void presence_waits_in_ms();
    void tls_files_data();
    void tls_files();
    void tls_silent_server();

private:
    QTemporaryDir config_home_;
    TestCertificates certs_;
};

void TransportTest::initTestCase()
{
    // The per-user settings of this run, never the user's own.
    qputenv("XDG_CONFIG_HOME", config_home_.path().toLocal8Bit());
}

void TransportTest::port_urls_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("scheme");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("problem");
    QTest::addColumn<QString>("tls");  // "-" plain, else "ca|cert|key" as read
    QTest::newRow("device") << "/dev/ttyACM0" << int(PortUrl::Local) << "" << 0 << "" << "-";
    QTest::newRow("rfc2217") << "rfc2217://fixture3:4001" << int(PortUrl::Rfc2217) << "fixture3" << 4001 << "" << "-";
    QTest::newRow("socket, pyserial options") << "socket://host:7000?logging=debug" << int(PortUrl::RawSocket)
                                              << "host" << 7000 << "" << "-";
    QTest::newRow("IPv6") << "rfc2217://[::1]:4001" << int(PortUrl::Rfc2217) << "::1" << 4001 << "" << "-";
    QTest::newRow("no port") << "rfc2217://fixture3" << int(PortUrl::Rfc2217) << "fixture3" << -1
                             << "rfc2217://fixture3: no TCP port; write it as rfc2217://fixture3:port" << "-";
    QTest::newRow("no host") << "socket://:4001" << int(PortUrl::RawSocket) << "" << 4001
                             << "socket://:4001: no host; write it as socket://host:port" << "-";
    QTest::newRow("a path") << "rfc2217://host:4001/ttyUSB0" << int(PortUrl::Rfc2217) << "host" << 4001
                            << "rfc2217://host:4001/ttyUSB0: a path after the port is not understood" << "-";
    QTest::newRow("scheme in capitals") << "RFC2217://host:4001" << int(PortUrl::Rfc2217) << "host" << 4001 << ""
                                        << "-";
    QTest::newRow("white space around") << " socket://host:4001\n" << int(PortUrl::RawSocket) << "host" << 4001
                                        << "" << "-";
    for (const char* port : {"65536", "99999", "-1", "+24599", "0", "40x1"})
        QTest::addRow("port %s", port) << QStringLiteral("rfc2217://host:%1").arg(port) << int(PortUrl::Rfc2217)
                                       << "host" << 0
                                       << QStringLiteral("rfc2217://host:%1: the TCP port %1 is not a number from 1 "
                                                         "to 65535").arg(port) << "-";
    // The suggested form must itself be taken.
    QTest::newRow("IPv6 without port") << "rfc2217://[::1]" << int(PortUrl::Rfc2217) << "::1" << 0
                                       << "rfc2217://[::1]: no TCP port; write it as rfc2217://[::1]:port" << "-";
    QTest::newRow("IPv6 without brackets")
        << "socket://::1:4001" << int(PortUrl::RawSocket) << "" << 0
        << "socket://::1:4001: an IPv6 address goes in brackets; write it as socket://[address]:port" << "-";
    QTest::newRow("tls") << "rfc2217+tls://fixture3:4001" << int(PortUrl::Rfc2217) << "fixture3" << 4001 << ""
                         << "||";
    QTest::newRow("tls, every option") << "Socket+TLS://[fe80::2]:4001?ca=/etc/ca.pem&cert=c%20d.pem&key=k.pem"
                                       << int(PortUrl::RawSocket) << "fe80::2" << 4001 << ""
                                       << "/etc/ca.pem|c d.pem|k.pem";
    QTest::newRow("tls, cert without key") << "rfc2217+tls://h:1?cert=c.pem" << int(PortUrl::Rfc2217) << "h" << 1
                                           << "rfc2217+tls://h:1?cert=c.pem: cert=FILE and key=FILE go together"
                                           << "";
    QTest::newRow("tls, unknown option")
        << "rfc2217+tls://h:1?verify=no" << int(PortUrl::Rfc2217) << "h" << 1
        << "rfc2217+tls://h:1?verify=no: the option verify is not understood (ca=FILE, cert=FILE&key=FILE)" << "";
    QTest::newRow("tls, option with no name") << "rfc2217+tls://h:1?=x" << int(PortUrl::Rfc2217) << "h" << 1
                                              << "rfc2217+tls://h:1?=x: an option with no name (\"=x\")" << "";
    QTest::newRow("tls, empty file") << "rfc2217+tls://h:1?ca=" << int(PortUrl::Rfc2217) << "h" << 1
                                     << "rfc2217+tls://h:1?ca=: ca= names no file" << "";
    QTest::newRow("authority on a plain port")
        << "rfc2217://h:1?ca=ca.pem" << int(PortUrl::Rfc2217) << "h" << 1
        << "rfc2217://h:1?ca=ca.pem: ca= is for a TLS port (rfc2217+tls:// or socket+tls://)" << "-";
    QTest::newRow("other option on a plain port") << "socket://h:1?timeout=3" << int(PortUrl::RawSocket) << "h" << 1
                                                  << "socket://h:1?timeout=3: the option timeout is not understood"
                                                  << "-";
}

void TransportTest::port_urls()
{
    QFETCH(QString, name);
    QFETCH(int, scheme);
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(QString, problem);
    QFETCH(QString, tls);
    const PortUrl u = parse_port_url(name);
    QCOMPARE(int(u.scheme), scheme);
    QCOMPARE(u.problem, problem);
    if (problem.isEmpty()) {
        QCOMPARE(u.host, host);
        QCOMPARE(u.port, port);
        const QString files = u.ca + QLatin1Char('|') + u.cert + QLatin1Char('|') + u.key;
        QCOMPARE(u.tls ? files : QStringLiteral("-"), tls);
    } else {
        QVERIFY(!u.problem.contains(QLatin1Char('\n')));
        // Every form a refusal suggests is itself taken, with a real port in it.
        const int at = u.problem.indexOf(QLatin1String("write it as "));
        if (at >= 0) {
            QString form = u.problem.mid(at + 11);
            form.replace(QLatin1String("[address]"), QLatin1String("[::1]"))
                .replace(QLatin1String("host:port"), QLatin1String("h:port"))
                .replace(QLatin1String(":port"), QLatin1String(":4001"));
            QCOMPARE(parse_port_url(form).problem, QString());
        }
    }
}

// "|" in a stream cuts it into the chunks the decoder is fed; commands
// are written verb:option or sb:option:value (hex).
void TransportTest::decoding_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QStringList>("commands");
    QTest::newRow("doubled IAC is one data byte")
        << QByteArray::fromHex("41ffff42") << QByteArray::fromHex("41ff42") << QStringList();
    QTest::newRow("doubled IAC cut between chunks")
        << QByteArray::fromHex("41ff") + "|" + QByteArray::fromHex("ff42") << QByteArray::fromHex("41ff42") << QStringList();
    QTest::newRow("option commands between data")
        << QByteArray::fromHex("41fffd2c42fffb03") << QByteArray("AB") << QStringList{"253:44", "251:3"};
    QTest::newRow("verb cut from its option")
        << QByteArray::fromHex("fffd") + "|" + QByteArray::fromHex("00") << QByteArray() << QStringList{"253:0"};
    QTest::newRow("rate confirmed, cut in the value")
        << QByteArray::fromHex("fffa2c650015") + "|" + QByteArray::fromHex("1800fff04b") << QByteArray("K")
        << QStringList{"250:44:65001518" "00"};
    QTest::newRow("IAC doubled inside a subnegotiation")
        << QByteArray::fromHex("fffa2c6500ffff0000fff0") << QByteArray() << QStringList{"250:44:6500ff0000"};
    QTest::newRow("NOP and go-ahead carry nothing") << QByteArray::fromHex("fff141fff942") << QByteArray("AB")
                                                    << QStringList();
}

void TransportTest::decoding()
{
    QFETCH(QByteArray, stream);
    QFETCH(QByteArray, data);
    QFETCH(QStringList, commands);
    Decoder decoder;
    QByteArray got;
    QVector<Command> seen;
    for (const QByteArray& chunk : stream.split('|'))
        decoder.feed(chunk.constData(), chunk.size(), &got, &seen);
    QCOMPARE(got, data);
    QStringList texts;
    for (const Command& c : seen) {
        QString t = QStringLiteral("%1:%2").arg(c.verb).arg(c.option);
        if (c.verb == kSb)
            t += QLatin1Char(':') + QString::fromLatin1(c.value.toHex());
        texts << t;
    }
    QCOMPARE(texts, commands);
}

// Requests the server makes, one after another, and what the client
// answers to each ("-" for nothing); the client has made its offer first.
void TransportTest::option_answers_data()
{
    QTest::addColumn<QStringList>("requests");
    QTest::addColumn<QStringList>("answers");
    QTest::addColumn<bool>("agreed");
    QTest::addColumn<bool>("refused");
    QTest::newRow("server agrees to every offer")
        << QStringList{"do 44", "do 0", "will 0", "do 3", "will 3"} << QStringList{"-", "-", "-", "-", "-"} << true << false;
    QTest::newRow("server asks for echo and terminal type")
        << QStringList{"will 1", "do 24"} << QStringList{"fffe01", "fffc18"} << false << false;
    QTest::newRow("server without the serial-port option")
        << QStringList{"dont 44", "do 0"} << QStringList{"-", "-"} << false << true;
    QTest::newRow("server drops binary it had agreed to")
        << QStringList{"will 0", "wont 0", "wont 0"} << QStringList{"-", "fffe00", "-"} << false << false;
    QTest::newRow("server asks first for an option we do")
        << QStringList{"do 44", "dont 44", "do 44"} << QStringList{"-", "fffc2c", "fffb2c"} << true << true;
}

void TransportTest::option_answers()
{
    QFETCH(QStringList, requests);
    QFETCH(QStringList, answers);
    QFETCH(bool, agreed);
    QFETCH(bool, refused);
    Options options;
    QCOMPARE(options.offer().toHex(), QByteArray("fffb2cfffb00fffb03fffd00fffd03"));
    const QMap<QString, uint8_t> verbs{{"will", kWill}, {"wont", kWont}, {"do", kDo}, {"dont", kDont}};
    for (int i = 0; i < requests.size(); ++i) {
        const QStringList r = requests[i].split(' ');
        const QByteArray answer = options.answer(verbs.value(r[0]), uint8_t(r[1].toInt()));
        QCOMPARE(answer.isEmpty() ? QByteArray("-") : answer.toHex(), answers[i].toLatin1());
    }
    QCOMPARE(options.com_port_agreed(), agreed);
    QCOMPARE(options.com_port_refused(), refused);
}

// What a broken or hostile server sends, fed in chunks of 100 bytes.
void TransportTest::bounds_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QString>("fault");
    const QByteArray sb = QByteArray::fromHex("fffa2c");
    const QByteArray se = QByteArray::fromHex("fff0");
    QTest::newRow("subnegotiation at the bound") << sb + QByteArray(kMaxSubnegotiation - 1, 'x') + se << "";
    QTest::newRow("subnegotiation never ended")
        << sb + QByteArray(kMaxSubnegotiation * 4, 'x')
        << "the server sent a telnet subnegotiation longer than 4096 bytes";
    QTest::newRow("doubled IACs count as one")
        << sb + QByteArray(kMaxSubnegotiation - 1, char(0xff)).replace("\xff", "\xff\xff") + se << "";
    QTest::newRow("options without end") << QByteArray::fromHex("fffb01").repeated(kMaxCommandRun + 1)
                                         << "the server sent more than 1024 telnet commands without data";
    QTest::newRow("NOPs without end") << QByteArray::fromHex("fff1").repeated(kMaxCommandRun + 1)
                                      << "the server sent more than 1024 telnet commands without data";
    QTest::newRow("options between data") << QByteArray::fromHex("fffb0141").repeated(kMaxCommandRun * 2) << "";
}

void TransportTest::bounds()
{
    QFETCH(QByteArray, stream);
    QFETCH(QString, fault);
    Decoder decoder;
    QByteArray data;
    QVector<Command> commands;
    bool fed = true;
    for (int at = 0; at < stream.size(); at += 100)
        fed = decoder.feed(stream.constData() + at, qMin(100, stream.size() - at), &data, &commands) && fed;
    QCOMPARE(decoder.fault(), fault);
    QCOMPARE(fed, fault.isEmpty());
    if (fault.isEmpty())
        QVERIFY(!commands.isEmpty());
}

void TransportTest::control_messages()
{
    // Parity 0 asks the server for its current parity instead of setting none.
    QCOMPARE(com_port_command(com::kSetParity, QByteArray(1, char(com::kParityNone))).toHex(),
             QByteArray("fffa2c0301fff0"));
    // 1382400 is 0x00151800: big-endian, and no IAC in it to double.
    QCOMPARE(set_baud_rate(1382400).toHex(), QByteArray("fffa2c0100151800fff0"));
    // A rate whose bytes hold 0xFF goes out with them doubled.
    QCOMPARE(set_baud_rate(0xFF00).toHex(), QByteArray("fffa2c010000ffff00fff0"));
    QCOMPARE(value_u32(QByteArray::fromHex("00151800")), 1382400u);
    QCOMPARE(com_port_command(com::kPurgeData, QByteArray(1, char(com::kPurgeBoth))).toHex(),
             QByteArray("fffa2c0c03fff0"));
    QCOMPARE(escape(QByteArray::fromHex("00ff01ffff")).toHex(), QByteArray("00ffff01ffffffff"));
}


// Where a server leaves the open hanging: the accept queue full (the
// connect), a server that takes the connection and says nothing (the option
// exchange), one that agrees to the options and never confirms the rate.
// Each ends on the stop, not on its own time-out of seconds.
void TransportTest::stop_ends_a_hanging_open_data()
{
    QTest::addColumn<QString>("hang");
    QTest::newRow("accept queue full") << "queue full";
    QTest::newRow("accepts, never answers") << "silent";
    QTest::newRow("never confirms the rate") << "no rate";
    QTest::newRow("accepts, never answers the TLS handshake") << "silent tls";
}

void TransportTest::stop_ends_a_hanging_open()
{
    QFETCH(QString, hang);
    HangingServer server(hang == "queue full");
    std::atomic<bool> done{false};
    std::thread agree;
    if (hang == "no rate") {
        agree = std::thread([&] {
            const int c = ::accept(server.fd, nullptr, nullptr);
            char offer[64];
            [[maybe_unused]] const ssize_t n = ::read(c, offer, sizeof offer);
            const QByteArray yes = QByteArray::fromHex("fffd2cfffd00fffb00fffd03fffb03");
            [[maybe_unused]] const ssize_t m = ::write(c, yes.constData(), size_t(yes.size()));
            while (!done.load())
                QThread::msleep(5);
            ::close(c);
        });
    }
    const QString name = QString(hang.endsWith("tls") ? "rfc2217+tls://127.0.0.1:%1" : "rfc2217://127.0.0.1:%1")
                             .arg(server.port);
    std::unique_ptr<Transport> link = make_transport(name);
    StopFlag stop{false};
    constexpr int kStopAfterMs = 300;
    QElapsedTimer clock;
    clock.start();
    std::thread stopper([&] {
        QThread::msleep(kStopAfterMs);
        stop.store(true);
    });
    const OpenResult opened = link->open(OpenRequest{115200, HolderLook::Processes, StopToken(&stop)});
    const qint64 took = clock.elapsed();
    stopper.join();
    done.store(true);
    if (agree.joinable())
        agree.join();
    QVERIFY(!opened.ok);
    QVERIFY(opened.stopped);
    QVERIFY(!link->is_open());
    // Its own time-outs are seconds; a stop is heard within a slice or two.
    QVERIFY2(took < kStopAfterMs + 500, qPrintable(QString::number(took)));
}

// The station's polls, several at once from threads of their own, each on a
// server that leaves it hanging: each ends on the one stop, Silent.
void TransportTest::presence_polls_end_on_stop()
{
    HangingServer full(true);
    HangingServer silent(false);
    const QStringList ports = {QString("rfc2217://127.0.0.1:%1").arg(full.port),
                               QString("rfc2217://127.0.0.1:%1").arg(silent.port),
                               QString("socket://127.0.0.1:%1").arg(silent.port)};
    std::atomic<bool> stop{false};
    QVector<PresenceAnswer> answers(ports.size());
    QVector<qint64> took(ports.size());
    std::vector<std::thread> pool;
    for (int i = 0; i < ports.size(); ++i) {
        pool.emplace_back([&, i] {
            QElapsedTimer clock;
            clock.start();
            PresenceAsk ask;
            ask.port = ports[i];
            ask.reply_wait_ms = 5000;
            ask.max_wait_ms = 5000;
            answers[i] = ask_presence(ask, stop);
            took[i] = clock.elapsed();
        });
    }
    constexpr int kStopAfterMs = 300;
    QThread::msleep(kStopAfterMs);
    stop.store(true);
    for (std::thread& t : pool)
        t.join();
    for (int i = 0; i < ports.size(); ++i) {
        QCOMPARE(answers[i].presence, PortPresence::Silent);
        QVERIFY2(took[i] < kStopAfterMs + 500, qPrintable(ports[i] + ": " + QString::number(took[i])));
    }
}

namespace {
// A port server on a thread of its own that answers the option offer as
// told ("agrees", "refuses" the serial-port option) and confirms every
// setting, the rate as `rate` when it is given instead of the one asked.
struct TelnetServer {
    HangingServer listening{false};
    std::atomic<bool> done{false};
    std::thread thread;
    TelnetServer(const QString& answer, uint32_t rate)
    {
        thread = std::thread([this, answer, rate] {
            const int c = ::accept(listening.fd, nullptr, nullptr);
            const QByteArray agree = QByteArray::fromHex("fffd00fffb00fffd03fffb03");
            const QByteArray to_offer =
                (answer == "refuses" ? QByteArray::fromHex("fffe2c") : QByteArray::fromHex("fffd2c")) + agree;
            QByteArray in;
            bool offered = false;
            while (!done.load()) {
                pollfd p{c, POLLIN, 0};
                char buf[512];
                if (::poll(&p, 1, 10) <= 0)
                    continue;
                const ssize_t n = ::read(c, buf, sizeof buf);
                if (n <= 0)
                    break;
                in.append(buf, int(n));
                QByteArray out;
                if (!offered)
                    out += to_offer;
                offered = true;
                for (int at; (at = in.indexOf(QByteArray::fromHex("fffa2c"))) >= 0;) {
                    const int end = in.indexOf(QByteArray::fromHex("fff0"), at);
                    if (end < 0)
                        break;
                    QByteArray value = in.mid(at + 4, end - at - 4);
                    if (in[at + 3] == char(com::kSetBaudRate) && rate != 0)
                        value = set_baud_rate(rate).mid(4, 4);
                    out += com_port_command(uint8_t(in[at + 3] + com::kServerOffset), value);
                    in.remove(0, end + 2);
                }
                [[maybe_unused]] const ssize_t m = ::write(c, out.constData(), size_t(out.size()));
            }
            ::close(c);
        });
    }
    ~TelnetServer()
    {
        done.store(true);
        thread.join();
    }
};
}  // namespace

// What the server says to the open is what the open reports: a rate put in
// force other than the one asked is no open, and a server without the
// serial-port option is named at once, not after the wait for an answer.
void TransportTest::server_answers_the_open_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<uint>("rate");  // the rate the server confirms; 0: the one asked
    QTest::addColumn<QString>("failure");
    QTest::newRow("agrees, confirms each setting") << "agrees" << 0u << "";
    QTest::newRow("agrees, confirms another rate") << "agrees" << 9600u
                                                   << ": the server set the rate 9600 instead of 115200";
    QTest::newRow("refuses the serial-port option")
        << "refuses" << 0u << ": the server does not control a serial port (no RFC 2217 there";
}

void TransportTest::server_answers_the_open()
{
    QFETCH(QString, answer);
    QFETCH(uint, rate);
    QFETCH(QString, failure);
    TelnetServer server(answer, rate);
    const QString name = QString("rfc2217://127.0.0.1:%1").arg(server.listening.port);
    std::unique_ptr<Transport> link = make_transport(name);
    const OpenResult opened = link->open(OpenRequest{115200, HolderLook::Processes, StopToken()});
    QCOMPARE(opened.ok, failure.isEmpty());
    QVERIFY2(failure.isEmpty() || opened.failure.startsWith(name + failure), qPrintable(opened.failure));
    link->close();
}

namespace {
QByteArray frame_of(char letter)
{
    return QByteArray(1, letter) + QByteArray(63, '\0');
}

// A link over a script whose replies come when the test's clock says.
struct TimedScript {
    QElapsedTimer clock;
    QList<QPair<qint64, QByteArray>> due;  // on `clock`, in order
    std::shared_ptr<qint64> waited_ms = std::make_shared<qint64>(0);
    TimedScript() { clock.start(); }
    TransportMaker maker(ScriptedTransport::Responder responder)
    {
        return [this, responder](const QString& name) -> std::unique_ptr<Transport> {
            auto t = std::make_unique<ScriptedTransport>(name, responder, std::make_shared<QList<QByteArray>>());
            t->set_line([this] {
                QByteArray out;
                while (!due.isEmpty() && due.first().first <= clock.elapsed())
                    out += due.takeFirst().second;
                return out;
            });
            t->count_waits(waited_ms);
            return t;
        };
    }
};
}  // namespace

// A reply that comes after its wait ran out. The window takes it as the
// next command's, as it always has; the front ends beyond it drop it and
// take the next command's own.
void TransportTest::late_reply_data()
{
    QTest::addColumn<bool>("drop_late_replies");
    QTest::newRow("the window: taken by the next command") << false;
    QTest::newRow("beyond the window: dropped") << true;
}

void TransportTest::late_reply()
{
    QFETCH(bool, drop_late_replies);
    TimedScript script;
    const auto responder = [&script](const QByteArray& frame) {
        // 'A' is answered well after its wait, 'B' late enough for A's
        // answer to come first.
        const qint64 after = frame[0] == 'A' ? 1000 : 900;
        script.due.append({script.clock.elapsed() + after, QByteArray(1, char(frame[0] + 1)) + QByteArray(62, 'r')});
        return QByteArray();
    };
    NullSessionSink nobody;
    Link link(&nobody, script.maker(responder));
    QVERIFY(link.open("scripted", 115200).ok);
    link.set_drop_late_replies(drop_late_replies);
    QCOMPARE(link.exchange(frame_of('A'), ReplyWait{20, 10, 'B', false, false}), Reply::TimedOut);
    QCOMPARE(link.exchange(frame_of('B'), ReplyWait{150, 10, 'C', false, false}),
             drop_late_replies ? Reply::Ok : Reply::WrongLetter);
    QCOMPARE(char(link.reply().bytes()[0]), drop_late_replies ? 'C' : 'B');
}

// A silent socket's presence poll holds its port for the reply wait asked,
// in milliseconds.
void TransportTest::presence_waits_in_ms()
{
    TimedScript script;
    const std::atomic<bool> never{false};
    const PresenceAnswer a =
        ask_presence(PresenceAsk{"scripted", 4, 100}, never, script.maker([](const QByteArray&) { return QByteArray(); }));
    QCOMPARE(a.presence, PortPresence::Silent);
    QVERIFY2(*script.waited_ms > 0 && *script.waited_ms <= 200, qPrintable(QString::number(*script.waited_ms)));
}

// The files of a TLS port, from its URL or else from the per-user
// settings ("-" for none): what is refused, in one line.
void TransportTest::tls_files_data()
{
    QTest::addColumn<QString>("query");
    QTest::addColumn<QString>("settings");  // ca|cert|key
    QTest::addColumn<QString>("problem");
    QTest::newRow("system authorities") << "" << "-|-|-" << "";
    QTest::newRow("every file") << "ca=@ca.crt&cert=@client.crt&key=@client.key" << "-|-|-" << "";
    QTest::newRow("authority missing") << "ca=/no/ca.crt" << "-|-|-"
                                       << "cannot read the authority /no/ca.crt: No such file or directory";
    QTest::newRow("authority not PEM") << "ca=@server.ext" << "-|-|-" << "the authority @server.ext holds no PEM "
                                                                      "certificate";
    QTest::newRow("certificate missing") << "cert=/no/c.crt&key=@client.key" << "-|-|-"
                                         << "cannot read the certificate /no/c.crt: No such file or directory";
    QTest::newRow("key not a key") << "cert=@client.crt&key=@client.crt" << "-|-|-"
                                   << "the key @client.crt is no PEM private key without a pass phrase";
    QTest::newRow("authority from the settings") << "" << "/no/ca.crt|-|-"
                                                 << "cannot read the authority /no/ca.crt: No such file or directory";
    QTest::newRow("the URL's authority first") << "ca=@ca.crt" << "/no/ca.crt|-|-" << "";
    QTest::newRow("client files from the settings") << "ca=@ca.crt" << "-|@client.crt|/no/k.key"
                                                    << "cannot read the key /no/k.key: No such file or directory";
    QTest::newRow("settings' key without its certificate") << "" << "-|-|@client.key"
                                                           << "the settings' tls/cert and tls/key go together";
}

void TransportTest::tls_files()
{
    QFETCH(QString, query);
    QFETCH(QString, settings);
    QFETCH(QString, problem);
    QString error;
    if (!QFile::exists(certs_.ca()))
        QVERIFY2(certs_.make(&error), qPrintable(error));
    const auto files = [this](QString text) { return text.replace(QLatin1Char('@'), certs_.path(QString()) + '/'); };
    QSettings user(QSettings::NativeFormat, QSettings::UserScope, "vq-uart-tool", "vqgui");
    user.remove("tls");
    const QStringList kept = settings.split('|');
    for (int i = 0; i < 3; ++i) {
        if (kept[i] != "-")
            user.setValue(QStringList{"tls/ca", "tls/cert", "tls/key"}[i], files(kept[i]));
    }
    user.sync();
    const PortUrl url = parse_port_url(files("rfc2217+tls://fixture3:4001?" + query));
    QCOMPARE(url.problem, QString());
    QSslConfiguration config;
    QCOMPARE(tls::configuration(url, &config), files(problem));
    if (problem.isEmpty() && query.contains("cert="))
        QVERIFY(!config.localCertificate().isNull() && !config.privateKey().isNull());
    if (problem.isEmpty() && query.contains("ca="))
        QCOMPARE(config.caCertificates().size(), 1);
}

// A server that takes the connection and never answers the handshake: the
// line names the port as it was written, a percent-encoded file name too.
void TransportTest::tls_silent_server()
{
    QString error;
    if (!QFile::exists(certs_.ca()))
        QVERIFY2(certs_.make(&error), qPrintable(error));
    QSettings(QSettings::NativeFormat, QSettings::UserScope, "vq-uart-tool", "vqgui").remove("tls");
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    const QString name = QStringLiteral("rfc2217+tls://127.0.0.1:%1?ca=").arg(server.serverPort()) +
                         QString::fromLatin1(QUrl::toPercentEncoding(certs_.ca()));
    QVERIFY(name.contains("%2F"));
    const PortUrl url = parse_port_url(name);
    QCOMPARE(url.ca, certs_.ca());
    QSslSocket socket;
    socket.connectToHost(url.host, quint16(url.port));
    QVERIFY(socket.waitForConnected(2000));
    QString failure;
    QVERIFY(!tls::start(socket, url, name, 1000, &failure));
    QCOMPARE(failure, name + ": no TLS handshake within 1 s");
}

QTEST_GUILESS_MAIN(TransportTest)
#include "test_transport.moc"
