// Any Flash.ini content: the lookup terminates, keeps names within the field
// buffer and the printable range, and still finds an entry appended at the end.
#include <QByteArray>
#include <QString>
#include <cstdint>
#include <cstdlib>

#include "flash/flash_ini.h"

namespace {
void check_name(const QString& name)
{
    if (name.size() > kFlashIniFieldMax)
        abort();
    for (QChar c : name) {
        if (c.unicode() < 0x21 || c.unicode() > 0x7F)
            abort();
    }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4)
        return 0;
    const uint32_t id = uint32_t(data[0]) | (uint32_t(data[1]) << 8) | (uint32_t(data[2]) << 16) |
                        (uint32_t(data[3]) << 24);
    // Not copied, so the sanitizer sees any read past the input.
    const QByteArray file = QByteArray::fromRawData(reinterpret_cast<const char*>(data + 4), int(size - 4));

    const FlashIniEntry entry = parse_flash_ini_entry(file);
    check_name(entry.name);
    if (entry.name_read && !(entry.id_read && entry.first_read && entry.second_read))
        abort();
    flash_ini_field_value(file);

    const FlashIniMatch match = lookup_flash_ini(file, id);
    check_name(match.name);
    if (!match.found && (match.size != 0 || !match.name.isEmpty()))
        abort();

    const QByteArray appended = file + "\n0x" + QByteArray::number(id, 16) + ",2,3,N,";
    const FlashIniMatch last = lookup_flash_ini(appended, id);
    if (!last.found || (!match.found && (last.size != 6 || last.name != QLatin1String("N"))))
        abort();

    const int usable = usable_flash_size(match.size, id);
    if (usable > match.size || (usable != match.size && usable != match.size - kReservedAreaBytes))
        abort();
    return 0;
}
