#pragma once

// The command line of vqprog: options, and the actions in the order given.

#include <QString>
#include <QStringList>
#include <QVector>

#include "production_options.h"
#include "protocol/link.h"

struct Action {
    QString name;  // "identify", "flash-info", "update-mcu", ...
    QString arg;   // the image file (absolute) or the BootMode number; may be empty
};

// Three silent blocks cost a few seconds; a chip that stopped answering
// would otherwise hold the line for a second per block of the image.
constexpr int kDefaultMaxTimeouts = 3;

// A board stopped in the middle of a command is connected again for this
// long while its boot loader answers out of turn: the longest command a stop
// leaves running is a flash CRC check, about 2 s over a 16 MiB flash at the
// simulator's pace; 10 s leaves room for a device five times slower.
constexpr int kDefaultBusyRetryMs = 10000;

struct Options {
    QStringList ports;  // empty: the port the window pre-selects
    bool ports_from_list = false;
    int baud_index = -1;      // -1: as the window starts
    int new_rate_index = -1;  // -1: as the window starts
    int wait_ms = 0;          // 0: as the window starts
    bool file_crc = false;
    bool skip_unchanged = false;  // updates write only the blocks the device does not already hold
    QString flash_ini;  // empty: Flash.ini in the working directory
    bool json = false;
    bool quiet = false;
    QString log_file;
    int max_parallel = 0;  // 0: one child per port
    // Block writes in a row that get no reply before an update ends as failed;
    // 0 keeps the window's rule (a timed-out block counts as written).
    int max_timeouts = kDefaultMaxTimeouts;
    int busy_retry_ms = kDefaultBusyRetryMs;  // 0: one connect, as the window makes
    QVector<Action> actions;
    ProductionOptions production;  // stamps, serial numbers, records
};

enum class ParseOutcome { Run, Help, Version, BadUsage };

struct ParseResult {
    ParseOutcome outcome = ParseOutcome::BadUsage;
    Options options;
    QString error;  // for BadUsage
    QString help;   // the usage text
};

// args: the whole command line, program name first. File arguments are made
// absolute against the working directory and must name a readable file.
ParseResult parse_command_line(const QStringList& args);

// The link a run starts with: the rates and wait its options name, the
// window's start-up values for those they do not.
LinkSettings link_settings(const Options& options);

// The arguments that make a child vqprog do the same work on one port: the
// one writer of a child's command line, for the gang's parent and the station.
QStringList child_arguments(const Options& options, const QString& port);

// The index in the rate list of a rate in bits per second; -1 when not in it.
int baud_index_of(int rate);

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitDeviceGone = 3;
