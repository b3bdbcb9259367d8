// vqprog: the boot-loader session's procedures from the command line, one
// board per process, or several boards in parallel as child processes.

#include <QCoreApplication>
#include <QFileInfo>
#include <csignal>
#include <cstdio>

#include "board_run.h"
#include "command_table.h"
#include "console.h"
#include "gang.h"
#include "image_checks.h"
#include "options.h"
#include "records.h"
#include "records_command.h"
#include "signal_watch.h"
#include "serial/port_map.h"
#include "serial/port_url.h"
#include "vq_version.h"

namespace {

void print_err(const QString& text)
{
    std::fputs(qPrintable(text + QLatin1Char('\n')), stderr);
}

int usage_error(const ParseResult& parsed)
{
    print_err(QStringLiteral("error: ") + parsed.error);
    print_err(parsed.help);
    return kExitUsage;
}

QStringList listed_ports()
{
    QStringList names;
    for (const PortMapEntry& e : PortMap::create_default()->entries())
        names << e.port_name;
    return names;
}

// A port is one the window lists, a device file (a pty not published by a
// simulator), or a port served over the network; `problem` says what is
// wrong with a URL.
bool port_known(const QString& name, const QStringList& listed, QString* problem)
{
    const PortUrl url = parse_port_url(name);
    if (url.scheme != PortUrl::Local) {
        *problem = url.problem;
        return url.problem.isEmpty();
    }
    *problem = QStringLiteral("unknown port: %1").arg(name);
    return listed.contains(name) || (QFileInfo::exists(name) && !QFileInfo(name).isDir());
}

}  // namespace

int main(int argc, char* argv[])
{
    // Made into the package's completion file at build time.
    if (argc == 2 && QLatin1String(argv[1]) == QLatin1String("--bash-completion")) {
        std::fputs(qPrintable(bash_completion_script()), stdout);
        return kExitOk;
    }
    QCoreApplication app(argc, argv);
    // Reading the records needs no port.
    if (argc > 1 && QLatin1String(argv[1]) == QLatin1String("records"))
        return RecordsDb::quick_exit_if_given_up(run_records_command(QCoreApplication::arguments()));
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);  // past a file-size limit a write fails with EFBIG and is reported
    QCoreApplication::setApplicationName(QStringLiteral("vqprog"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VQ_VERSION));
    // From here on SIGINT, SIGTERM and SIGHUP stop the work in order.
    SignalWatch watch;
    RecordsDb::set_stop_check([] {
        const int s = SignalWatch::caught_now();
        return s ? QStringLiteral("interrupted by ") + SignalWatch::name(s) : QString();
    });

    const ParseResult parsed = parse_command_line(QCoreApplication::arguments());
    switch (parsed.outcome) {
    case ParseOutcome::Help:
        std::fputs(qPrintable(parsed.help), stdout);
        return kExitOk;
    case ParseOutcome::Version:
        std::printf("vqprog %s\n", VQ_VERSION);
        return kExitOk;
    case ParseOutcome::BadUsage:
        return usage_error(parsed);
    case ParseOutcome::Run:
        break;
    }
    Options options = parsed.options;
    // A URL pasted with a trailing newline or a leading space names the same
    // port, and is printed, recorded and handed to a gang's children without them.
    for (QString& port : options.ports) {
        if (is_remote_port(port))
            port = port.trimmed();
    }

    const QStringList listed = listed_ports();
    for (const QString& port : options.ports) {
        QString problem;
        if (!port_known(port, listed, &problem)) {
            ParseResult unknown = parsed;
            unknown.error = problem;
            return usage_error(unknown);
        }
    }
    // Images the chip could never take are refused before any port is opened.
    QStringList refused;
    for (const Action& action : options.actions)
        refused += image_problems(action);
    if (!refused.isEmpty()) {
        for (const QString& line : refused)
            print_err(QStringLiteral("error: ") + line);
        return kExitUsage;
    }
    if (options.ports_from_list || options.ports.size() > 1) {
        const QStringList ports = options.ports_from_list ? listed : options.ports;
        if (ports.isEmpty()) {
            print_err(QStringLiteral("error: no serial port listed"));
            return kExitUsage;
        }
        // Refused here, once, rather than by every child after some have started.
        const QStringList refusals = production_refusals(options);
        for (const QString& refusal : refusals)
            print_err(QStringLiteral("error: ") + refusal);
        // A signal that ended the parent's wait on the records: the gang says so, starting no board.
        if (!refusals.isEmpty() && watch.signal_number() == 0)
            return kExitUsage;
        int code = 0;
        {
            Gang gang(options, ports, watch);
            code = gang.run();
        }
        return RecordsDb::quick_exit_if_given_up(code);
    }

    int code = 0;
    {
        Console console(options, options.ports.value(0));
        BoardRun board(options, console, watch);
        code = board.run();
    }
    // A records call given up on a silent server leaves its thread in the driver.
    return RecordsDb::quick_exit_if_given_up(code);
}
