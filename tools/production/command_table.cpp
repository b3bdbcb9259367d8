#include "command_table.h"

#include <QStringList>

#include "options.h"
#include "serial/rates.h"

namespace {

QString rate_words(const QString& separator)
{
    QStringList out;
    for (int rate : kBaudRates)
        out << QString::number(rate);
    return out.join(separator);
}

// "update-mcu FILE", as the usage text and the action list write it.
QString action_form(const ActionRow& a)
{
    switch (a.arg) {
    case ActionArg::None:
        return a.name;
    case ActionArg::OptionalFile:
        return a.name + QStringLiteral(" [FILE]");
    case ActionArg::File:
        return a.name + QStringLiteral(" FILE");
    case ActionArg::BootMode:
        return a.name + QStringLiteral(" 1|2");
    }
    return a.name;
}

QStringList names_where(bool (*keep)(const OptionRow&))
{
    QStringList out;
    for (const OptionRow& o : option_rows()) {
        if (keep(o))
            out << QStringLiteral("--") + o.name;
    }
    return out;
}

QStringList actions_with(bool (*keep)(const ActionRow&))
{
    QStringList out;
    for (const ActionRow& a : action_rows()) {
        if (keep(a))
            out << a.name;
    }
    return out;
}

// Ports published by simulated chips are listed as the window lists them.
const char kPortsFunction[] = R"sh(_vqprog_ports()
{
    local f line
    for f in /dev/tty[A-Za-z]*; do
        [[ -c $f ]] && printf '%s\n' "$f"
    done
    for f in "${XDG_RUNTIME_DIR:-/nonexistent}"/vqsim-ports/*.port /tmp/vqsim-ports-"$(id -u)"/*.port; do
        [[ -f $f ]] || continue
        IFS= read -r line <"$f" && [[ -c $line ]] && printf '%s\n' "$line"
    done
}
)sh";

}  // namespace

const QVector<ActionRow>& action_rows()
{
    static const QVector<ActionRow> rows = {
        {"identify", ActionArg::None, "open the port and identify the chip (Open Comm)"},
        {"flash-info", ActionArg::None, "identify the external flash"},
        {"update-mcu", ActionArg::File, "program the chip's flash with a .bin image"},
        {"check-mcu", ActionArg::OptionalFile, "check the chip's flash by CRC (default: the last image)"},
        {"update-flash", ActionArg::File, "program the external flash with a .bin or .diff image"},
        {"check-flash", ActionArg::OptionalFile, "check the external flash by CRC (default: the last image)"},
        {"run", ActionArg::None, "start the application"},
        {"bootmode", ActionArg::BootMode, "send a BootMode sequence to a running application"},
    };
    return rows;
}

const ActionRow* find_action_row(const QString& name)
{
    for (const ActionRow& a : action_rows()) {
        if (a.name == name)
            return &a;
    }
    return nullptr;
}

const QVector<OptionRow>& option_rows()
{
    using V = ValueKind;
    constexpr OptionScope P = OptionScope::Programming;
    constexpr OptionScope R = OptionScope::Records;
    static const QVector<OptionRow> rows = {
        {"port", V::Port, "NAME", "serial port, or rfc2217://HOST:PORT or socket://HOST:PORT served over the network (rfc2217+tls://, socket+tls:// over TLS); several times for gang programming", P},
        {"ports-from-list", V::None, "", "gang programming on every port the window would list", P},
        {"max-parallel", V::Typed, "N", "at most N boards at once", P},
        {"baud", V::Rate, "RATE", "rate to connect at: " + rate_words(QStringLiteral(", ")), P},
        {"new-rate", V::Rate, "RATE", "rate to continue at after identification", P},
        {"wait-ms", V::WaitMs, "MS", "WaitTime, 1 to 8 ms", P},
        {"file-crc", V::None, "", "check the flash against the whole file's CRC", P},
        {"skip-unchanged", V::None, "",
         "updates ask the boot loader for the CRCs of what it holds and write only what differs", P},
        {"flash-ini", V::File, "PATH", "flash catalogue (default: Flash.ini here)", P},
        {"json", V::None, "", "one JSON object per line", P},
        {"quiet", V::None, "", "no log lines, no progress", P},
        {"log", V::File, "FILE", "append every log line to FILE", P},
        {"max-timeouts", V::Typed, "N",
         QStringLiteral("end an update as failed after N block writes in a row with no reply (default %1; 0: never)")
             .arg(kDefaultMaxTimeouts),
         P},
        {"busy-retry", V::Typed, "SECONDS",
         QStringLiteral("connect again for up to SECONDS while a boot loader answers out of turn, still finishing "
                        "a command a stop cut short (default %1; 0: one connect, as the window)")
             .arg(kDefaultBusyRetryMs / 1000),
         P},
        {"stamp", V::Typed, "STAMP",
         "write the board's serial number into an image: MEMORY@OFFSET:FORMAT, MEMORY flash or mcu, FORMAT u32le, "
         "u32be, dec:N, hex:N or mac:AA:BB:CC:DD:EE:FF; several times for several",
         P},
        {"serial", V::Typed, "N", "the board's serial number (one board)", P},
        {"serial-counter", V::Typed, "NAME", "take each board's serial number from this counter of the records", P},
        {"serial-start", V::Typed, "N", "the first number of a counter not used before", P},
        {"records", V::File, "TARGET", "record every board action in TARGET: an SQLite file or a postgresql:// URL",
         P},
        {"station", V::Typed, "NAME", "this station's name in the records (default: the host name)", P},
        {"json", V::None, "", "one JSON object per line", R},
        {"serial", V::Typed, "N", "only this serial number", R},
        {"since", V::Typed, "DATE", "only records at or after DATE (YYYY-MM-DD or ISO time; UTC)", R},
        {"station", V::Typed, "NAME", "only this station", R},
    };
    return rows;
}

QCommandLineOption table_option(const QString& name)
{
    for (const OptionRow& o : option_rows()) {
        if (o.name == name && o.scope == OptionScope::Programming)
            return QCommandLineOption(o.name, o.description, o.value_name);
    }
    Q_ASSERT_X(false, "table_option", "an option without a row");
    return QCommandLineOption(name, QString());
}

QList<QCommandLineOption> table_options(OptionScope scope)
{
    QList<QCommandLineOption> out;
    for (const OptionRow& o : option_rows()) {
        if (o.scope == scope)
            out << QCommandLineOption(o.name, o.description, o.value_name);
    }
    return out;
}

QString action_list_text()
{
    constexpr int kFormWidth = 18;  // characters, then two blanks
    QString text;
    for (const ActionRow& a : action_rows())
        text += QStringLiteral("  ") + action_form(a).leftJustified(kFormWidth) + QStringLiteral("  ") +
                a.description + QLatin1Char('\n');
    return text;
}

QString records_usage_line()
{
    QString line = QStringLiteral("vqprog records TARGET");
    for (const OptionRow& o : option_rows()) {
        if (o.scope == OptionScope::Records)
            line += QStringLiteral(" [--") + o.name + (o.value_name.isEmpty() ? QString() : QLatin1Char(' ') + o.value_name) +
                    QLatin1Char(']');
    }
    return line;
}

QString bash_completion_script()
{
    const auto programming = [](const OptionRow& o) { return o.scope == OptionScope::Programming; };
    const QString actions =
        actions_with([](const ActionRow&) { return true; }).join(QLatin1Char(' '));
    const QString options = (names_where(programming) + QStringList{"--help", "--version"}).join(QLatin1Char(' '));
    const QString records_options =
        (names_where([](const OptionRow& o) { return o.scope == OptionScope::Records; }) + QStringList{"--help"})
            .join(QLatin1Char(' '));
    const auto valued = [](ValueKind kind, OptionScope scope) {
        QStringList out;
        for (const OptionRow& o : option_rows()) {
            if (o.value == kind && o.scope == scope)
                out << QStringLiteral("--") + o.name;
        }
        return out.join(QStringLiteral(" | "));
    };
    const auto arg = [](ActionArg kind) {
        QStringList out;
        for (const ActionRow& a : action_rows()) {
            if (a.arg == kind)
                out << a.name;
        }
        return out.join(QStringLiteral(" | "));
    };
    constexpr OptionScope P = OptionScope::Programming;
    QString s;
    s += QStringLiteral("# bash completion for vqprog, made by `vqprog --bash-completion` from its table of\n"
                        "# actions and options.\n\n");
    s += QString::fromLatin1(kPortsFunction);
    s += QStringLiteral("\n_vqprog()\n{\n    local cur prev words cword\n    _init_completion || return\n\n");
    s += QStringLiteral("    if [[ ${words[1]} == records ]]; then\n        case $prev in\n            %1)\n"
                        "                return ;;\n        esac\n        if [[ $cur == -* ]]; then\n"
                        "            COMPREPLY=($(compgen -W \"%2\" -- \"$cur\"))\n        else\n"
                        "            _filedir\n        fi\n        return\n    fi\n\n")
             .arg(valued(ValueKind::Typed, OptionScope::Records), records_options);
    s += QStringLiteral("    case $prev in\n");
    s += QStringLiteral("        %1)\n            COMPREPLY=($(compgen -W \"$(_vqprog_ports)\" -- \"$cur\"))\n"
                        "            return ;;\n")
             .arg(valued(ValueKind::Port, P));
    s += QStringLiteral("        %1)\n            COMPREPLY=($(compgen -W \"%2\" -- \"$cur\"))\n            return ;;\n")
             .arg(valued(ValueKind::Rate, P), rate_words(QStringLiteral(" ")));
    s += QStringLiteral("        %1)\n            COMPREPLY=($(compgen -W \"1 2 3 4 5 6 7 8\" -- \"$cur\"))\n"
                        "            return ;;\n")
             .arg(valued(ValueKind::WaitMs, P));
    s += QStringLiteral("        %1)\n            _filedir\n            return ;;\n").arg(valued(ValueKind::File, P));
    s += QStringLiteral("        %1)\n            return ;;\n").arg(valued(ValueKind::Typed, P));
    s += QStringLiteral("        %1)\n            _filedir\n            return ;;\n").arg(arg(ActionArg::File));
    s += QStringLiteral("        %1)\n            _filedir\n"
                        "            COMPREPLY+=($(compgen -W \"%2\" -- \"$cur\"))\n            return ;;\n")
             .arg(arg(ActionArg::OptionalFile), actions);
    s += QStringLiteral("        %1)\n            COMPREPLY=($(compgen -W \"1 2\" -- \"$cur\"))\n            return ;;\n")
             .arg(arg(ActionArg::BootMode));
    s += QStringLiteral("    esac\n\n");
    s += QStringLiteral("    if [[ $cur == -* ]]; then\n        COMPREPLY=($(compgen -W \"%1\" -- \"$cur\"))\n"
                        "    elif ((cword == 1)); then\n        COMPREPLY=($(compgen -W \"%2 records\" -- \"$cur\"))\n"
                        "    else\n        COMPREPLY=($(compgen -W \"%2\" -- \"$cur\"))\n    fi\n}\n\n"
                        "complete -F _vqprog vqprog\n")
             .arg(options, actions);
    return s;
}
