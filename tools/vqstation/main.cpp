// vqstation: the line station window. One tile per socket; a board plugged
// into a socket is programmed by a child vqprog as the setup says.

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QThreadPool>
#include <csignal>
#include <memory>
#include <cstdio>

#include "port_publish.h"
#include "records.h"
#include "signal_watch.h"
#include "station_window.h"
#include "vq_version.h"

namespace {

constexpr int kLastLinesWaitMs = 2000;  // a log on a stalled disk is given up, not waited for

// The vqprog installed beside this program, or the one of the build tree.
QString find_vqprog()
{
    const QDir here(QCoreApplication::applicationDirPath());
    for (const QString& candidate : {here.filePath(QStringLiteral("vqprog")),
                                     here.filePath(QStringLiteral("../vqprog/vqprog"))}) {
        if (QFileInfo(candidate).isExecutable())
            return QFileInfo(candidate).canonicalFilePath();
    }
    return QStringLiteral("vqprog");
}

}  // namespace

int main(int argc, char* argv[])
{
    std::signal(SIGPIPE, SIG_IGN);
    // --help and --version answer without a display (help2man, a terminal over ssh).
    std::unique_ptr<QCoreApplication> app;
    bool answer_only = false;
    for (int i = 1; i < argc; ++i) {
        const QByteArray a(argv[i]);
        answer_only = answer_only || a == "--help" || a == "-h" || a == "--version" || a == "-v";
    }
    if (answer_only)
        app = std::make_unique<QCoreApplication>(argc, argv);
    else
        app = std::make_unique<QApplication>(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("vq-uart-tool"));
    QApplication::setApplicationName(QStringLiteral("vqstation"));
    QApplication::setApplicationVersion(QStringLiteral(VQ_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "The line station: one tile per socket. A board whose port appears in a socket is programmed by a\n"
        "child vqprog with the actions, rates, stamps, serial counter and records of the setup file (INI),\n"
        "and its tile ends in PASS with its serial number or FAIL with the reason. Boards already plugged\n"
        "in at start are started with a click on their tile or Start all. Without SETUP, the setup used\n"
        "last. Closing the window stops every running board (its port and lock file closed) first.\n"
        "\n"
        "The setup file (written by the Setup dialog; file names relative to it):\n"
        "  [station]     name=NAME  records=FILE.db | postgresql://USER@HOST/DATABASE\n"
        "  [actions]     1=update-mcu FILE  2=update-flash FILE  3=check-flash  4=check-mcu  5=run\n"
        "  [link]        baud=RATE  new_rate=RATE\n"
        "  [production]  skip_unchanged=true|false  stamps=flash@0x1000:dec:10  serial_counter=NAME\n"
        "                serial_start=N  flash_ini=FILE\n"
        "  [sockets]     usb_adapters=true|false (every USB serial adapter is a socket)\n"
        "                simulated=true|false (every simulated chip is a socket)\n"
        "                ports=/dev/serial/by-path/..., /dev/ttyUSB3 (one socket each; a name may be\n"
        "                  followed by presence=port|answer, its own)\n"
        "                presence=port|answer (a board is in a socket when its port appears, or\n"
        "                  while its boot loader answers: for adapters that stay plugged in)"));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("SETUP"), QStringLiteral("the station's setup file"),
                                 QStringLiteral("[SETUP]"));
    const QCommandLineOption vqprog({QStringLiteral("vqprog")}, QStringLiteral("the vqprog each board runs"),
                                    QStringLiteral("PATH"), find_vqprog());
    parser.addOption(vqprog);
    parser.process(*app);

    StationEnvironment env{parser.value(vqprog), default_publish_dir()};
    int code = 0;
    {
        StationWindow window(env);
        QString setup = parser.positionalArguments().value(0);
        if (setup.isEmpty())
            setup = QSettings().value(QStringLiteral("last_setup")).toString();
        if (!setup.isEmpty() && !window.open_setup(setup))
            std::fprintf(stderr, "vqstation: cannot use the setup %s\n", qPrintable(setup));

        // A signal closes the window as its close button would: boards stopped first.
        SignalWatch watch;
        QObject::connect(&watch, &SignalWatch::caught, &window, &QWidget::close);
        window.show();
        code = app->exec();
    }
    // The boards' last log lines go out on the global pool; the quick endings
    // below skip the application's own wait for it, which would cut them.
    QThreadPool::globalInstance()->waitForDone(kLastLinesWaitMs);
    // A records call given up on a silent server still sits in the driver; a
    // presence poll or an image read told to stop may still be ending.
    if (StationController::work_left_running())
        RecordsDb::quick_exit(code);
    return RecordsDb::quick_exit_if_given_up(code);
}
