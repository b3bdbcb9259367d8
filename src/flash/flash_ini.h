#pragma once

// Flash.ini, the catalogue of external flash parts by flash ID. Despite its
// name it is no INI file: every line but a "[FLASH]" heading is an entry of
// four comma-terminated fields (ID, two size factors, part name), and the
// characters a field does not keep are dropped wherever they stand.

#include <QByteArray>
#include <QString>
#include <cstdint>

constexpr int kFlashIniFieldMax = 267;           // kept characters per field (a 268-byte buffer)
constexpr int kReservedAreaBytes = 0x80000;      // flash bytes the reserved-area models keep for themselves
constexpr qint64 kFlashIniReadLimit = 1 << 20;   // bytes; a catalogue is a few kilobytes

// One line as the parser sees it.
struct FlashIniEntry {
    bool id_read = false;      // the ID field was ended by a comma
    uint32_t id = 0;
    bool first_read = false;   // each factor was ended by a comma
    bool second_read = false;
    uint32_t first_factor = 0;
    uint32_t second_factor = 0;
    bool name_read = false;    // the name was ended by a comma
    QString name;
    bool overlong = false;     // a field kept more than kFlashIniFieldMax characters
};

// True for a line that begins with "[FLASH]" in the first column.
bool is_flash_section_line(const QByteArray& line);

// Value of a numeric field from its kept characters: hexadecimal when the
// second is 'x'/'X' (3..10 characters, else 0), decimal otherwise (0 unless
// all digits and within 32 bits).
uint32_t flash_ini_field_value(const QByteArray& kept);

// Parses one line, given as Latin-1 bytes without its line end.
FlashIniEntry parse_flash_ini_entry(const QByteArray& line);

// Size in bytes: the signed product of the factors. A factor whose comma is
// missing counts as 0; a product outside the int range gives 0.
int flash_ini_entry_size(const FlashIniEntry& entry);

// True when the line defines id; then sets flash_size and flash_name. A line
// with an overlong field never matches.
bool Parse_FlashIniLine(const QByteArray& line, uint32_t id, int& flash_size, QString& flash_name);

struct FlashIniMatch {
    bool found = false;
    int size = 0;   // catalogue size, before any reserved-area reduction
    QString name;
};

// Looks id up in a whole file's bytes: lines end at '\n' (a '\r' before it is
// dropped), the last line needs no line end, "[FLASH]" lines are skipped, the
// first matching line wins.
FlashIniMatch lookup_flash_ini(const QByteArray& file, uint32_t id);

// The usable size: the reserved-area models lose the first 0x80000 bytes of
// any flash larger than that.
int usable_flash_size(int catalogue_size, uint32_t chip_id);

enum class FlashIniRead {
    Ok,
    Truncated,   // larger than kFlashIniReadLimit: only the whole lines within the limit
    Unreadable,  // missing, not a regular file, or not readable
};

struct FlashIniFile {
    FlashIniRead outcome = FlashIniRead::Unreadable;
    QByteArray bytes;
};

// "<current directory>/Flash.ini".
QString flash_ini_path();

// Reads the catalogue without ever blocking: only a regular file is read (a
// FIFO, a directory or a device is Unreadable), and at most kFlashIniReadLimit
// bytes of it.
FlashIniFile read_flash_ini(const QString& path);

// True when the file holds at least one line that defines a flash: its ID
// ended by a comma, a size above 0, no overlong field.
bool flash_ini_has_entry(const QByteArray& file);

// Why a lookup of id finds nothing, for the operator who has to mend the
// file: the catalogue itself says nothing when an ID is missing.
enum class FlashIniProblem { None, Unreadable, NoEntry, NotListed };
FlashIniProblem flash_ini_problem(const FlashIniFile& file, uint32_t id);
// One line naming the problem and the file; empty for None.
QString flash_ini_problem_text(FlashIniProblem problem, const QString& path, uint32_t id);

// Everything a lookup shows: the outcome of reading the file at path, the
// match and the texts of the three flash fields.
struct FlashCatalogueLookup {
    FlashIniRead read = FlashIniRead::Unreadable;
    bool found = false;
    int flash_size = 0;      // after the reserved-area reduction
    QString flash_name;
    QString id_text;         // "0x%x", shown also when nothing was found
    QString size_text;       // "%d"
    QString problem;         // why nothing was found (flash_ini_problem_text); empty when found
};
FlashCatalogueLookup lookup_flash_catalogue(const QString& path, uint32_t id, uint32_t chip_id);
