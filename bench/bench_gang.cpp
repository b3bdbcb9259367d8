// Gang programming: 1, 2 and 4 simulated boards each take a 2 MiB image
// into their external flash at 1382400 baud, through one vqprog that runs a
// child per board. Prints the aggregate throughput, the speed-up over one
// board and the CPU each board's vqprog used. Then a gang of four with and
// without a production record (an SQLite file, a serial counter and a stamp),
// run in turns, to show what recording costs a board. Figures only: never
// fails on time.
//
//   bench_gang                     all of the above, then "board"
//   bench_gang gang KIB N...       the gang table only: N boards of KIB KiB each
//   bench_gang board               one board's vqprog alone: CPU seconds and
//                                  peak RSS of a 2 MiB update, and the time
//                                  from its start to the chip identified
//
// VQ_BENCH_VQPROG names another vqprog to measure (an older build, say).

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QVector>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <sys/resource.h>
#include <vector>

#include "flash_fixtures.h"

using namespace flash_fixtures;

namespace {

constexpr int kImageBytes = 2 * 1024 * 1024;
constexpr int kIdentifyRuns = 5;  // the median is reported
constexpr int kRunTimeoutMs = 10 * 60 * 1000;
const int kBoardCounts[] = {1, 2, 4};
constexpr int kRecordsBoards = 4;
constexpr int kRecordsRuns = 3;  // each way, in turns: the median is reported
constexpr int kStampAt = 0x1000;
constexpr int kStampDigits = 10;

QString vqprog_path()
{
    const QString other = qEnvironmentVariable("VQ_BENCH_VQPROG");
    return other.isEmpty() ? QStringLiteral(VQPROG_PATH) : other;
}

double children_cpu_seconds()
{
    rusage u{};
    ::getrusage(RUSAGE_CHILDREN, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Figures {
    bool ok = false;
    double seconds = 0;
    double cpu_seconds = 0;
};

// records: each board also takes a number from a counter in an SQLite file,
// has it stamped into its image and is recorded there.
Figures run_gang(int boards, const QByteArray& image, bool records = false)
{
    Figures f;
    QTemporaryDir work;
    QTemporaryDir publish;
    QFile ini(work.filePath("Flash.ini"));
    QFile img(work.filePath("image.bin"));
    if (!ini.open(QIODevice::WriteOnly) || ini.write(kCatalogue) < 0 || !img.open(QIODevice::WriteOnly) ||
        img.write(image) != image.size())
        return f;
    ini.close();
    img.close();

    std::vector<std::unique_ptr<SimServer>> sims;
    QStringList args{"--quiet", "--new-rate", "1382400"};
    for (int i = 0; i < boards; ++i) {
        sims.push_back(std::make_unique<SimServer>(chip(kVq4410), publish.path()));
        if (!sims.back()->start())
            return f;
        args << "--port" << sims.back()->slave_path();
    }
    if (records)
        args << "--records" << work.filePath("line.db") << "--serial-counter" << "bench" << "--serial-start" << "1"
             << "--stamp" << QString("flash@%1:dec:%2").arg(kStampAt).arg(kStampDigits);
    args << "update-flash" << img.fileName();

    QProcess p;
    p.setWorkingDirectory(work.path());
    p.setProcessChannelMode(QProcess::ForwardedChannels);
    const double cpu_before = children_cpu_seconds();
    QElapsedTimer clock;
    clock.start();
    p.start(vqprog_path(), args);
    const bool finished = p.waitForFinished(kRunTimeoutMs);
    f.seconds = clock.elapsed() / 1000.0;
    f.cpu_seconds = children_cpu_seconds() - cpu_before;
    f.ok = finished && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    for (auto& sim : sims) {
        QByteArray held = sim->with_device([&](SimDevice& d) { return d.external_flash().read(0, image.size()); });
        if (records)  // its own number in its own bytes; the rest as the image
            held.replace(kStampAt, kStampDigits, image.mid(kStampAt, kStampDigits));
        f.ok = f.ok && held == image;
        sim->stop();
    }
    return f;
}

void print_gang_table(int image_bytes, const QVector<int>& board_counts)
{
    const QByteArray image = pattern(image_bytes, 9);
    std::printf("gang update-flash, %d KiB per board at 1382400 baud\n", image_bytes / 1024);
    std::printf("%6s %9s %14s %9s %15s %6s\n", "boards", "seconds", "aggregate kB/s", "speed-up", "CPU per board", "ok");
    double single = 0;
    for (int boards : board_counts) {
        const Figures f = run_gang(boards, image);
        const double throughput = boards * double(image_bytes) / f.seconds;
        if (boards == 1)
            single = throughput;
        std::printf("%6d %9.1f %14.1f %8.2fx %14.1f%% %6s\n", boards, f.seconds, throughput / 1000.0,
                    single > 0 ? throughput / single : 0.0, 100.0 * f.cpu_seconds / boards / f.seconds,
                    f.ok ? "yes" : "NO");
        std::fflush(stdout);
    }
}

// One board, no gang parent: what the programmer itself costs.
void print_board_figures()
{
    QTemporaryDir work;
    QTemporaryDir publish;
    QFile ini(work.filePath("Flash.ini"));
    QFile img(work.filePath("image.bin"));
    const QByteArray image = pattern(kImageBytes, 9);
    if (!ini.open(QIODevice::WriteOnly) || ini.write(kCatalogue) < 0 || !img.open(QIODevice::WriteOnly) ||
        img.write(image) != image.size())
        return;
    ini.close();
    img.close();
    SimServer sim(chip(kVq4410), publish.path());
    if (!sim.start())
        return;

    // From the start of the process to its "chip ... on PORT" line.
    std::vector<double> identify;
    for (int i = 0; i < kIdentifyRuns; ++i) {
        QProcess p;
        p.setWorkingDirectory(work.path());
        QElapsedTimer clock;
        clock.start();
        p.start(vqprog_path(), {"--port", sim.slave_path(), "identify"});
        QByteArray out;
        while (!out.contains("vqprog: chip ") && p.waitForReadyRead(kRunTimeoutMs))
            out += p.readAllStandardOutput();
        identify.push_back(clock.nsecsElapsed() / 1e6);
        p.waitForFinished(kRunTimeoutMs);
    }
    std::sort(identify.begin(), identify.end());

    // Under time(1): the CPU and the peak RSS of vqprog alone.
    const QString times = work.filePath("times");
    QProcess p;
    p.setWorkingDirectory(work.path());
    QElapsedTimer clock;
    clock.start();
    p.start("/usr/bin/time", {"-f", "%U %S %M", "-o", times, vqprog_path(), "--quiet", "--new-rate", "1382400",
                              "--port", sim.slave_path(), "update-flash", img.fileName()});
    const bool finished = p.waitForFinished(kRunTimeoutMs);
    const double seconds = clock.elapsed() / 1000.0;
    QFile t(times);
    const QStringList f = t.open(QIODevice::ReadOnly) ? QString::fromLatin1(t.readAll()).simplified().split(' ')
                                                      : QStringList();
    const bool ok = finished && p.exitCode() == 0 &&
                    sim.with_device([&](SimDevice& d) { return d.external_flash().read(0, image.size()); }) == image;
    const double cpu = f.size() == 3 ? f[0].toDouble() + f[1].toDouble() : -1;
    std::printf("one board: %d KiB update-flash at 1382400 baud in %.1f s: vqprog %.2f CPU-s (%.1f%% of a core), "
                "peak RSS %.1f MiB, ok: %s\n",
                kImageBytes / 1024, seconds, cpu, 100.0 * cpu / seconds, f.value(2).toDouble() / 1024,
                ok ? "yes" : "NO");
    std::printf("start to chip identified: %.0f ms (median of %d)\n", identify[identify.size() / 2], kIdentifyRuns);
    std::printf("target: at most 0.25 CPU-s per 2 MiB update\n");
    sim.stop();
}

}  // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.value(1) == QLatin1String("gang") && args.size() > 3) {
        QVector<int> counts;
        for (const QString& n : args.mid(3))
            counts << n.toInt();
        print_gang_table(args[2].toInt() * 1024, counts);
        return 0;
    }
    if (args.value(1) == QLatin1String("board")) {
        print_board_figures();
        return 0;
    }
    print_gang_table(kImageBytes, QVector<int>(std::begin(kBoardCounts), std::end(kBoardCounts)));
    std::printf("target: 4 boards at least 3.5x one board; CPU per board under 25%% of a core\n");
    const QByteArray image = pattern(kImageBytes, 9);
    std::printf("\ngang of %d, without and with --records (SQLite, a serial counter, a stamp); median of %d runs each\n",
                kRecordsBoards, kRecordsRuns);
    std::vector<double> plain, recorded;
    bool ok = true;
    for (int run = 0; run < kRecordsRuns; ++run) {
        for (bool records : {false, true}) {
            const Figures f = run_gang(kRecordsBoards, image, records);
            ok = ok && f.ok;
            (records ? recorded : plain).push_back(f.seconds);
        }
    }
    const auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    const double without = median(plain);
    const double with = median(recorded);
    // The boards run side by side: the gang's time is each board's.
    std::printf("%16s %9s\n", "", "seconds");
    std::printf("%16s %9.2f\n", "without records", without);
    std::printf("%16s %9.2f\n", "with records", with);
    std::printf("records cost a board %+.1f%% (target: at most 2%%); all boards right: %s\n",
                100.0 * (with - without) / without, ok ? "yes" : "NO");
    std::printf("\n");
    print_board_figures();
    return 0;
}
