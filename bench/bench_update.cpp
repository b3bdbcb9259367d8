// Throughput of Update Flash and Update MCU: the real window against the
// simulated chip (a vqsim process pacing its bytes to the line rate), one
// line of figures per case. Each case runs in a child process of its own so
// that its peak RSS is its own.
//
//   bench_update            all cases
//   bench_update CASE       one case (names as printed)

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>
#include <QTimer>
#include <cstdio>
#include <memory>
#include <sys/resource.h>

#include "app/mainwindow.h"
#include "protocol/crc32.h"
#include "serial/port_map.h"
#include "flash_fixtures.h"

using flash_fixtures::be32;
using flash_fixtures::diff_record;
using flash_fixtures::pattern;

namespace {

constexpr int kRate115200 = 4;
constexpr int kRate1382400 = 9;
constexpr int kRate3000000 = 10;
constexpr int kRates[] = {9600, 19200, 38400, 57600, 115200, 230400, 256000, 460800, 921600, 1382400, 3000000};
constexpr double kFramingLimit = 2048.0 / (2060.0 + 63.0);  // payload share of the line per block

enum class Kind { FlashBin, FlashDiff, McuSingle, McuFrames };

struct Case {
    const char* name;
    Kind kind;
    int size;       // image bytes (for a .diff: the bytes its records carry)
    int rate_index;
    bool vcom;
};

const Case kCases[] = {
    {"flash-2M-1382400", Kind::FlashBin, 2 << 20, kRate1382400, false},
    {"flash-2M-3000000", Kind::FlashBin, 2 << 20, kRate3000000, false},
    {"flash-2M-1382400-vcom", Kind::FlashBin, 2 << 20, kRate1382400, true},
    {"flash-2M-3000000-vcom", Kind::FlashBin, 2 << 20, kRate3000000, true},
    {"flash-16M-3000000", Kind::FlashBin, 16 << 20, kRate3000000, false},
    {"diff-64-records-1382400", Kind::FlashDiff, 64 * 16384, kRate1382400, false},
    {"mcu-470K-1382400-single", Kind::McuSingle, 470 * 1024, kRate1382400, false},
    {"mcu-470K-1382400-frames", Kind::McuFrames, 470 * 1024, kRate1382400, true},
};

// 64 records of 16 KiB, 64 KiB apart, on an erased flash.
QByteArray diff_image(int records, int record_len)
{
    QByteArray blocks;
    for (int i = 0; i < records; ++i) {
        const QByteArray data = pattern(record_len, i);
        blocks += diff_record(uint32_t(i) * 0x10000u, data, boot_crc32(data));
    }
    QByteArray header = be32(1) + be32(uint32_t(blocks.size())) + be32(boot_crc32(blocks)) + be32(uint32_t(records)) +
                        be32(0) + be32(0) + be32(0);
    return header + be32(boot_crc32(header)) + blocks;
}

long peak_rss_kib()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

QPushButton* button(MainWindow& w, const char* name)
{
    return w.findChild<QPushButton*>(QString::fromLatin1(name));
}

// The longest gap between two ticks of a 2 ms timer: how long the window
// went without handling its events.
class StallMeter : public QObject {
public:
    StallMeter()
    {
        connect(&timer_, &QTimer::timeout, this, [this] {
            const qint64 gap = clock_.restart();
            if (gap > 30 && qEnvironmentVariableIsSet("VQ_BENCH_STALLS") && log_)
                std::fprintf(stderr, "stall %lld ms after: %s\n", static_cast<long long>(gap),
                             qPrintable(log_->toPlainText().split('\n').last()));
            longest_ = std::max(longest_, gap);
        });
        timer_.start(2);
        clock_.start();
    }
    qint64 longest_ms() const { return longest_; }
    QTextEdit* log_ = nullptr;

private:
    QTimer timer_;
    QElapsedTimer clock_;
    qint64 longest_ = 0;
};

int run_case(const Case& c)
{
    QTemporaryDir publish;
    QTemporaryDir work;
    QFile::setPermissions(publish.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QDir::setCurrent(work.path());
    {
        QFile ini("Flash.ini");
        if (!ini.open(QIODevice::WriteOnly))
            return 2;
        ini.write("[FLASH]\n0x00EF4018,1024,32768,BENCH32M,\n");
    }

    QProcess sim;
    // No progress reports: the device's own time to compute a CRC is not
    // what is measured here.
    QStringList args = {"--chip", "VQ4410", "--flash-size", "32M", "--progress-reports", "0", "--publish-dir",
                        publish.path()};
    if (c.vcom)
        args << "--vcom";
    if (qEnvironmentVariableIsSet("VQ_BENCH_NO_PACING"))
        args << "--no-pacing";
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim.start(QStringLiteral(VQSIM_PATH), args);
    if (!sim.waitForReadyRead(5000))
        return 2;
    const QString banner = QString::fromLocal8Bit(sim.readAllStandardOutput());
    const QRegularExpressionMatch m = QRegularExpression(" on (\\S+)").match(banner);
    if (!m.hasMatch())
        return 2;

    RecordingDialogs dialogs;
    MainWindow w(nullptr, std::make_unique<SystemPortMap>(publish.path()));
    auto* port = w.findChild<QComboBox*>("comboBox_Comm");
    port->clear();
    port->addItem(m.captured(1));
    w.findChild<QComboBox*>("comboBox_BAUDRATE")->setCurrentIndex(kRate115200);
    w.findChild<QComboBox*>("comboBox_NewRate")->setCurrentIndex(c.rate_index);
    QTest::mouseClick(button(w, "pushButton_OpenCom"), Qt::LeftButton);

    const bool mcu = c.kind == Kind::McuSingle || c.kind == Kind::McuFrames;
    const QByteArray image = c.kind == Kind::FlashDiff ? diff_image(64, 16384) : pattern(c.size);
    const QString file = work.filePath(c.kind == Kind::FlashDiff ? "image.diff" : "image.bin");
    {
        QFile f(file);
        if (!f.open(QIODevice::WriteOnly) || f.write(image) != image.size())
            return 2;
    }
    dialogs.file_answers << file;
    QTest::mouseClick(button(w, mcu ? "pushButton_InputMCUCode" : "pushButton_InputFlashCode"), Qt::LeftButton);

    StallMeter stalls;
    stalls.log_ = w.findChild<QTextEdit*>("textEdit");
    QElapsedTimer clock;
    clock.start();
    QTest::mouseClick(button(w, mcu ? "pushButton_UpdateMCU" : "pushButton_UpdateFlash"), Qt::LeftButton);
    const double seconds = clock.nsecsElapsed() / 1e9;

    const QString verdict = w.findChild<QTextEdit*>("textEdit")->toPlainText().split('\n').last();
    const bool ok = verdict.contains("OK!!!!!!");
    const double line_limit = kRates[c.rate_index] / 10.0;
    const double payload = c.size / seconds;
    std::printf("%-26s %9d %8d %8.2f %10.0f %7.3f %8.3f %7lld %8ld  %s\n", c.name, c.size, kRates[c.rate_index],
                seconds, payload, payload / line_limit, payload / (line_limit * kFramingLimit),
                static_cast<long long>(stalls.longest_ms()), peak_rss_kib() / 1024, ok ? "ok" : qPrintable(verdict));
    std::fflush(stdout);
    sim.terminate();
    sim.waitForFinished(3000);
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() > 1) {
        for (const Case& c : kCases) {
            if (args[1] == QLatin1String(c.name))
                return run_case(c);
        }
        std::fprintf(stderr, "unknown case %s\n", qPrintable(args[1]));
        return 2;
    }
    std::printf("%-26s %9s %8s %8s %10s %7s %8s %7s %8s  %s\n", "case", "bytes", "baud", "seconds", "payload/s",
                "line", "framing", "stallms", "rss MiB", "verdict");
    std::fflush(stdout);
    int failures = 0;
    for (const Case& c : kCases) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        child.start(args[0], {QString::fromLatin1(c.name)});
        child.waitForFinished(-1);
        failures += child.exitCode() != 0;
    }
    return failures == 0 ? 0 : 1;
}
