// Updates that leave out what the flash holds, against the full update of
// the same 16 MiB image in the same run: a boot session, as the window and
// vqprog drive it, against a vqsim process at 1382400 baud, its CRCs
// computed at a given rate. One line per case, with where the time goes.
//
//   bench_skip              both CRC rates (8 MB/s, 1 MB/s)
//   bench_skip RATE         one rate, in bytes per second
//
// The cases run one after another on the same memory: the full update
// writes image A; "identical" runs A again; "1% changed" runs C, A with 1%
// of its 64 KiB sectors rewritten at random places; "resume at 50%" runs B,
// whose first half is C's and whose second half is new, so the flash holds
// what an update to B interrupted half-way leaves behind.

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <cstdio>

#include "random_bytes.h"
#include "session/boot_session.h"

namespace {

constexpr int kRate115200 = 4;
constexpr int kRate1382400 = 9;
constexpr int kImageLen = 16 << 20;
constexpr int kSector = 64 << 10;

// Seconds from the start of an update to each of its milestones in the log.
struct Timing {
    double total = 0;
    double prologue = 0;  // connects, flash ID, flash mode
    double survey = 0;
    double writes = 0;
    double check = 0;     // the final whole-image check
    bool ok = false;
};

// The session's log lines, timed; nothing is shown.
class Run : public NullSessionSink {
public:
    void log_line(const QString& line) override
    {
        const double t = clock.nsecsElapsed() / 1e9;
        if (line.startsWith(QLatin1String("Start to update flash")))
            start = t;
        else if (line.startsWith(QLatin1String("Blocks that differ")))
            surveyed = t;
        else if (line.startsWith(QLatin1String("End to update flash")))
            written = t;
    }

    bool open(const QString& port)
    {
        link = LinkSettings{kRate115200, kRate1382400, 3};
        return session.open_and_identify(port, &link) == operation_result::kOk;
    }

    Timing time(const QString& file, bool skip)
    {
        start = surveyed = written = -1;
        clock.start();
        UpdateOptions options;
        options.link = link;
        options.skip_unchanged = skip;
        last = session.update_flash(file, options);
        Timing t;
        t.total = clock.nsecsElapsed() / 1e9;
        t.ok = last.code == 0;
        t.prologue = start;
        const double writes_from = surveyed >= 0 ? surveyed : start;
        t.survey = surveyed >= 0 ? surveyed - start : 0;
        t.writes = written - writes_from;
        t.check = t.total - written;
        return t;
    }

    UpdateReport last;

private:
    BootSession session{this};
    LinkSettings link;
    QElapsedTimer clock;
    double start = -1, surveyed = -1, written = -1;
};

void print(const char* name, uint32_t rate, const Timing& full, const Timing& skip, qint64 written)
{
    std::printf("%-14s %4.0f MB/s %8.2f %8.2f %7.2f%% %7.1fx %8.2f %8.2f %8.2f %8.2f %10lld  %s\n", name, rate / 1e6,
                full.total, skip.total, 100 * skip.total / full.total, full.total / skip.total, skip.prologue,
                skip.survey, skip.writes, skip.check, static_cast<long long>(written),
                full.ok && skip.ok ? "ok" : "FAILED");
    std::fflush(stdout);
}

int run_rate(uint32_t rate)
{
    QTemporaryDir publish;
    QTemporaryDir work;
    QFile::setPermissions(publish.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QDir::setCurrent(work.path());
    {
        QFile ini("Flash.ini");
        if (!ini.open(QIODevice::WriteOnly))
            return 2;
        ini.write("[FLASH]\n0x00EF4018,1024,16384,BENCH16M,\n");
    }
    QProcess sim;
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim.start(QStringLiteral(VQSIM_PATH), {"--chip", "VQ4410", "--flash-size", "16M", "--crc-rate",
                                           QString::number(rate), "--publish-dir", publish.path()});
    if (!sim.waitForReadyRead(5000))
        return 2;
    const QRegularExpressionMatch m =
        QRegularExpression(" on (\\S+)").match(QString::fromLocal8Bit(sim.readAllStandardOutput()));
    if (!m.hasMatch())
        return 2;

    Run run;
    if (!run.open(m.captured(1)))
        return 2;

    const auto file = [&](const char* name, const QByteArray& bytes) {
        QFile f(work.filePath(QString::fromLatin1(name)));
        if (f.open(QIODevice::WriteOnly))
            f.write(bytes);
        return f.fileName();
    };
    const QByteArray image_a = noise(kImageLen, 1);
    QByteArray image_c = image_a;
    QRandomGenerator g(rate);
    const int sectors = kImageLen / kSector;
    for (int n = 0; n < (sectors + 99) / 100; ++n) {
        const int s = int(g.bounded(sectors));
        image_c.replace(s * kSector, kSector, noise(kSector, g.generate()));
    }
    const QByteArray image_b = image_c.left(kImageLen / 2) + noise(kImageLen / 2, 99);

    const Timing full = run.time(file("a.bin", image_a), false);
    const Timing same = run.time(file("a2.bin", image_a), true);
    print("identical", rate, full, same, run.last.bytes.bytes_written);
    const Timing changed = run.time(file("c.bin", image_c), true);
    print("1% changed", rate, full, changed, run.last.bytes.bytes_written);
    const Timing resume = run.time(file("b.bin", image_b), true);
    print("resume at 50%", rate, full, resume, run.last.bytes.bytes_written);
    std::printf("%-14s %4.0f MB/s %8.2f  (full update: prologue %.2f, writes %.2f, final check %.2f)\n", "full", rate / 1e6,
                full.total, full.prologue, full.writes, full.check);
    std::fflush(stdout);
    sim.terminate();
    sim.waitForFinished(3000);
    return full.ok && same.ok && changed.ok && resume.ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() > 1)
        return run_rate(args[1].toUInt());
    std::printf("%-14s %9s %8s %8s %8s %8s %8s %8s %8s %8s %10s  %s\n", "case", "crc rate", "full s", "skip s",
                "of full", "faster", "prologue", "survey", "writes", "check", "written", "verdict");
    std::fflush(stdout);
    int failures = 0;
    for (uint32_t rate : {8000000u, 1000000u}) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        child.start(args[0], {QString::number(rate)});
        child.waitForFinished(-1);
        failures += child.exitCode() != 0;
    }
    return failures == 0 ? 0 : 1;
}
