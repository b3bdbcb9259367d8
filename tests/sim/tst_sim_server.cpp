#include <QSerialPort>
#include <QTemporaryDir>
#include <QtTest>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "hand_frames.h"
#include "sim_server.h"

using namespace hand;

namespace {

constexpr int kPatienceMs = 5000;  // generous: a loaded machine must not fail the test

// The host end of the line, as plain POSIX.
class Slave {
public:
    explicit Slave(const QString& path, speed_t speed = B115200)
        : fd_(::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY))
    {
        termios t {};
        if (fd_ >= 0 && ::tcgetattr(fd_, &t) == 0) {
            ::cfmakeraw(&t);
            ::cfsetspeed(&t, speed);
            ::tcsetattr(fd_, TCSANOW, &t);
        }
    }
    ~Slave()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    bool send(const QByteArray& b) { return ::write(fd_, b.constData(), size_t(b.size())) == b.size(); }

    // One read once bytes are there; empty on time-out. hung_up tells why nothing came.
    QByteArray read_once(int timeout_ms = kPatienceMs)
    {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeout_ms) <= 0)
            return {};
        hung_up = p.revents & POLLHUP;
        char buf[1024];
        const ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n <= 0) {
            hung_up = true;
            return {};
        }
        return QByteArray(buf, int(n));
    }

    QByteArray read_reply()
    {
        QByteArray r;
        while (r.size() < 63) {
            const QByteArray chunk = read_once();
            if (chunk.isEmpty())
                break;
            r += chunk;
        }
        return r;
    }

    bool hung_up = false;

private:
    int fd_;
};

}  // namespace

class TestSimServer : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void connect_reply_arrives();
    void split_reply_arrives_in_two_reads();
    void unplug_hangs_up();
    void unplug_in_the_middle_of_an_operation();
    void publish_file_lifecycle();
    void line_rate_follows_the_host();
    void paced_at_ten_bits_a_byte_data();
    void paced_at_ten_bits_a_byte();
    void takes_in_host_bytes_at_line_rate();
    void replug_serves_the_same_device();
    void frame_left_unfinished_is_dropped_when_quiet();

private:
    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<SimServer> server_;
};

void TestSimServer::init()
{
    dir_ = std::make_unique<QTemporaryDir>();
    server_ = std::make_unique<SimServer>(SimConfig{}, dir_->path());
    QVERIFY(server_->start());
}

void TestSimServer::cleanup()
{
    server_.reset();
    dir_.reset();
}

void TestSimServer::connect_reply_arrives()
{
    Slave host(server_->slave_path());
    QVERIFY(host.ok());
    const QByteArray request = connect_request('0', 0x19714410);
    QVERIFY(host.send(request));
    const QByteArray reply = host.read_reply();
    QCOMPARE(reply.size(), 63);
    QCOMPARE(reply.at(0), 'K');
    QCOMPARE(read_le32(reply, 1), signature(request, 0x19714410));
    QCOMPARE(server_->with_device([](SimDevice& d) { return d.frames_of('K').size(); }), 1);
}

void TestSimServer::split_reply_arrives_in_two_reads()
{
    server_->set_split(62, 100);
    Slave host(server_->slave_path());
    QVERIFY(host.send(flash_id(0)));
    const QByteArray first = host.read_once();
    const QByteArray second = host.read_once();
    QCOMPARE(first.size(), 62);
    QCOMPARE(second.size(), 1);
    QCOMPARE(first.at(0), '\x7D');
}

void TestSimServer::unplug_hangs_up()
{
    Slave host(server_->slave_path());
    const QString file = server_->published_file();
    QVERIFY(QFile::exists(file));
    server_->unplug();
    QVERIFY(host.read_once().isEmpty());
    QVERIFY(host.hung_up);
    QVERIFY(!server_->plugged());
    QVERIFY(!QFile::exists(file));
}

void TestSimServer::unplug_in_the_middle_of_an_operation()
{
    server_->unplug_after('l', 2);
    Slave host(server_->slave_path());
    const QByteArray a = pattern(2048, 1);
    QVERIFY(host.send(block_write(0, 0, a)));
    QCOMPARE(host.read_reply().left(2), bytes({0x7C, 0}));
    QVERIFY(host.send(block_write(2048, 1, pattern(2048, 2))));
    QVERIFY(host.read_once().isEmpty());
    QVERIFY(host.hung_up);

    server_->with_device([&](SimDevice& d) {
        QCOMPARE(d.frames_of('l').size(), 2);
        QCOMPARE(d.external_flash().read(0, 4096), a + QByteArray(2048, '\xFF'));
    });
    QVERIFY(published_ports(dir_->path()).isEmpty());
}

void TestSimServer::publish_file_lifecycle()
{
    const QString slave = server_->slave_path();
    QFile file(server_->published_file());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), (slave + '\n').toLocal8Bit());
    QVERIFY(QFileInfo(file).fileName().startsWith(QString::number(QCoreApplication::applicationPid()) + '-'));

    // Left behind by a process that is gone, and naming a pty that is gone.
    const auto leave = [this](const QString& name, const QString& path) {
        QFile f(dir_->filePath(name));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write((path + '\n').toLocal8Bit());
    };
    leave(QStringLiteral("999999999-0.port"), slave);
    leave(QString::number(QCoreApplication::applicationPid()) + "-99.port", "/dev/pts/999999");
    QCOMPARE(published_ports(dir_->path()), QStringList{slave});

    server_->stop();
    QVERIFY(!file.exists());
    QVERIFY(published_ports(dir_->path()).isEmpty());
}

// The host sets rates on the pty through QSerialPort, non-standard ones included;
// reopening also proves the port is not left locked by the first session.
void TestSimServer::line_rate_follows_the_host()
{
    for (const int rate : {1382400, 230400}) {
        QSerialPort port(server_->slave_path());
        port.setBaudRate(rate);
        QVERIFY2(port.open(QIODevice::ReadWrite), qPrintable(port.errorString()));
        QCOMPARE(server_->line_rate(), rate);
        port.write(flash_id(1));
        QByteArray reply;
        while (reply.size() < 63 && port.waitForReadyRead(kPatienceMs))
            reply += port.readAll();
        QCOMPARE(reply.left(1), bytes({0x7D}));
    }
}

// Benchmarks rely on the simulated line being no faster than a real one:
// start, eight data and stop bit for every byte, both ways.
void TestSimServer::paced_at_ten_bits_a_byte_data()
{
    QTest::addColumn<int>("split");  // host frame written in two pieces this far apart (ms), 0: one piece
    QTest::newRow("frame in one write") << 0;
    QTest::newRow("frame's last byte late") << 150;
}

void TestSimServer::paced_at_ten_bits_a_byte()
{
    QFETCH(int, split);
    constexpr int kRate = 9600;
    constexpr int kBitsPerByte = 10;
    constexpr qint64 kUsPerS = 1000000;
    const auto line_us = [](int bytes) { return qint64(bytes) * kBitsPerByte * kUsPerS / kRate; };

    Slave host(server_->slave_path(), B9600);
    QVERIFY(host.ok());
    const QByteArray request = flash_id(0);
    QElapsedTimer clock;
    clock.start();
    qint64 last_byte_sent_us = 0;
    if (split > 0) {
        QVERIFY(host.send(request.left(request.size() - 1)));
        QTest::qSleep(split);
        last_byte_sent_us = clock.nsecsElapsed() / 1000;
        QVERIFY(host.send(request.right(1)));
    } else {
        QVERIFY(host.send(request));
    }
    const QByteArray reply = host.read_reply();
    const qint64 replied_us = clock.nsecsElapsed() / 1000;
    QCOMPARE(reply.size(), 63);
    QCOMPARE(reply.at(0), '\x7D');
    // The whole frame has to cross the line before the device can answer,
    // and then the 63-byte reply has to cross it back.
    const qint64 earliest_us = std::max(line_us(request.size()), last_byte_sent_us + line_us(1)) + line_us(reply.size());
    QVERIFY2(replied_us >= earliest_us, qPrintable(QStringLiteral("%1 us < %2 us").arg(replied_us).arg(earliest_us)));
}

// The device sees a frame (executes it, or unplugs on it) only once its
// last byte could have crossed the line.
void TestSimServer::takes_in_host_bytes_at_line_rate()
{
    constexpr int kRate = 9600;
    constexpr int kBlockLen = 2048;
    Slave host(server_->slave_path(), B9600);
    QVERIFY(host.ok());
    const QByteArray frame = block_write(0, 0, pattern(kBlockLen));
    const qint64 line_ms = qint64(frame.size()) * 10 * 1000 / kRate;  // about 2.1 s
    const auto blocks_taken = [this] { return server_->with_device([](SimDevice& d) { return d.frames_of('l').size(); }); };
    QElapsedTimer clock;
    clock.start();
    QVERIFY(host.send(frame));
    QTest::qSleep(200);
    if (clock.elapsed() < line_ms)
        QCOMPARE(blocks_taken(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(blocks_taken(), 1, int(line_ms) + kPatienceMs);
    QVERIFY2(clock.elapsed() >= line_ms, qPrintable(QString::number(clock.elapsed())));
}

void TestSimServer::replug_serves_the_same_device()
{
    {
        Slave host(server_->slave_path());
        QVERIFY(host.send(block_write(0x100, 0, pattern(16))));
        QCOMPARE(host.read_reply().size(), 63);
    }
    server_->unplug();
    QVERIFY(server_->replug());
    QVERIFY(QFile::exists(server_->published_file()));
    Slave host(server_->slave_path());
    QVERIFY(host.send(flash_crc(0x100, 16)));
    QByteArray last;
    for (int i = 0; i < 4; ++i)  // three progress reports, then the result
        last = host.read_reply();
    QCOMPARE(last.left(2), bytes({0x7E, '1'}));
    QCOMPARE(read_le32(last, 2), boot_crc32(pattern(16)));
}

QTEST_GUILESS_MAIN(TestSimServer)

// A link that drops while a frame is on its way leaves its head in the boot
// loader; the next session's connect must not be taken as its tail.
void TestSimServer::frame_left_unfinished_is_dropped_when_quiet()
{
    Slave host(server_->slave_path());
    const QByteArray cut = block_write(0, 0, pattern(2048, 1)).left(100);
    QVERIFY(host.send(cut));
    QVERIFY(host.read_once(800).isEmpty());  // quiet for longer than the inter-byte time-out
    const QByteArray request = connect_request('0', 0x19714410);
    QVERIFY(host.send(request));
    QCOMPARE(host.read_reply().left(1), QByteArray("K"));
    server_->with_device([&](SimDevice& d) {
        QCOMPARE(d.frames().size(), 2);
        QCOMPARE(d.frames().first().kind, FrameKind::Unknown);
        QCOMPARE(d.frames().first().raw, cut);
    });
}

#include "tst_sim_server.moc"
