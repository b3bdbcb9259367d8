#pragma once

// What a production line adds to vqprog's command line: per-board stamps,
// where each board's serial number comes from, and where every board is
// recorded. Read with the rest of the options; checked against the images
// and the records database before any board is touched.

#include <QString>
#include <QStringList>
#include <QVector>

#include "flashimage/board_stamp.h"

class QCommandLineParser;
struct Action;
struct Options;

struct ProductionOptions {
    QVector<BoardStamp> stamps;  // in the order given
    qint64 serial = -1;          // --serial: one board's number
    QString serial_counter;      // --serial-counter: numbers from the records database
    qint64 serial_start = -1;    // --serial-start: a new counter's first number
    QString records;             // --records: a file (absolute) or a postgresql:// URL
    QString station;             // --station; empty: the host name

    bool takes_serial() const { return serial >= 0 || !serial_counter.isEmpty(); }
};

void add_production_options(QCommandLineParser& parser);

// several_boards: a gang (--serial names one board's number).
bool read_production_options(const QCommandLineParser& parser, bool several_boards, ProductionOptions* out,
                             QString* error);

// Set in a gang's children: the parent opened (and created) the records and
// the counter before the first child started. A child never creates either:
// one removed during the run fails its board rather than start again from
// an empty file and hand out the same numbers twice.
constexpr char kRecordsOpenedEnv[] = "VQPROG_RECORDS_OPENED";

QStringList production_child_arguments(const ProductionOptions& options);

// The memory an action's image is for, and whether the action writes it.
bool action_image_memory(const Action& action, StampMemory* memory, bool* updates);

// The stamps against the images they go into: each stamp's memory must be
// updated by some action, and must fit every image of that memory; a
// --serial must fit every stamp. One message per refusal, each naming the
// stamp; empty when all is well. Reads the image files, touches no board.
QStringList check_stamps_against_images(const Options& options);

// Everything above, and the records database and the counter opened (and
// created) once: what a gang's parent checks before it starts any child.
QStringList production_refusals(const Options& options);
