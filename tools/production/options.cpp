#include "options.h"

#include <QCommandLineParser>
#include <QFileInfo>

#include "command_table.h"
#include "protocol/config_lines.h"
#include "serial/rates.h"

namespace {

constexpr int kMinWaitMs = 1;
constexpr int kMaxWaitMs = 8;
constexpr int kMaxBusyRetrySeconds = 600;

int rate_index(const QString& text)
{
    bool ok = false;
    const int rate = text.toInt(&ok);
    return ok ? baud_index_of(rate) : -1;
}

// A file named on the command line: it must be a readable regular file.
bool take_file(const QString& path, QString* absolute, QString* error)
{
    const QFileInfo info(path);
    if (!info.isFile() || !info.isReadable()) {
        *error = QStringLiteral("cannot read file: %1").arg(path);
        return false;
    }
    *absolute = info.absoluteFilePath();
    return true;
}

bool parse_actions(const QStringList& words, QVector<Action>* actions, QString* error)
{
    for (int i = 0; i < words.size(); ++i) {
        const ActionRow* shape = find_action_row(words[i]);
        if (!shape) {
            *error = QStringLiteral("unknown action: %1").arg(words[i]);
            return false;
        }
        Action action{words[i], QString()};
        const bool next_is_arg = i + 1 < words.size() && !find_action_row(words[i + 1]);
        if (shape->arg == ActionArg::BootMode) {
            if (!next_is_arg || (words[i + 1] != QLatin1String("1") && words[i + 1] != QLatin1String("2"))) {
                *error = QStringLiteral("bootmode takes 1 or 2");
                return false;
            }
            action.arg = words[++i];
        } else if (shape->arg == ActionArg::File || (shape->arg == ActionArg::OptionalFile && next_is_arg)) {
            if (!next_is_arg) {
                *error = QStringLiteral("%1 takes a file").arg(action.name);
                return false;
            }
            if (!take_file(words[++i], &action.arg, error))
                return false;
        }
        actions->append(action);
    }
    if (actions->isEmpty()) {
        *error = QStringLiteral("no action given");
        return false;
    }
    return true;
}

}  // namespace

ParseResult parse_command_line(const QStringList& args)
{
    ParseResult r;
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Programs VQ chips from the command line, one board per process, several in parallel.\n\n"
                       "Actions, run in the order given, stopping at the first failure:\n") +
        action_list_text() + QStringLiteral("\n") + records_usage_line() +
        QStringLiteral("\n  prints the production records kept in TARGET (a file or a postgresql:// URL), as CSV\n"
                       "  (a field that starts with = + - or @ gets a leading ', so a spreadsheet shows it as text) or --json\n\n"
                       "Exit codes: 0 every action passed, 1 an action failed, 2 bad usage (or an image no chip could "
                       "take),\n3 the device went away, 130/143/129 stopped by SIGINT/SIGTERM/SIGHUP (the port closed "
                       "first)."));
    parser.addPositionalArgument(QStringLiteral("ACTION"), QStringLiteral("what to do, see above"),
                                 QStringLiteral("ACTION..."));
    const QCommandLineOption port = table_option(QStringLiteral("port"));
    const QCommandLineOption from_list = table_option(QStringLiteral("ports-from-list"));
    const QCommandLineOption max_parallel = table_option(QStringLiteral("max-parallel"));
    const QCommandLineOption baud = table_option(QStringLiteral("baud"));
    const QCommandLineOption new_rate = table_option(QStringLiteral("new-rate"));
    const QCommandLineOption wait = table_option(QStringLiteral("wait-ms"));
    const QCommandLineOption file_crc = table_option(QStringLiteral("file-crc"));
    const QCommandLineOption skip_unchanged = table_option(QStringLiteral("skip-unchanged"));
    const QCommandLineOption flash_ini = table_option(QStringLiteral("flash-ini"));
    const QCommandLineOption json = table_option(QStringLiteral("json"));
    const QCommandLineOption quiet = table_option(QStringLiteral("quiet"));
    const QCommandLineOption log = table_option(QStringLiteral("log"));
    const QCommandLineOption max_timeouts = table_option(QStringLiteral("max-timeouts"));
    const QCommandLineOption busy_retry = table_option(QStringLiteral("busy-retry"));
    parser.addOptions(
        {port, from_list, max_parallel, baud, new_rate, wait, file_crc, skip_unchanged, flash_ini, json, quiet, log,
         max_timeouts, busy_retry});
    add_production_options(parser);
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    r.help = parser.helpText();

    if (!parser.parse(args)) {
        r.error = parser.errorText();
        return r;
    }
    if (parser.isSet(help)) {
        r.outcome = ParseOutcome::Help;
        return r;
    }
    if (parser.isSet(version)) {
        r.outcome = ParseOutcome::Version;
        return r;
    }

    Options& o = r.options;
    o.ports = parser.values(port);
    o.ports_from_list = parser.isSet(from_list);
    if (o.ports_from_list && !o.ports.isEmpty()) {
        r.error = QStringLiteral("--port and --ports-from-list exclude each other");
        return r;
    }
    if (parser.isSet(baud) && (o.baud_index = rate_index(parser.value(baud))) < 0) {
        r.error = QStringLiteral("rate not in the list: %1").arg(parser.value(baud));
        return r;
    }
    if (parser.isSet(new_rate) && (o.new_rate_index = rate_index(parser.value(new_rate))) < 0) {
        r.error = QStringLiteral("rate not in the list: %1").arg(parser.value(new_rate));
        return r;
    }
    if (parser.isSet(wait)) {
        bool ok = false;
        o.wait_ms = parser.value(wait).toInt(&ok);
        if (!ok || o.wait_ms < kMinWaitMs || o.wait_ms > kMaxWaitMs) {
            r.error = QStringLiteral("--wait-ms takes 1 to 8");
            return r;
        }
    }
    if (parser.isSet(max_parallel)) {
        bool ok = false;
        o.max_parallel = parser.value(max_parallel).toInt(&ok);
        if (!ok || o.max_parallel < 1) {
            r.error = QStringLiteral("--max-parallel takes a number from 1");
            return r;
        }
    }
    if (parser.isSet(max_timeouts)) {
        bool ok = false;
        o.max_timeouts = parser.value(max_timeouts).toInt(&ok);
        if (!ok || o.max_timeouts < 0) {
            r.error = QStringLiteral("--max-timeouts takes a number from 0");
            return r;
        }
    }
    if (parser.isSet(busy_retry)) {
        bool ok = false;
        const double seconds = parser.value(busy_retry).toDouble(&ok);
        if (!ok || seconds < 0 || seconds > kMaxBusyRetrySeconds) {
            r.error = QStringLiteral("--busy-retry takes seconds from 0 to %1").arg(kMaxBusyRetrySeconds);
            return r;
        }
        o.busy_retry_ms = qRound(seconds * 1000);
    }
    o.file_crc = parser.isSet(file_crc);
    o.skip_unchanged = parser.isSet(skip_unchanged);
    if (parser.isSet(flash_ini) && !take_file(parser.value(flash_ini), &o.flash_ini, &r.error))
        return r;
    o.json = parser.isSet(json);
    o.quiet = parser.isSet(quiet);
    if (parser.isSet(log))
        o.log_file = QFileInfo(parser.value(log)).absoluteFilePath();
    if (!parse_actions(parser.positionalArguments(), &o.actions, &r.error))
        return r;
    if (!read_production_options(parser, o.ports_from_list || o.ports.size() > 1, &o.production, &r.error))
        return r;
    r.outcome = ParseOutcome::Run;
    return r;
}

int baud_index_of(int rate)
{
    for (int i = 0; i < int(kBaudRates.size()); ++i) {
        if (kBaudRates[i] == rate)
            return i;
    }
    return -1;
}

LinkSettings link_settings(const Options& o)
{
    return {o.baud_index >= 0 ? o.baud_index : kDefaultRateIndex,
            o.new_rate_index >= 0 ? o.new_rate_index : kDefaultNewRateIndex,
            o.wait_ms > 0 ? o.wait_ms : wait_ms_for_index(kDefaultWaitIndex)};
}

QStringList child_arguments(const Options& o, const QString& port)
{
    QStringList args{QStringLiteral("--json"), QStringLiteral("--port"), port};
    if (o.baud_index >= 0)
        args << QStringLiteral("--baud") << QString::number(kBaudRates[o.baud_index]);
    if (o.new_rate_index >= 0)
        args << QStringLiteral("--new-rate") << QString::number(kBaudRates[o.new_rate_index]);
    if (o.wait_ms > 0)
        args << QStringLiteral("--wait-ms") << QString::number(o.wait_ms);
    if (o.file_crc)
        args << QStringLiteral("--file-crc");
    if (o.skip_unchanged)
        args << QStringLiteral("--skip-unchanged");
    if (o.max_timeouts != kDefaultMaxTimeouts)
        args << QStringLiteral("--max-timeouts") << QString::number(o.max_timeouts);
    if (o.busy_retry_ms != kDefaultBusyRetryMs)
        args << QStringLiteral("--busy-retry") << QString::number(o.busy_retry_ms / 1000.0);
    if (!o.flash_ini.isEmpty())
        args << QStringLiteral("--flash-ini") << o.flash_ini;
    if (!o.log_file.isEmpty())
        args << QStringLiteral("--log") << o.log_file;
    args << production_child_arguments(o.production);
    for (const Action& a : o.actions) {
        args << a.name;
        if (!a.arg.isEmpty())
            args << a.arg;
    }
    return args;
}
