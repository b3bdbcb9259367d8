// How fast vqimage builds and proves a differential image: two 16 MiB images
// with 1% scattered changes, once as 1% of the bytes (every sector touched,
// the worst case for a sector-aligned diff) and once as 1% of the 4 KiB
// sectors. Prints times and the peak resident memory against the size of the
// two images; never fails on time.

#include <QElapsedTimer>
#include <QTextStream>

#include <algorithm>
#include <random>
#include <sys/resource.h>

#include "flashimage/diff_builder.h"

namespace {
constexpr int kImageBytes = 16 * 1024 * 1024;
constexpr int kSectorBytes = 4096;
constexpr int kRuns = 3;

long peak_rss_kib()
{
    struct rusage u {};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;  // KiB on Linux
}

QByteArray random_image(std::mt19937& rng)
{
    QByteArray b(kImageBytes, '\0');
    auto* p = reinterpret_cast<uint32_t*>(b.data());
    for (int i = 0; i < kImageBytes / 4; ++i)
        p[i] = rng();
    return b;
}

void measure(QTextStream& out, const char* name, const QByteArray& old_image, const QByteArray& new_image)
{
    qint64 best_build = -1;
    qint64 best_apply = -1;
    DiffBuild b;
    for (int run = 0; run < kRuns; ++run) {
        QElapsedTimer t;
        t.start();
        b = build_diff(old_image, new_image, {0, kDefaultDiffAlign});
        const qint64 build_ms = t.elapsed();
        t.restart();
        const DiffDryRun proof = apply_diff(old_image, b.file);
        const qint64 apply_ms = t.elapsed();
        if (b.status != DiffBuildStatus::Ok || !proof.ok) {
            out << name << ": FAILED " << b.error << proof.error << "\n";
            return;
        }
        best_build = best_build < 0 ? build_ms : std::min(best_build, build_ms);
        best_apply = best_apply < 0 ? apply_ms : std::min(best_apply, apply_ms);
    }
    out << name << ": diff " << best_build << " ms, apply (the proof) " << best_apply << " ms; " << b.records.size()
        << " records, .diff " << b.file.size() / 1024 << " KiB\n";
}
QByteArray with_changes(const QByteArray& image, std::mt19937& rng, bool whole_sectors)
{
    QByteArray b = image;
    const int sectors = kImageBytes / kSectorBytes;
    const int changes = whole_sectors ? sectors / 100 : kImageBytes / 100;
    for (int i = 0; i < changes; ++i) {
        const int at = whole_sectors ? int(rng() % sectors) * kSectorBytes + int(rng() % kSectorBytes)
                                     : int(rng() % kImageBytes);
        b[at] = char(b[at] ^ 0x5A);
    }
    return b;
}
}  // namespace

int main()
{
    QTextStream out(stdout);
    const long base_rss = peak_rss_kib();
    std::mt19937 rng(16);
    const QByteArray old_image = random_image(rng);

    out << "vqimage diff of two 16 MiB images, align 4096, best of " << kRuns << ", one thread\n";
    measure(out, "1% of bytes changed  ", old_image, with_changes(old_image, rng, false));
    measure(out, "1% of sectors changed", old_image, with_changes(old_image, rng, true));
    out << "peak resident memory above the program's own " << base_rss / 1024 << " MiB: "
        << (peak_rss_kib() - base_rss) / 1024 << " MiB, for " << 2 * kImageBytes / (1024 * 1024)
        << " MiB of images (OLD, NEW, the .diff and the proof's flash are alive together)\n";
    return 0;
}
