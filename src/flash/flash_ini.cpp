#include "flash/flash_ini.h"

#include <QDir>
#include <limits>

#include "platform/file_read.h"
#include "protocol/catalogue.h"
#include "protocol/hex_text.h"

namespace {
constexpr char kSectionLine[] = "[FLASH]";
constexpr int kSectionLineLen = 7;
constexpr int kHexMinChars = 3;    // "0x" and one digit
constexpr int kHexMaxChars = 10;   // "0x" and eight digits
constexpr int kFieldCount = 4;

bool is_hex_digit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

bool is_x(char c)
{
    return c == 'x' || c == 'X';
}

bool kept_in_field(int field, char c)
{
    const auto u = static_cast<unsigned char>(c);
    if (field < kFieldCount - 1)
        return is_hex_digit(c) || is_x(c);
    return u >= 0x21 && u <= 0x7F;
}

uint32_t hex_digit_value(char c)
{
    if (c >= '0' && c <= '9')
        return uint32_t(c - '0');
    if (c >= 'A' && c <= 'F')
        return uint32_t(c - 'A' + 10);
    if (c >= 'a' && c <= 'f')
        return uint32_t(c - 'a' + 10);
    return 0;  // an 'x' among the digits counts as 0
}

// Turns a line read in the local 8-bit encoding into the Latin-1 bytes the
// parser looks at; plain ASCII lines are the same in both.
QByteArray as_latin1(const QByteArray& raw)
{
    for (char c : raw) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return QString::fromLocal8Bit(raw.constData(), raw.size()).toLatin1();  // NULs included
    }
    return raw;
}
}  // namespace

bool is_flash_section_line(const QByteArray& line)
{
    return line.startsWith(QByteArray::fromRawData(kSectionLine, kSectionLineLen));
}

uint32_t flash_ini_field_value(const QByteArray& kept)
{
    const int n = kept.size();
    if (n >= 2 && is_x(kept[1])) {
        if (n < kHexMinChars || n > kHexMaxChars)
            return 0;
        // The first character is never looked at: 1x10 reads as 0x10.
        uint32_t value = 0;
        for (int i = 2; i < n; ++i)
            value = (value << 4) | hex_digit_value(kept[i]);
        return value;
    }
    if (n == 0)
        return 0;
    uint64_t value = 0;
    for (char c : kept) {
        if (c < '0' || c > '9')
            return 0;
        value = value * 10 + uint64_t(c - '0');
        if (value > std::numeric_limits<uint32_t>::max())
            return 0;
    }
    return uint32_t(value);
}

FlashIniEntry parse_flash_ini_entry(const QByteArray& line)
{
    FlashIniEntry entry;
    char kept[kFlashIniFieldMax];
    int kept_len = 0;
    int field = 0;
    for (char c : line) {
        if (c != ',') {
            if (!kept_in_field(field, c))
                continue;
            if (kept_len == kFlashIniFieldMax) {
                entry.overlong = true;
                return entry;
            }
            kept[kept_len++] = c;
            continue;
        }
        const QByteArray text(kept, kept_len);
        kept_len = 0;
        switch (field++) {
        case 0:
            entry.id_read = true;
            entry.id = flash_ini_field_value(text);
            break;
        case 1:
            entry.first_read = true;
            entry.first_factor = flash_ini_field_value(text);
            break;
        case 2:
            entry.second_read = true;
            entry.second_factor = flash_ini_field_value(text);
            break;
        default:
            // The name's comma ends the entry; whatever follows is a remark.
            entry.name_read = true;
            entry.name = QString::fromLatin1(text);
            return entry;
        }
    }
    return entry;
}

int flash_ini_entry_size(const FlashIniEntry& entry)
{
    // The factors are signed words: a hexadecimal 0xFFFFFFFF is -1.
    const int64_t first = entry.first_read ? int32_t(entry.first_factor) : 0;
    const int64_t second = entry.second_read ? int32_t(entry.second_factor) : 0;
    const int64_t size = first * second;
    if (size > std::numeric_limits<int>::max() || size < std::numeric_limits<int>::min())
        return 0;
    return int(size);
}

bool Parse_FlashIniLine(const QByteArray& line, uint32_t id, int& flash_size, QString& flash_name)
{
    const FlashIniEntry entry = parse_flash_ini_entry(line);
    if (entry.overlong || !entry.id_read || entry.id != id)
        return false;
    flash_size = flash_ini_entry_size(entry);
    flash_name = entry.name_read ? entry.name : QString();
    return true;
}

namespace {
// Calls take(line) for every line but the "[FLASH]" ones, as Latin-1 bytes
// without their line end, until it returns true; true when one did.
template <typename Take>
bool scan_entry_lines(const QByteArray& file, Take take)
{
    int from = 0;
    while (from < file.size()) {
        int end = file.indexOf('\n', from);
        const int next = end < 0 ? file.size() : end + 1;
        if (end < 0)
            end = file.size();
        int len = end - from;
        if (len > 0 && file[end - 1] == '\r')
            --len;
        const QByteArray line = as_latin1(QByteArray::fromRawData(file.constData() + from, len));
        from = next;
        if (!is_flash_section_line(line) && take(line))
            return true;
    }
    return false;
}
}  // namespace

FlashIniMatch lookup_flash_ini(const QByteArray& file, uint32_t id)
{
    FlashIniMatch match;
    match.found = scan_entry_lines(file, [&](const QByteArray& line) {
        return Parse_FlashIniLine(line, id, match.size, match.name);
    });
    return match;
}

bool flash_ini_has_entry(const QByteArray& file)
{
    return scan_entry_lines(file, [](const QByteArray& line) {
        const FlashIniEntry e = parse_flash_ini_entry(line);
        return e.id_read && !e.overlong && flash_ini_entry_size(e) > 0;
    });
}

FlashIniProblem flash_ini_problem(const FlashIniFile& file, uint32_t id)
{
    if (file.outcome == FlashIniRead::Unreadable)
        return FlashIniProblem::Unreadable;
    if (!flash_ini_has_entry(file.bytes))
        return FlashIniProblem::NoEntry;
    return lookup_flash_ini(file.bytes, id).found ? FlashIniProblem::None : FlashIniProblem::NotListed;
}

QString flash_ini_problem_text(FlashIniProblem problem, const QString& path, uint32_t id)
{
    switch (problem) {
    case FlashIniProblem::None:
        break;
    case FlashIniProblem::Unreadable:
        return QStringLiteral("Flash.ini: cannot read ") + path;
    case FlashIniProblem::NoEntry:
        return QStringLiteral("Flash.ini: no valid flash line in ") + path;
    case FlashIniProblem::NotListed:
        return QStringLiteral("Flash.ini: flash ID ") + hex_lower_text(id) + QStringLiteral(" is not listed in ") + path;
    }
    return QString();
}

int usable_flash_size(int catalogue_size, uint32_t chip_id)
{
    if (in_reserved_area_set(chip_id) && catalogue_size > kReservedAreaBytes)
        return catalogue_size - kReservedAreaBytes;
    return catalogue_size;
}

QString flash_ini_path()
{
    return QDir::currentPath() + QStringLiteral("/Flash.ini");
}

FlashIniFile read_flash_ini(const QString& path)
{
    FlashIniFile result;
    FileRead file = read_regular_file(path, kFlashIniReadLimit);
    if (!file.ok)
        return result;
    if (file.truncated) {
        // Only whole lines: a line cut in the middle could read as another entry.
        file.bytes.truncate(file.bytes.lastIndexOf('\n') + 1);
        result.outcome = FlashIniRead::Truncated;
    } else {
        result.outcome = FlashIniRead::Ok;
    }
    result.bytes = std::move(file.bytes);
    return result;
}

FlashCatalogueLookup lookup_flash_catalogue(const QString& path, uint32_t id, uint32_t chip_id)
{
    FlashCatalogueLookup lookup;
    const FlashIniFile file = read_flash_ini(path);
    lookup.read = file.outcome;
    if (file.outcome != FlashIniRead::Unreadable) {
        const FlashIniMatch match = lookup_flash_ini(file.bytes, id);
        lookup.found = match.found;
        lookup.flash_size = match.size;
        lookup.flash_name = match.name;
    }
    lookup.problem = flash_ini_problem_text(flash_ini_problem(file, id), path, id);
    lookup.flash_size = usable_flash_size(lookup.flash_size, chip_id);
    lookup.id_text = hex_lower_text(id);
    lookup.size_text = QString::number(lookup.flash_size);
    return lookup;
}
