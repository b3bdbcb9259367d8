#include "records_command.h"

#include <QCommandLineParser>
#include <QJsonArray>
#include <QJsonDocument>
#include <cstdio>

#include "command_table.h"
#include "options.h"
#include "records.h"

namespace {

QString usage_line()
{
    return QStringLiteral("usage: ") + records_usage_line();
}
const char kCsvNote[] =
    "CSV fields that start with = + - or @ are written with a leading ' so that a spreadsheet shows them as text.";

void put(FILE* stream, const QString& line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
}

int usage(const QString& why)
{
    put(stderr, QStringLiteral("error: ") + why);
    put(stderr, usage_line());
    return kExitUsage;
}

// The record's fields in column order; null fields as invalid variants.
QVariantList fields_of(const BoardRecord& r)
{
    const auto text = [](const QString& s) { return s.isEmpty() ? QVariant() : QVariant(s); };
    const auto number = [](qint64 v) { return v < 0 ? QVariant() : QVariant(v); };
    return {
        r.id,
        r.time_utc.toUTC().toString(Qt::ISODateWithMs),
        r.station,
        text(r.port),
        text(r.chip_model),
        text(r.chip_id),
        text(r.boot_version),
        text(r.flash_id),
        text(r.flash_name),
        text(r.action),
        text(r.image_file),
        number(r.image_length),
        text(r.image_crc),
        text(r.stamps.join(QLatin1Char(' '))),
        r.verdict,
        r.exit_code,
        r.seconds,
        number(r.bytes_written),
        number(r.bytes_skipped),
        number(r.serial),
        text(r.counter),
    };
}

}  // namespace

QString csv_field(const QString& text)
{
    QString s = text;
    if (s.startsWith(QLatin1Char('=')) || s.startsWith(QLatin1Char('+')) || s.startsWith(QLatin1Char('-')) ||
        s.startsWith(QLatin1Char('@')))
        s.prepend(QLatin1Char('\''));
    if (s.contains(QLatin1Char(',')) || s.contains(QLatin1Char('"')) || s.contains(QLatin1Char('\n')) ||
        s.contains(QLatin1Char('\r'))) {
        s.replace(QLatin1String("\""), QLatin1String("\"\""));
        s = QLatin1Char('"') + s + QLatin1Char('"');
    }
    return s;
}

// Qt's JSON writer takes every number through a double, which rounds serial
// numbers past 2^53: integers are written here, the rest by Qt.
QString json_line(const QStringList& names, const QVariantList& fields)
{
    QStringList members;
    for (int i = 0; i < names.size(); ++i) {
        const QVariant& f = fields.value(i);
        QByteArray value;
        if (f.type() == QVariant::LongLong || f.type() == QVariant::Int) {
            value = QByteArray::number(f.toLongLong());
        } else {
            value = QJsonDocument(QJsonArray{QJsonValue::fromVariant(f)}).toJson(QJsonDocument::Compact);
            value = value.mid(1, value.size() - 2);
        }
        members << QLatin1Char('"') + names[i] + QStringLiteral("\":") + QString::fromUtf8(value);
    }
    return QLatin1Char('{') + members.join(QLatin1Char(',')) + QLatin1Char('}');
}

int run_records_command(const QStringList& args)
{
    QCommandLineParser parser;
    parser.addOptions(table_options(OptionScope::Records));
    const QString json = QStringLiteral("json");
    const QString serial = QStringLiteral("serial");
    const QString since = QStringLiteral("since");
    const QString station = QStringLiteral("station");
    const QCommandLineOption help = parser.addHelpOption();
    // The parser sees "vqprog records" as the program name.
    const QStringList rest = QStringList{args.value(0) + QStringLiteral(" records")} + args.mid(2);
    if (!parser.parse(rest))
        return usage(parser.errorText());
    if (parser.isSet(help)) {
        put(stdout, usage_line() + QLatin1Char('\n') + parser.helpText().section(QLatin1Char('\n'), 1) +
                        QLatin1String(kCsvNote));
        return kExitOk;
    }
    if (parser.positionalArguments().size() != 1)
        return usage(QStringLiteral("give one TARGET: a records file or a postgresql:// URL"));

    RecordFilter filter;
    if (parser.isSet(serial)) {
        bool ok = false;
        filter.serial = parser.value(serial).toLongLong(&ok);
        if (!ok || filter.serial < 0)
            return usage(QStringLiteral("--serial takes a number from 0"));
    }
    if (parser.isSet(since)) {
        filter.since = parse_since(parser.value(since));
        if (!filter.since.isValid())
            return usage(QStringLiteral("--since takes a date (2024-05-01) or an ISO time (2024-05-01T13:00:00Z)"));
    }
    filter.station = parser.value(station);

    QString error;
    const auto db = RecordsDb::open(parser.positionalArguments()[0], RecordsDb::Access::Read, &error);
    if (!db) {
        put(stderr, QStringLiteral("error: ") + error);
        return kExitUsage;
    }
    QVector<BoardRecord> records;
    if (!db->list(filter, &records, &error)) {
        put(stderr, QStringLiteral("error: ") + error);
        return kExitFailed;
    }

    const QStringList names = record_column_names();
    if (!parser.isSet(json))
        put(stdout, names.join(QLatin1Char(',')));
    for (const BoardRecord& r : records) {
        const QVariantList fields = fields_of(r);
        if (parser.isSet(json)) {
            put(stdout, json_line(names, fields));
        } else {
            QStringList cells;
            for (const QVariant& f : fields)
                cells << csv_field(f.isValid() ? f.toString() : QString());
            put(stdout, cells.join(QLatin1Char(',')));
        }
    }
    std::fflush(stdout);
    return kExitOk;
}
