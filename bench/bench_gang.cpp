// Gang programming: 1, 2 and 4 simulated boards each take a 2 MiB image
// into their external flash at 1382400 baud, through one vqprog that runs a
// child per board. Prints the aggregate throughput, the speed-up over one
// board and the CPU each board's vqprog used. Figures only: never fails on time.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
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

Figures run_gang(int boards, const QByteArray& image)
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
        const QByteArray held = sim->with_device([&](SimDevice& d) { return d.external_flash().read(0, image.size()); });
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
    return 0;
}
