#include "production_options.h"

#include <QCommandLineParser>
#include <QFileInfo>
#include <algorithm>

#include "command_table.h"
#include "flashimage/flash_limits.h"
#include "options.h"
#include "platform/file_read.h"
#include "records.h"

namespace {

const QString kStamp = QStringLiteral("stamp");
const QString kSerial = QStringLiteral("serial");
const QString kCounter = QStringLiteral("serial-counter");
const QString kStart = QStringLiteral("serial-start");
const QString kRecords = QStringLiteral("records");
const QString kStation = QStringLiteral("station");

bool read_number(const QCommandLineParser& parser, const QString& name, qint64* value, QString* error)
{
    if (!parser.isSet(name))
        return true;
    bool ok = false;
    *value = parser.value(name).toLongLong(&ok);
    if (!ok || *value < 0) {
        *error = QStringLiteral("--%1 takes a number from 0").arg(name);
        return false;
    }
    return true;
}

// The station's name goes to terminals and spreadsheets: an escape sequence
// in it would play there.
bool has_control_character(const QString& text)
{
    return std::any_of(text.begin(), text.end(), [](QChar c) { return c.category() == QChar::Other_Control; });
}

const char* memory_name(StampMemory memory)
{
    return memory == StampMemory::Flash ? "the external flash (update-flash)" : "the MCU (update-mcu)";
}

}  // namespace

void add_production_options(QCommandLineParser& parser)
{
    for (const QString& name : {kStamp, kSerial, kCounter, kStart, kRecords, kStation})
        parser.addOption(table_option(name));
}

bool read_production_options(const QCommandLineParser& parser, bool several_boards, ProductionOptions* out,
                             QString* error)
{
    ProductionOptions& p = *out;
    for (const QString& text : parser.values(kStamp)) {
        const StampParse parsed = parse_board_stamp(text);
        if (!parsed.ok) {
            *error = parsed.error;
            return false;
        }
        p.stamps.append(parsed.stamp);
    }
    if (!read_number(parser, kSerial, &p.serial, error) || !read_number(parser, kStart, &p.serial_start, error))
        return false;
    p.serial_counter = parser.value(kCounter);
    p.station = parser.value(kStation);
    if (parser.isSet(kRecords)) {
        p.records = parser.value(kRecords);
        // Children and a --flash-ini run change folders: a file is named absolutely.
        if (!p.records.contains(QLatin1String("://")) && !p.records.isEmpty())
            p.records = QFileInfo(p.records).absoluteFilePath();
    }

    if (parser.isSet(kCounter) && p.serial_counter.isEmpty())
        *error = QStringLiteral("--serial-counter takes a name");
    else if (parser.isSet(kStation) && p.station.isEmpty())
        *error = QStringLiteral("--station takes a name");
    else if (has_control_character(p.station))
        *error = QStringLiteral("--station takes a name without control characters (tabs, line breaks, escapes)");
    else if (parser.isSet(kRecords) && p.records.isEmpty())
        *error = QStringLiteral("--records takes a file or a postgresql:// URL");
    else if (p.serial >= 0 && !p.serial_counter.isEmpty())
        *error = QStringLiteral("--serial and --serial-counter exclude each other");
    else if (p.serial >= 0 && several_boards)
        *error = QStringLiteral("--serial numbers one board; for several, use --serial-counter");
    else if (!p.serial_counter.isEmpty() && p.records.isEmpty())
        *error = QStringLiteral("--serial-counter keeps its counter in the records: give --records");
    else if (p.serial_start >= 0 && p.serial_counter.isEmpty())
        *error = QStringLiteral("--serial-start is the first number of a --serial-counter");
    else if (!p.stamps.isEmpty() && !p.takes_serial())
        *error = QStringLiteral("--stamp needs a serial number: --serial N or --serial-counter NAME");
    return error->isEmpty();
}

QStringList production_child_arguments(const ProductionOptions& p)
{
    QStringList args;
    if (!p.records.isEmpty())
        args << QStringLiteral("--records") << p.records;
    if (!p.station.isEmpty())
        args << QStringLiteral("--station") << p.station;
    if (p.serial >= 0)
        args << QStringLiteral("--serial") << QString::number(p.serial);
    if (!p.serial_counter.isEmpty())
        args << QStringLiteral("--serial-counter") << p.serial_counter;
    if (p.serial_start >= 0)
        args << QStringLiteral("--serial-start") << QString::number(p.serial_start);
    for (const BoardStamp& s : p.stamps)
        args << QStringLiteral("--stamp") << s.text;
    return args;
}

bool action_image_memory(const Action& action, StampMemory* memory, bool* updates)
{
    const QString& n = action.name;
    if (n == QLatin1String("update-flash") || n == QLatin1String("check-flash"))
        *memory = StampMemory::Flash;
    else if (n == QLatin1String("update-mcu") || n == QLatin1String("check-mcu"))
        *memory = StampMemory::Mcu;
    else
        return false;
    *updates = n.startsWith(QLatin1String("update-"));
    return true;
}

QStringList check_stamps_against_images(const Options& options)
{
    const ProductionOptions& p = options.production;
    QStringList errors;
    if (p.stamps.isEmpty())
        return errors;
    bool updated[2] = {false, false};
    for (const Action& a : options.actions) {
        StampMemory memory;
        bool updates = false;
        if (!action_image_memory(a, &memory, &updates))
            continue;
        updated[int(memory)] = updated[int(memory)] || updates;
        if (a.arg.isEmpty())
            continue;
        const WholeFileRead file = read_whole_file(a.arg, kMaxImageFileBytes);
        if (file.status != WholeFileStatus::Ok) {
            errors << whole_file_problem(a.arg, file, kMaxImageFileBytes);
            continue;
        }
        for (const QString& e : check_board_stamps(p.stamps, memory, file.bytes, QFileInfo(a.arg).fileName())) {
            if (!errors.contains(e))  // an image checked twice (update, then check) refuses once
                errors << e;
        }
    }
    for (const BoardStamp& s : p.stamps) {
        if (!updated[int(s.memory)])
            errors << QStringLiteral("stamp %1: no action updates %2").arg(s.text, memory_name(s.memory));
    }
    if (p.serial >= 0)
        errors += check_stamp_serial(p.stamps, p.serial);
    return errors;
}

QStringList production_refusals(const Options& options)
{
    QStringList errors = check_stamps_against_images(options);
    const ProductionOptions& p = options.production;
    if (!errors.isEmpty() || p.records.isEmpty())
        return errors;
    QString error;
    const auto db = RecordsDb::open(p.records, RecordsDb::Access::Write, &error);
    if (!db || (!p.serial_counter.isEmpty() && !db->add_counter(p.serial_counter, p.serial_start, &error)))
        errors << error;
    return errors;
}
