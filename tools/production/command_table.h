#pragma once

// vqprog's actions and options, one row each. The parsers, the usage text's
// action list and the bash completion are all made from these rows, so that
// a new option cannot reach one of them and miss another.

#include <QCommandLineOption>
#include <QList>
#include <QString>
#include <QVector>

// What an option's value is, for the completion: what to offer after it.
enum class ValueKind {
    None,    // a switch
    Port,    // the serial ports
    Rate,    // the rates of the window's list
    WaitMs,  // 1 to 8
    File,    // a file name (or a URL the user types)
    Typed,   // a number, a name or a stamp: nothing to offer
};

// The records subcommand takes options of its own.
enum class OptionScope { Programming, Records };

struct OptionRow {
    QString name;
    ValueKind value;
    QString value_name;  // empty for a switch
    QString description;
    OptionScope scope;
};

enum class ActionArg { None, OptionalFile, File, BootMode };

struct ActionRow {
    QString name;
    ActionArg arg;
    QString description;
};

const QVector<ActionRow>& action_rows();
const ActionRow* find_action_row(const QString& name);
const QVector<OptionRow>& option_rows();

// The parser's option made from its row; every name used must have one.
QCommandLineOption table_option(const QString& name);
QList<QCommandLineOption> table_options(OptionScope scope);

// The usage text's list of actions, one line each.
QString action_list_text();
// "vqprog records TARGET [--json] [--serial N] ...".
QString records_usage_line();
// The bash completion script for vqprog.
QString bash_completion_script();
