#pragma once

// `vqprog records TARGET [--json] [--serial N] [--since DATE] [--station NAME]`:
// prints the production records as CSV with a header line, or as JSON lines.
// Touches no board and writes nothing to the database.

#include <QStringList>
#include <QVariantList>

// args: the whole command line, program name first, "records" second.
// Exit 0 on success (also with no record matching), 1 when the records
// cannot be read, 2 on bad arguments or a target that cannot be opened.
int run_records_command(const QStringList& args);

// One CSV field (RFC 4180). A field a spreadsheet would run as a formula
// (starting with = + - or @) gets a leading ' so that it shows as text.
QString csv_field(const QString& text);

// One JSON line of a record's fields; 64-bit integers written whole.
QString json_line(const QStringList& names, const QVariantList& fields);
