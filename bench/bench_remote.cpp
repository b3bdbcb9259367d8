// Update Flash of 2 MiB at 1382400 baud through ser2net on loopback (RFC
// 2217, with the switch to the New Rate) against the same on the local
// pseudo-terminal, and through a relay that adds 10 ms of round trip
// against the stop-and-wait limit: each block's payload over its time on
// the line plus one round trip. A vqsim process paces its bytes to the
// line rate; vqprog runs the update; its own "update-flash ok (N s)" is the
// time taken.
//
//   bench_remote [ROUNDS]

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>

#include "random_bytes.h"
#include "ser2net_rig.h"

namespace {

constexpr int kImageBytes = 2 << 20;
constexpr int kRate = 1382400;
constexpr int kBlockPayload = 2048;
constexpr int kBlockOnLine = 2060 + 63;  // the block's frame and its reply
constexpr int kAddedRoundTripMs = 10;

// Seconds vqprog reports for the update; -1 when it failed.
double update_seconds(const QString& folder, const QString& port)
{
    QProcess p;
    p.setWorkingDirectory(folder);
    p.start(VQPROG_PATH, {"--port", port, "--baud", "115200", "--new-rate", QString::number(kRate), "update-flash",
                          "flash.bin"});
    if (!p.waitForFinished(600000) || p.exitCode() != 0) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(port), p.readAllStandardOutput().right(400).constData());
        return -1;
    }
    const QRegularExpressionMatch m =
        QRegularExpression("update-flash ok \\(([0-9.]+) s\\)").match(QString::fromUtf8(p.readAllStandardOutput()));
    return m.hasMatch() ? m.captured(1).toDouble() : -1;
}

double best_of(int rounds, const QString& folder, const QString& port)
{
    double best = -1;
    for (int i = 0; i < rounds; ++i) {
        const double s = update_seconds(folder, port);
        if (s > 0 && (best < 0 || s < best))
            best = s;
    }
    return best;
}

}  // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 2;
    QTemporaryDir work;
    QFile ini(work.filePath("Flash.ini"));
    QFile image(work.filePath("flash.bin"));
    if (!ini.open(QIODevice::WriteOnly) || ini.write("[FLASH]\r\n0x00EF4018,1024,16384,W16M,\r\n") < 0 ||
        !image.open(QIODevice::WriteOnly) || image.write(noise(kImageBytes, 5)) != kImageBytes)
        return 1;
    ini.close();
    image.close();

    QProcess sim;
    sim.start(VQSIM_PATH, {"--publish-dir", work.filePath("published")});
    if (!sim.waitForReadyRead(10000))
        return 1;
    const QString pty = QString::fromUtf8(sim.readAllStandardOutput()).section(' ', -1).trimmed();
    Ser2net server;
    QString error;
    if (!server.start(pty, &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }

    const double wire_s = double(kBlockOnLine) * 10.0 / kRate;
    const double blocks = double(kImageBytes) / kBlockPayload;
    const double limit_s = blocks * (wire_s + kAddedRoundTripMs / 1000.0);
    std::printf("Update Flash, 2 MiB at %d baud (New Rate), best of %d; vqprog's own time for the update\n", kRate,
                rounds);
    const double local = best_of(rounds, work.path(), pty);
    const double remote = best_of(rounds, work.path(), server.rfc2217_url());
    std::printf("  local pseudo-terminal            %7.2f s  %7.1f KiB/s\n", local, kImageBytes / 1024.0 / local);
    std::printf("  rfc2217 through ser2net          %7.2f s  %7.1f KiB/s  %5.1f%% of local\n", remote,
                kImageBytes / 1024.0 / remote, 100.0 * local / remote);
    {
        RelayThread relay(server.rfc2217_port, kAddedRoundTripMs / 2);
        const double delayed = best_of(rounds, work.path(), relay.url("rfc2217"));
        std::printf("  + %d ms round trip (relay)       %7.2f s  %7.1f KiB/s  stop-and-wait limit %.2f s: %5.1f%% of it\n",
                    kAddedRoundTripMs, delayed, kImageBytes / 1024.0 / delayed, limit_s, 100.0 * limit_s / delayed);
    }
    server.stop();
    sim.terminate();
    sim.waitForFinished();
    return 0;
}
