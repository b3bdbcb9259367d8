// vqsim: a VQ boot loader on a pseudo-terminal, for trying the programming
// tool without a board and for its end-to-end tests.

#include <QCoreApplication>
#include <csignal>
#include <cstdio>
#include <pthread.h>

#include "sim_options.h"
#include "sim_server.h"
#include "vq_version.h"

int main(int argc, char** argv)
{
    // Blocked before the server thread exists, so only the sigwait below
    // takes them and the port file is always removed on the way out.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vqsim"));
    // --version names the simulated boot loader's version; given alone, with
    // no value, it asks for this program's own, as with the other programs.
    if (app.arguments().size() == 2 && app.arguments().at(1) == QLatin1String("--version")) {
        std::printf("vqsim %s\n", VQ_VERSION);
        return 0;
    }
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Simulates a VQ chip's boot loader on a pseudo-terminal and publishes its path until stopped.\n"
        "Given alone, --version prints this program's version."));
    parser.addHelpOption();
    add_sim_options(parser);
    parser.process(app);

    SimOptions options;
    QString error;
    if (!read_sim_options(parser, &options, &error)) {
        std::fprintf(stderr, "vqsim: %s\n", qPrintable(error));
        return 2;
    }

    SimServer server(options.config, options.publish_dir);
    server.with_device([&](SimDevice& device) { apply_faults(options.faults, device); });
    server.set_reply_delay_ms(options.transport.reply_delay_ms);
    server.set_split(options.transport.split_len, options.transport.split_pause_ms);
    server.set_pacing(options.transport.pacing);
    if (!server.start()) {
        std::fprintf(stderr, "vqsim: cannot open a pseudo-terminal\n");
        return 1;
    }
    if (server.published_file().isEmpty())
        std::fprintf(stderr, "vqsim: cannot publish the port in %s: it must be a folder of yours that only you can write\n",
                     qPrintable(options.publish_dir));
    std::printf("vqsim: serving %s on %s\n", qPrintable(chip_label(options.config.chip_id)),
                qPrintable(server.slave_path()));
    std::fflush(stdout);

    int signal_number = 0;
    sigwait(&stop_signals, &signal_number);
    server.stop();
    return 0;
}
