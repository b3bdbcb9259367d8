// Boards on other machines: vqprog through ser2net in front of the
// simulator's pty, over RFC 2217 and raw TCP, and through a relay that
// delays. Judged by the simulated memory and line, the exit codes, the lines
// printed and the records.

#include <QtTest>
#include <algorithm>
#include <csignal>

#include "pg_server.h"
#include "random_bytes.h"
#include "records.h"
#include "ser2net_rig.h"
#include "tls_rig.h"
#include "vqprog_bench.h"

namespace {

QString dump(const Outcome& o)
{
    return QString("exit %1\n").arg(o.exit_code) + (o.out + o.err).join('\n');
}

// vqprog run to its end while the highest rate the server set the
// simulator's line to is noted.
Outcome run_watching_rate(Bench& bench, SimServer* sim, const QStringList& args, int* top_rate)
{
    auto p = bench.start(args);
    *top_rate = 0;
    bool finished = false;
    QElapsedTimer clock;
    clock.start();
    if (p->waitForStarted()) {
        while (!(finished = p->waitForFinished(20)) && clock.elapsed() < kRunTimeoutMs)
            *top_rate = std::max(*top_rate, sim->line_rate());
    }
    if (!finished)
        p->kill();
    Outcome o = Bench::finish(*p);
    o.finished = finished;
    return o;
}

}  // namespace

class RemotePortsTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void rfc2217_update_at_the_new_rate();
    void raw_socket_at_one_rate_data();
    void raw_socket_at_one_rate();
    void server_stopped_mid_update();
    void board_left_inside_a_frame();
    void server_stopped_at_the_new_rate_data();
    void server_stopped_at_the_new_rate();
    void round_trip_of_20_ms();
    void stall_mid_update();
    void gang_of_remote_and_local();
    void unreachable_ports_data();
    void unreachable_ports();
    void signal_while_the_server_says_nothing();
    void tls_data();
    void tls();

private:
    std::unique_ptr<Bench> bench_;
    std::unique_ptr<Ser2net> server_;
    SimServer* sim_ = nullptr;
};

void RemotePortsTest::init()
{
    bench_ = std::make_unique<Bench>();
    sim_ = bench_->add();
    QVERIFY(sim_);
    server_ = std::make_unique<Ser2net>();
    QString error;
    QVERIFY2(server_->start(sim_->slave_path(), &error), qPrintable(error));
}

void RemotePortsTest::cleanup()
{
    server_.reset();
    bench_.reset();
}

// The boot loader moves to the New Rate and the server's port follows it
// over RFC 2217, as a local port is opened again there.
void RemotePortsTest::rfc2217_update_at_the_new_rate()
{
    const QByteArray image = noise(2 * int(kMiB), 31);
    bench_->write("flash.bin", image);
    int top_rate = 0;
    const Outcome o = run_watching_rate(*bench_, sim_,
                                        {"--port", server_->rfc2217_url(), "--baud", "115200", "--new-rate", "1382400",
                                         "--records", "line.db", "update-flash", "flash.bin"},
                                        &top_rate);
    QVERIFY2(o.finished && o.exit_code == 0, qPrintable(dump(o)));
    QVERIFY(o.out.contains("Reconnected with the new baud rate..."));
    QVERIFY(o.out.contains("Update flash is OK!!!!!!"));
    QVERIFY(!dump(o).contains("Time over!"));
    QCOMPARE(top_rate, 1382400);
    QVERIFY(bench_->flash_of(0, image.size()) == image);
    const QVector<BoardRecord> all = records_in(bench_->work.filePath("line.db"));
    QVERIFY(!all.isEmpty());
    QCOMPARE(all.last().port, server_->rfc2217_url());
    QCOMPARE(all.last().verdict, QString(verdicts::kOk));
}

void RemotePortsTest::raw_socket_at_one_rate_data()
{
    QTest::addColumn<QString>("new_rate");
    QTest::addColumn<int>("exit_code");
    QTest::addColumn<QString>("line");
    QTest::newRow("New Rate equal to the rate") << "115200" << 0 << "Update flash is OK!!!!!!";
    QTest::newRow("a rate change refused")
        << "921600" << 1
        << "carries bytes only and cannot change the rate: give the New Rate equal to the rate (115200)";
}

void RemotePortsTest::raw_socket_at_one_rate()
{
    QFETCH(QString, new_rate);
    QFETCH(int, exit_code);
    QFETCH(QString, line);
    const QByteArray image = noise(256 * 1024, 32);
    bench_->write("flash.bin", image);
    const Outcome o = bench_->run(
        {"--port", server_->socket_url(), "--baud", "115200", "--new-rate", new_rate, "update-flash", "flash.bin"});
    QVERIFY2(o.finished && o.exit_code == exit_code, qPrintable(dump(o)));
    QVERIFY2(dump(o).contains(line), qPrintable(dump(o)));
    if (exit_code == 0)
        QVERIFY(bench_->flash_of(0, image.size()) == image);
    else
        QCOMPARE(bench_->frames_received(), 0);  // refused before the boot loader could move
}

// The server goes away in the middle of an update: the device is gone,
// the record says so, and once the server is back the next run works.
void RemotePortsTest::server_stopped_mid_update()
{
    const QByteArray image = noise(2 * int(kMiB), 33);
    bench_->write("flash.bin", image);
    // At one rate: a board left at the New Rate would need a reset before the next run.
    const QStringList args{"--port",    server_->rfc2217_url(), "--new-rate",   "115200", "--records",
                           "line.db",   "update-flash",         "flash.bin"};
    auto p = bench_->start(args);
    QVERIFY(Bench::reached(sim_, 'l', 20));
    server_->stop();
    const Outcome o = Bench::finish(*p);
    QVERIFY2(o.finished && o.exit_code == 3, qPrintable(dump(o)));
    QVERIFY2(o.out.contains(server_->rfc2217_url() + ": the connection was closed"), qPrintable(dump(o)));
    QVERIFY(!o.out.contains("Update flash is OK!!!!!!"));
    const QVector<BoardRecord> first = records_in(bench_->work.filePath("line.db"));
    // The update's record, then the one that closes the board.
    QVERIFY(first.size() >= 2);
    const BoardRecord& update = first[first.size() - 2];
    QCOMPARE(update.action, QString("update-flash"));
    QCOMPARE(update.verdict, QString(verdicts::kDeviceGone));
    QCOMPARE(update.port, server_->rfc2217_url());
    QCOMPARE(first.last().verdict, QString(verdicts::kDeviceGone));

    // The board was left inside a block frame; with no reset it takes the
    // next run's connect once it has given that frame up on the quiet line
    // (an operator's next run comes seconds later).
    QTRY_VERIFY_WITH_TIMEOUT(!sim_->with_device([](SimDevice& d) { return d.mid_frame(); }), 5000);
    QString error;
    QVERIFY2(server_->start(sim_->slave_path(), &error), qPrintable(error));
    const Outcome again = bench_->run(args);
    QVERIFY2(again.finished && again.exit_code == 0, qPrintable(dump(again)));
    QVERIFY(bench_->flash_of(0, image.size()) == image);
}

// The last run was cut inside a block frame and the next one comes at
// once: its first connect is taken as the rest of that frame, and the
// second finds the chip.
void RemotePortsTest::board_left_inside_a_frame()
{
    QTcpSocket cut;
    cut.connectToHost(QHostAddress::LocalHost, quint16(server_->rfc2217_port));
    QVERIFY(cut.waitForConnected(5000));
    // The head of a 2048-byte block write and a tenth of its data.
    cut.write(QByteArray::fromHex("6c00000000000008") + QByteArray(200, '\x5a'));
    QVERIFY(cut.waitForBytesWritten(5000));
    // The boot loader gives the frame up half a second after its last byte: the run starts at once.
    QVERIFY(QTest::qWaitFor([&] { return sim_->with_device([](SimDevice& d) { return d.mid_frame(); }); }, 5000));
    cut.abort();
    const Outcome o = bench_->run({"--port", server_->rfc2217_url(), "--new-rate", "115200", "identify"});
    QVERIFY2(o.finished && o.exit_code == 0, qPrintable(dump(o)));
    QVERIFY2(dump(o).contains("vqprog: identify ok"), qPrintable(dump(o)));
}

// The server goes away while the port moves to the New Rate: the loss is
// reported as the loss, at once, not as a chip that stopped answering.
void RemotePortsTest::server_stopped_at_the_new_rate_data()
{
    QTest::addColumn<int>("after_ms");  // after the server set the New Rate
    QTest::newRow("at once: identifying there") << 0;
    QTest::newRow("50 ms later: the update's connect") << 50;
}

void RemotePortsTest::server_stopped_at_the_new_rate()
{
    QFETCH(int, after_ms);
    const QByteArray image = noise(256 * 1024, 38);
    bench_->write("flash.bin", image);
    sim_->set_pacing(true);  // the update outlasts the wait before the stop
    auto p = bench_->start({"--port", server_->rfc2217_url(), "--new-rate", "921600", "update-flash", "flash.bin"});
    QVERIFY(QTest::qWaitFor([&] { return sim_->line_rate() == 921600; }, kRunTimeoutMs));
    QThread::msleep(ulong(after_ms));
    server_->stop();
    const Outcome o = Bench::finish(*p);
    QVERIFY2(o.finished && o.exit_code == 3, qPrintable(dump(o)));
    QVERIFY2(o.out.contains(server_->rfc2217_url() + ": the connection was closed"), qPrintable(dump(o)));
    QVERIFY2(!dump(o).contains("Time over!") && !dump(o).contains("Please open the port!") &&
                 !dump(o).contains("Fail to Connect"),
             qPrintable(dump(o)));
}

// 10 ms each way between the tool and the server: slower, never a time-out.
void RemotePortsTest::round_trip_of_20_ms()
{
    RelayThread relay(server_->rfc2217_port, 10);
    const QByteArray image = noise(128 * 1024, 34);
    bench_->write("flash.bin", image);
    const Outcome o = bench_->run({"--port", relay.url("rfc2217"), "--new-rate", "921600", "update-flash", "flash.bin",
                                   "check-flash"});
    QVERIFY2(o.finished && o.exit_code == 0, qPrintable(dump(o)));
    QVERIFY(!dump(o).contains("Time over!"));
    QVERIFY(bench_->flash_of(0, image.size()) == image);
}

// The link stalls for 1.5 s in the middle of an update: the block in
// flight gets no reply within its wait, and that reply, when it comes,
// answers no later command. The board holds the image and ends OK, as its
// CRC says.
void RemotePortsTest::stall_mid_update()
{
    const QByteArray image = noise(256 * 1024, 37);
    bench_->write("flash.bin", image);
    sim_->set_pacing(true);  // replies spaced as a real line spaces them, not in one burst
    RelayThread relay(server_->rfc2217_port, 0, 60 * 63, 1500);  // from about the 50th block's reply
    const Outcome o =
        bench_->run({"--port", relay.url("rfc2217"), "--new-rate", "921600", "update-flash", "flash.bin"});
    QVERIFY2(o.finished && o.exit_code == 0, qPrintable(dump(o)));
    QVERIFY2(dump(o).contains("Time over!"), qPrintable(dump(o)));  // the stall outlasted a block's wait
    QVERIFY(o.out.contains("Update flash is OK!!!!!!"));
    QVERIFY(bench_->flash_of(0, image.size()) == image);
}

// A gang of a board behind the server and a local one: each child on its
// own port, both programmed.
void RemotePortsTest::gang_of_remote_and_local()
{
    SimServer* local = bench_->add();
    QVERIFY(local);
    const QByteArray image = noise(256 * 1024, 35);
    bench_->write("flash.bin", image);
    const Outcome o = bench_->run({"--port", server_->rfc2217_url(), "--port", local->slave_path(), "--new-rate",
                                   "921600", "--records", "line.db", "update-flash", "flash.bin"});
    QVERIFY2(o.finished && o.exit_code == 0, qPrintable(dump(o)));
    QVERIFY(bench_->flash_of(0, image.size()) == image);
    QVERIFY(bench_->flash_of(1, image.size()) == image);
    QStringList ports;
    for (const BoardRecord& r : records_in(bench_->work.filePath("line.db")))
        ports << r.port;
    QVERIFY2(ports.contains(server_->rfc2217_url()) && ports.contains(local->slave_path()), qPrintable(ports.join(' ')));
}

// Each ends in one line saying what happened and never in an OK; a port
// that never answered is a failure (exit 1), not a device gone.
void RemotePortsTest::unreachable_ports_data()
{
    QTest::addColumn<QString>("port");  // "silent" for a server that takes connections and says nothing
    QTest::addColumn<QString>("scheme");
    QTest::addColumn<QString>("line");
    const QString refused = QString("127.0.0.1:%1").arg(free_tcp_port());
    QTest::newRow("connection refused")
        << refused << "rfc2217" << ": connection refused; is the port server running there?";
    QTest::newRow("name that does not resolve")
        << "no-such-fixture.invalid:4001" << "rfc2217" << ": the host no-such-fixture.invalid is not known";
    QTest::newRow("silent server, RFC 2217")
        << "silent" << "rfc2217" << ": the server did not answer the serial-port options within 3 s";
    QTest::newRow("silent server, raw TCP") << "silent" << "socket" << "no chip identified on socket://";
    QTest::newRow("raw TCP at the default New Rate") << refused << "socket" << "cannot change the rate";
    // Printed as the port's name, without the white space it was given with.
    QTest::newRow("name with white space around")
        << refused + "\n" << " rfc2217" << "\nrfc2217://" + refused + ": connection refused";
    QTest::newRow("endless subnegotiation")
        << "flood" << "rfc2217"
        << ": the server sent a telnet subnegotiation longer than 4096 bytes; connection closed";
}

void RemotePortsTest::unreachable_ports()
{
    QFETCH(QString, port);
    QFETCH(QString, scheme);
    QFETCH(QString, line);
    const SilentServer silent;
    const FloodServer flood;
    if (port == "silent")
        port = QString("127.0.0.1:%1").arg(QUrl(silent.url()).port());
    if (port == "flood")
        port = QString("127.0.0.1:%1").arg(flood.port);
    // Equal rates, or socket:// refuses before it connects.
    const QStringList rate = QTest::currentDataTag() == QLatin1String("raw TCP at the default New Rate")
                                 ? QStringList()
                                 : QStringList{"--new-rate", "115200"};
    QElapsedTimer clock;
    clock.start();
    const Outcome o = bench_->run(QStringList{"--port", scheme + "://" + port} + rate + QStringList{"identify"});
    QVERIFY2(o.finished && o.exit_code == 1, qPrintable(dump(o)));
    QVERIFY2(dump(o).contains(line), qPrintable(dump(o)));
    QVERIFY(!dump(o).contains("identify ok"));
    // The waits the tool sets, not a hang: 5 s to connect, 3 s for the
    // options, a chip's identification over every catalogued model.
    QVERIFY2(clock.elapsed() < 60000, qPrintable(QString::number(clock.elapsed())));
}

// A signal while a server that took the connection says nothing: the wait
// for its answer to the serial-port options ends on the signal, long before
// its own 3 s.
void RemotePortsTest::signal_while_the_server_says_nothing()
{
    const SilentServer silent;
    const QString port = QString("rfc2217://127.0.0.1:%1").arg(QUrl(silent.url()).port());
    const auto run = bench_->start({"--port", port, "identify"});
    QByteArray out;
    while (!out.contains("BL_SET") && run->waitForReadyRead(kRunTimeoutMs))
        out += run->readAllStandardOutput();
    QVERIFY2(out.contains("BL_SET"), out.constData());
    ::kill(pid_t(run->processId()), SIGTERM);
    QVERIFY(run->waitForFinished(1500));
    QCOMPARE(run->exitCode(), 143);
    QVERIFY(run->readAllStandardError().contains("vqprog: interrupted by SIGTERM; port closed"));
}

// ser2net's TLS accepter with certificates of a test authority: the
// server's certificate must chain to the authority given, and a server that
// asks for the client's certificate gets it.
void RemotePortsTest::tls_data()
{
    QTest::addColumn<bool>("client_auth");  // the port that asks for the client's certificate
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("query");     // ca=, cert=, key= with the test's file names
    QTest::addColumn<QString>("line");      // of a refusal; empty for an OK
    QTest::newRow("good authority") << false << "127.0.0.1" << "ca=ca.crt" << "";
    QTest::newRow("wrong authority") << false << "127.0.0.1" << "ca=other.crt"
                                     << ": the server's certificate does not verify: ";
    QTest::newRow("host the certificate does not name")
        << false << "localhost" << "ca=ca.crt"
        << ": the server's certificate does not verify: The host name did not match";
    QTest::newRow("client certificate") << true << "127.0.0.1" << "ca=ca.crt&cert=client.crt&key=client.key" << "";
    // Under TLS 1.3 the server judges the client's certificate after the
    // handshake has ended for the client: it closes the connection.
    QTest::newRow("client certificate missing") << true << "127.0.0.1" << "ca=ca.crt"
                                                << ": the connection was closed";
}

void RemotePortsTest::tls()
{
    QFETCH(bool, client_auth);
    QFETCH(QString, host);
    QFETCH(QString, query);
    QFETCH(QString, line);
    TestCertificates certs;
    QString error;
    QVERIFY2(certs.make(&error), qPrintable(error));
    server_->stop();
    server_->serve_tls(certs.path("server.crt"), certs.path("server.key"), certs.auth_dir());
    QVERIFY2(server_->start(sim_->slave_path(), &error), qPrintable(error));
    const QByteArray image = noise(128 * 1024, 36);
    bench_->write("flash.bin", image);
    for (const char* file : {"ca.crt", "other.crt", "client.crt", "client.key"})
        query.replace(QLatin1String(file), certs.path(file));
    const QString url = server_->tls_url(client_auth ? server_->tls_client_auth_port : server_->tls_port)
                            .replace("127.0.0.1", host) +
                        "?" + query;
    const Outcome o = bench_->run({"--port", url, "--new-rate", "921600", "update-flash", "flash.bin"});
    if (line.isEmpty()) {
        QVERIFY2(o.finished && o.exit_code == 0, qPrintable(dump(o)));
        QVERIFY(o.out.contains("Update flash is OK!!!!!!"));
        QVERIFY(bench_->flash_of(0, image.size()) == image);
        return;
    }
    QVERIFY2(o.finished && o.exit_code == 1, qPrintable(dump(o)));
    QVERIFY2(dump(o).contains(url + line), qPrintable(dump(o)));
    // The success line, not "OK" anywhere: the certificates' temporary folder may hold it.
    QVERIFY(!o.out.contains("Update flash is OK!!!!!!"));
    QCOMPARE(bench_->frames_received(), 0);
}

QTEST_GUILESS_MAIN(RemotePortsTest)
#include "test_remote_ports.moc"
