// bench_station: the line station's figures.
//   1. From a board's port appearing (a simulator publishing it) to the first
//      frame the board receives, over eight boards plugged in one after
//      another (station and simulators in this process, the boards' vqprog
//      children apart).
//   2. The station's own CPU while 16 boards run: vqstation and 16 vqsim as
//      processes of their own, the station's share read from /proc (its
//      children's CPU is theirs, not the station's).
//   3. The station polling 16 presence=answer sockets with no board (16
//      vqsim processes silent to every connect): the station's CPU (it runs
//      in this process, the simulators apart) and the share of each
//      socket's port time the polling holds the port open.
//   4. The window's longest stand-still on Setup OK (the setup opened again)
//      and on close, with 20 presence=answer sockets on remote ports that
//      never answer a connect (listeners that never accept).
//   --only presence|stall: that part alone.
//   --screenshot FILE: a 16-socket station at 1280x800 with PASS, FAIL,
//   programming and waiting tiles, written as a PNG.

#include <QApplication>
#include <QProcess>
#include <QSettings>
#include <QtTest>
#include <algorithm>
#include <csignal>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "port_publish.h"
#include "presence_polls.h"
#include "records.h"
#include "socket_run.h"
#include "station_window.h"
#include "hanging_server.h"
#include "vqprog_bench.h"

using namespace flash_fixtures;

namespace {

const char kSetup[] =
    "[station]\nname=bench\n[actions]\n1=update-flash image.bin\n2=check-flash\n"
    "[link]\nnew_rate=115200\n[sockets]\nusb_adapters=false\nsimulated=true\n";

void pump_until(const std::function<bool()>& done, int limit_ms)
{
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < limit_ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        ::usleep(200);
    }
}

void first_frame_figures()
{
    Bench b;
    b.write("image.bin", pattern(20000, 5));
    b.write("station.ini", kSetup);
    StationWindow w(StationEnvironment{VQPROG_PATH, b.publish.path()});
    w.show();
    w.open_setup(b.work.filePath("station.ini"));
    QVector<double> ms;
    for (int i = 0; i < 8; ++i) {
        b.sims.push_back(std::make_unique<SimServer>(chip(kVq4410), b.publish.path()));
        SimServer* sim = b.sims.back().get();
        sim->set_pacing(false);
        QElapsedTimer t;
        t.start();
        sim->start();  // publishes its port
        pump_until([&] { return sim->with_device([](SimDevice& d) { return !d.received().isEmpty(); }); }, 10000);
        ms << t.nsecsElapsed() / 1e6;
        pump_until([&] { return w.sockets().size() > i && !w.sockets()[i]->running(); }, 60000);
    }
    std::sort(ms.begin(), ms.end());
    std::printf("port appearing -> first frame, 8 boards: min %.0f ms, median %.0f ms, max %.0f ms\n", ms.first(),
                (ms[3] + ms[4]) / 2, ms.last());
}

double cpu_seconds(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = f.readAll().split(')').last().trimmed().split(' ');
    // After the name: state is field 3, utime 14 and stime 15 (counted from 1).
    return (fields.value(11).toDouble() + fields.value(12).toDouble()) / double(::sysconf(_SC_CLK_TCK));
}

void cpu_figures()
{
    Bench b;
    b.write("image.bin", pattern(256 * 1024, 5));  // about 23 s a board at 115200 baud
    b.write("station.ini", kSetup);
    QTemporaryDir runtime;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_RUNTIME_DIR", runtime.path());
    env.insert("QT_QPA_PLATFORM", "offscreen");
    QProcess station;
    station.setProcessEnvironment(env);
    station.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    station.start(VQSTATION_PATH, {b.work.filePath("station.ini")});
    station.waitForStarted();
    QTest::qWait(1500);
    std::vector<std::unique_ptr<QProcess>> sims;
    for (int i = 0; i < 16; ++i) {
        sims.push_back(std::make_unique<QProcess>());
        sims.back()->setProcessEnvironment(env);
        sims.back()->start(VQSIM_PATH, {"--flash-id", "0x00EF4018"});
        sims.back()->waitForStarted();
    }
    QTest::qWait(4000);  // every board connected and writing
    const double before = cpu_seconds(station.processId());
    QElapsedTimer t;
    t.start();
    QTest::qWait(10000);
    const double used = cpu_seconds(station.processId()) - before;
    std::printf("station's own CPU with 16 boards programming: %.1f %% of one core (%.2f s in %.1f s)\n",
                100.0 * used / (t.elapsed() / 1000.0), used, t.elapsed() / 1000.0);
    QElapsedTimer closing;
    closing.start();
    ::kill(pid_t(station.processId()), SIGTERM);
    station.waitForFinished(30000);
    std::printf("closing with 16 boards running: %.1f s until every board had stopped\n", closing.elapsed() / 1000.0);
    for (auto& s : sims) {
        s->terminate();
        s->waitForFinished(5000);
    }
}

void presence_figures()
{
    Bench b;
    b.write("image.bin", pattern(20000, 5));
    b.write("station.ini", QByteArray(kSetup) + "presence=answer\n");
    std::vector<std::unique_ptr<QProcess>> sims;
    for (int i = 0; i < 16; ++i) {
        sims.push_back(std::make_unique<QProcess>());
        sims.back()->start(VQSIM_PATH, {"--publish-dir", b.publish.path(), "--silent", "K:always"});
        sims.back()->waitForStarted();
    }
    pump_until([&] { return published_ports(b.publish.path()).size() == 16; }, 10000);
    StationWindow w(StationEnvironment{VQPROG_PATH, b.publish.path()});
    w.show();
    w.open_setup(b.work.filePath("station.ini"));
    QTest::qWait(3000);  // every socket asked a few times
    const double cpu_before = cpu_seconds(::getpid());
    const qint64 held_before = w.presence()->port_time_ms();
    const int asked_before = w.presence()->asked();
    QElapsedTimer t;
    t.start();
    QTest::qWait(10000);
    const double seconds = t.elapsed() / 1000.0;
    const double cpu = cpu_seconds(::getpid()) - cpu_before;
    const double held = (w.presence()->port_time_ms() - held_before) / 1000.0;
    const int asked = w.presence()->asked() - asked_before;
    std::printf("station polling 16 silent presence=answer sockets (%d sockets): %.1f %% of one core "
                "(%.2f s in %.1f s)\n",
                int(w.sockets().size()), 100.0 * cpu / seconds, cpu, seconds);
    std::printf("  %.2f polls a second per socket, the port held %.0f ms a poll: %.1f %% of each socket's "
                "port time\n",
                asked / 16.0 / seconds, asked > 0 ? 1000.0 * held / asked : 0.0, 100.0 * held / (16 * seconds));
    for (auto& sim : sims) {
        sim->terminate();
        sim->waitForFinished(5000);
    }
}

// Remote sockets whose connect hangs, as ones on a host that does not answer.
struct Blackholes {
    explicit Blackholes(int n)
    {
        for (int i = 0; i < n; ++i) {
            servers.push_back(std::make_unique<HangingServer>(true));
            urls << QString("rfc2217://127.0.0.1:%1").arg(servers.back()->port);
        }
    }
    std::vector<std::unique_ptr<HangingServer>> servers;
    QStringList urls;
};

// The longest gap between beats of a 10 ms timer while `work` runs and for
// `after_ms` after it.
qint64 longest_stand_still(const std::function<void()>& work, int after_ms)
{
    QElapsedTimer clock;
    clock.start();
    qint64 last = 0, longest = 0;
    QTimer beat;
    QObject::connect(&beat, &QTimer::timeout, [&] {
        longest = qMax(longest, clock.elapsed() - last);
        last = clock.elapsed();
    });
    beat.start(10);
    work();
    longest = qMax(longest, clock.elapsed() - last);
    last = clock.elapsed();
    QTest::qWait(after_ms);
    return longest;
}

void stall_figures()
{
    Bench b;
    Blackholes holes(20);
    b.write("image.bin", pattern(20000, 5));
    b.write("station.ini", "[station]\nname=bench\n[actions]\n1=update-flash image.bin\n[sockets]\n"
                           "usb_adapters=false\nsimulated=false\npresence=answer\nports=" +
                               holes.urls.join(", ").toUtf8() + "\n");
    auto w = std::make_unique<StationWindow>(StationEnvironment{VQPROG_PATH, b.publish.path()});
    w->show();
    w->open_setup(b.work.filePath("station.ini"));
    for (int i = 0; i < 3; ++i) {
        QTest::qWait(2500);  // every socket's poll under way
        const qint64 ms = longest_stand_still([&] { w->open_setup(b.work.filePath("station.ini")); }, 1500);
        std::printf("Setup OK with 20 unreachable presence=answer sockets: the window stood still %lld ms\n",
                    static_cast<long long>(ms));
    }
    QTest::qWait(2500);
    QElapsedTimer t;
    t.start();
    w->close();
    w.reset();
    std::printf("closing it: %lld ms until the window was gone\n", static_cast<long long>(t.elapsed()));
}

// An earlier shift of this station, so the chart has something to show.
void seed_history(const QString& target)
{
    QString error;
    const auto db = RecordsDb::open(target, RecordsDb::Access::Write, &error);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (int minute = 470; minute > 20; minute -= 7) {
        BoardRecord r;
        r.station = "bench", r.port = "/dev/ttyUSB0", r.action = "identify";
        r.time_utc = now.addSecs(-60 * minute);
        r.verdict = minute % 11 == 0 ? "failed" : "ok";
        if (db)
            db->add(r, &error);
        r.action = kBoardAction;  // each board closed, as vqprog closes its own
        if (db)
            db->add(r, &error);
    }
}

bool screenshot(const QString& file)
{
    Bench b;
    b.write("image.bin", pattern(512 * 1024, 5));
    b.write("station.ini", QByteArray(kSetup) + "[production]\nserial_counter=boards\nserial_start=1000\n");
    QSettings(b.work.filePath("station.ini"), QSettings::IniFormat).setValue("station/records", "line.db");
    seed_history(b.work.filePath("line.db"));
    StationWindow w(StationEnvironment{VQPROG_PATH, b.publish.path()});
    w.resize(1280, 800);
    w.show();
    w.open_setup(b.work.filePath("station.ini"));
    for (int i = 0; i < 16; ++i) {
        b.sims.push_back(std::make_unique<SimServer>(chip(kVq4410), b.publish.path()));
        SimServer* sim = b.sims.back().get();
        const bool running = i >= 6 && i <= 10;
        sim->set_pacing(running);  // paced boards are still programming when the picture is taken
        if (i == 11)
            sim->with_device([](SimDevice& d) { d.set_silent('K', SimDevice::kAlways); });
        if (i == 12)
            sim->unplug_after('l', 40);
        if (i == 13)
            sim->with_device([](SimDevice& d) { d.set_wrong_crc('n'); });
        sim->start();
        pump_until([&] { return w.sockets().size() > i; }, 5000);
    }
    // An unplugged simulator's tile goes once it shows nothing more: gone counts as waiting.
    const auto state = [&](int i) { return i < w.sockets().size() ? w.sockets()[i]->state() : TileState::Waiting; };
    pump_until([&] {
        for (int i : {0, 1, 2, 3, 4, 5, 14, 15})
            if (state(i) != TileState::Pass)
                return false;
        return true;
    }, 120000);
    b.sims[14]->unplug();
    b.sims[15]->unplug();
    pump_until([&] {
        return state(11) == TileState::Fail && state(12) == TileState::Fail && state(13) == TileState::Fail &&
               state(14) == TileState::Waiting && state(15) == TileState::Waiting &&
               w.sockets().size() > 6 && w.sockets()[6]->percent() >= 5;
    }, 120000);
    w.refresh_records();
    QTest::qWait(300);
    return w.grab().save(file);
}

}  // namespace

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QStandardPaths::setTestModeEnabled(true);
    const QStringList args = app.arguments();
    const int shot = args.indexOf("--screenshot");
    if (shot > 0 && shot + 1 < args.size()) {
        const bool saved = screenshot(args[shot + 1]);
        std::printf("%s %s\n", saved ? "wrote" : "could not write", qPrintable(args[shot + 1]));
        return saved ? 0 : 1;
    }
    const int only = args.indexOf("--only");
    const QString part = only > 0 ? args.value(only + 1) : QString();
    if (part.isEmpty()) {
        first_frame_figures();
        cpu_figures();
    }
    if (part.isEmpty() || part == "presence")
        presence_figures();
    if (part.isEmpty() || part == "stall")
        stall_figures();
    // Polls told to stop may still sit in a connect to the silent ports.
    if (StationController::work_left_running())
        RecordsDb::quick_exit(0);
    return 0;
}
