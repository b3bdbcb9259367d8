// Gang programming: 1, 2 and 4 simulated boards each take a 2 MiB image
// into their external flash at 1382400 baud, through one vqprog that runs a
// child per board. Prints the aggregate throughput, the speed-up over one
// board and the CPU each board's vqprog used. Then a gang of four with and
// without a production record (an SQLite file, a serial counter and a stamp),
// run in turns, to show what recording costs a board. Figures only: never
// fails on time.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <sys/resource.h>
#include <vector>

#include "flash_fixtures.h"

using namespace flash_fixtures;

namespace {

constexpr int kImageBytes = 2 * 1024 * 1024;
constexpr int kRunTimeoutMs = 10 * 60 * 1000;
const int kBoardCounts[] = {1, 2, 4};
constexpr int kRecordsBoards = 4;
constexpr int kRecordsRuns = 3;  // each way, in turns: the median is reported
constexpr int kStampAt = 0x1000;
constexpr int kStampDigits = 10;

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
    p.start(VQPROG_PATH, args);
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

}  // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QByteArray image = pattern(kImageBytes, 9);
    std::printf("gang update-flash, %d KiB per board at 1382400 baud\n", kImageBytes / 1024);
    std::printf("%6s %9s %14s %9s %15s %6s\n", "boards", "seconds", "aggregate kB/s", "speed-up", "CPU per board", "ok");
    double single = 0;
    for (int boards : kBoardCounts) {
        const Figures f = run_gang(boards, image);
        const double throughput = boards * double(kImageBytes) / f.seconds;
        if (boards == 1)
            single = throughput;
        std::printf("%6d %9.1f %14.1f %8.2fx %14.1f%% %6s\n", boards, f.seconds, throughput / 1000.0,
                    single > 0 ? throughput / single : 0.0, 100.0 * f.cpu_seconds / boards / f.seconds,
                    f.ok ? "yes" : "NO");
    }
    std::printf("target: 4 boards at least 3.5x one board; CPU per board under 25%% of a core\n");

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
    return 0;
}
