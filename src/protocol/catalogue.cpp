#include "protocol/catalogue.h"

namespace {
constexpr unsigned R = kRunAddressSet;
constexpr unsigned F = kFlashSet128M;
constexpr unsigned V = kReservedAreaSet;
}  // namespace

const ChipModel kChipModels[kChipModelCount] = {
    {"VQ4410", 0x19714410, 0x1F8000, F},
    {"VQ210", 0x19712100, 0x76000, F | V},
    {"VQ210 Uart0", kVq210Uart0ChipId, 0x76000, F | V},
    {"VQ230", 0x19712300, 0x76000, V},
    {"VQ330", 0x19713300, 0x76000, V},
    {"VQ250A", 0x1971250A, 0x76000, F},
    {"VQ250B", 0x1971250B, 0x1F8000, F},
    {"VQ250C", 0x1971250C, 0x76000, V},
    {"VQ250D", 0x1971250D, 0x76000, V},
    {"VQ350A", kVq350AChipId, 0xE800, 0},
    {"VQ350B", 0x1971350B, 0x74000, R | F},
    {"VQ360", 0x19713600, 0x74000, R | F},
    {"VQ350C", 0x1971350C, 0x74000, R | F},
    {"VQ350D", 0x1971350D, 0x74000, R | F},
    {"VQ4420", 0x19714420, 0x74000, R | F},
    {"VQ340", 0x19713400, 0x70000, F},
    {"VQ470", 0x19714700, 0x1F8000, F},
};

int model_index_of(uint32_t chip_id)
{
    int index = 0;
    for (int i = 0; i < kChipModelCount; ++i) {
        if (kChipModels[i].chip_id == chip_id)
            index = i;
    }
    return index;
}

QString model_name(int index)
{
    if (index < 0 || index >= kChipModelCount)
        return QString();
    return QString::fromLatin1(kChipModels[index].name);
}

QString version_label(uint32_t chip_id)
{
    // VQ210 Uart0 is a VQ210 reached through another UART: same boot loader.
    if (is_vq210_uart0(chip_id))
        return QStringLiteral("VQ210 Boot_Version:");
    return model_name(model_index_of(chip_id)) + QStringLiteral(" Boot_Version:");
}

namespace {
bool in_set(uint32_t chip_id, unsigned set)
{
    for (const ChipModel& m : kChipModels) {
        if (m.chip_id == chip_id)
            return (m.sets & set) != 0;
    }
    return false;
}
}  // namespace

bool in_run_address_set(uint32_t chip_id) { return in_set(chip_id, kRunAddressSet); }
bool in_flash_set_128m(uint32_t chip_id) { return in_set(chip_id, kFlashSet128M); }
bool in_reserved_area_set(uint32_t chip_id) { return in_set(chip_id, kReservedAreaSet); }
