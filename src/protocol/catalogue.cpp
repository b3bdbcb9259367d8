#include "protocol/catalogue.h"

namespace {
constexpr unsigned R = kRunAddressSet;
constexpr unsigned F = kFlashSet128M;
constexpr unsigned V = kReservedAreaSet;
constexpr PacketForm W = PacketForm::Wide512;
constexpr PacketForm N = PacketForm::Narrow64;
constexpr AppStore I = AppStore::InternalFlash;
constexpr AppStore X = AppStore::ExternalFlash;

// The run-address models' MCU limits do not follow the catalogued sizes.
constexpr uint32_t kRunAddressLimit = 0x77800;
constexpr uint32_t kVq4420Limit = 0x75800;
// VQ210 Uart0's own code takes the flash below its flash image.
constexpr uint32_t kVq210Uart0FlashImageBase = 0x80000;
}  // namespace

// name, chip ID, MCU size, sets, packets, application, flash image at, MCU update limit, boot loader
const ChipModel kChipModels[kChipModelCount] = {
    {"VQ4410", 0x19714410, 0x1F8000, F, W, I, 0, 0x1F8000, nullptr},
    {"VQ210", 0x19712100, 0x76000, F | V, W, I, 0, 0x76000, nullptr},
    // A VQ210 reached through another UART: the same boot loader.
    {"VQ210 Uart0", kVq210Uart0ChipId, 0x76000, F | V, W, X, kVq210Uart0FlashImageBase, 0x76000, "VQ210"},
    {"VQ230", 0x19712300, 0x76000, V, W, I, 0, 0x76000, nullptr},
    {"VQ330", 0x19713300, 0x76000, V, W, I, 0, 0x76000, nullptr},
    {"VQ250A", 0x1971250A, 0x76000, F, W, I, 0, 0x76000, nullptr},
    {"VQ250B", 0x1971250B, 0x1F8000, F, W, I, 0, 0x1F8000, nullptr},
    {"VQ250C", 0x1971250C, 0x76000, V, W, I, 0, 0x76000, nullptr},
    {"VQ250D", 0x1971250D, 0x76000, V, W, I, 0, 0x76000, nullptr},
    {"VQ350A", kVq350AChipId, 0xE800, 0, N, I, 0, 0xE800, nullptr},
    {"VQ350B", 0x1971350B, 0x74000, R | F, W, I, 0, kRunAddressLimit, nullptr},
    {"VQ360", 0x19713600, 0x74000, R | F, W, I, 0, kRunAddressLimit, nullptr},
    {"VQ350C", 0x1971350C, 0x74000, R | F, W, I, 0, kRunAddressLimit, nullptr},
    {"VQ350D", 0x1971350D, 0x74000, R | F, W, I, 0, kRunAddressLimit, nullptr},
    {"VQ4420", kVq4420ChipId, 0x74000, R | F, W, I, 0, kVq4420Limit, nullptr},
    {"VQ340", 0x19713400, 0x70000, F, W, I, 0, 0x70000, nullptr},
    {"VQ470", 0x19714700, 0x1F8000, F, W, I, 0, 0x1F8000, nullptr},
};

namespace {
// What an ID in no row gets: the first model's name and limits, no set.
const ChipModel kUnlistedModel = {"VQ4410", 0, 0x1F8000, 0, W, I, 0, 0x1F8000, nullptr};
}  // namespace

int model_index_of(uint32_t chip_id)
{
    int index = 0;
    for (int i = 0; i < kChipModelCount; ++i) {
        if (kChipModels[i].chip_id == chip_id)
            index = i;
    }
    return index;
}

const ChipModel& chip_model(uint32_t chip_id)
{
    for (const ChipModel& m : kChipModels) {
        if (m.chip_id == chip_id)
            return m;
    }
    return kUnlistedModel;
}

QString model_name(int index)
{
    if (index < 0 || index >= kChipModelCount)
        return QString();
    return QString::fromLatin1(kChipModels[index].name);
}

QString version_label(uint32_t chip_id)
{
    const ChipModel& m = chip_model(chip_id);
    return QString::fromLatin1(m.boot_name ? m.boot_name : m.name) + QStringLiteral(" Boot_Version:");
}

bool in_run_address_set(uint32_t chip_id) { return (chip_model(chip_id).sets & kRunAddressSet) != 0; }
bool in_flash_set_128m(uint32_t chip_id) { return (chip_model(chip_id).sets & kFlashSet128M) != 0; }
bool in_reserved_area_set(uint32_t chip_id) { return (chip_model(chip_id).sets & kReservedAreaSet) != 0; }
