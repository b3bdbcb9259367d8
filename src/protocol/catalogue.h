#pragma once

// The VQ chip models the tool knows, in the order the port session probes
// them, and what each one needs. Behaviour that depends on the model asks
// the model's row (chip_model) or the set predicates below, never compares
// chip IDs.

#include <QString>
#include <cstdint>

enum ModelSet : unsigned {
    kRunAddressSet = 1u << 0,    // run address read from the image, own size limits
    kFlashSet128M = 1u << 1,     // a 128 MiB flash is switched to NAND mode first
    kReservedAreaSet = 1u << 2,  // the first 0x80000 flash bytes are reserved
};

// How the boot loader takes a block sent as several frames: 512-byte frames
// everywhere but on VQ350A, which takes 64-byte frames (and sends no reply
// to an external flash block).
enum class PacketForm { Wide512, Narrow64 };

// Where the application the MCU buttons write lives. A model that keeps it
// in the external flash runs it by itself: it has no Run, its MCU image is
// written and checked in the external flash from address
// kExternalAppAddress, and its flash image lies above it.
enum class AppStore { InternalFlash, ExternalFlash };
constexpr uint32_t kExternalAppAddress = 0;

struct ChipModel {
    const char* name;
    uint32_t chip_id;
    uint32_t max_mcu_size;      // bytes of internal flash an MCU image may take, as catalogued
    unsigned sets;              // ModelSet bits
    PacketForm packets;         // of the MCU and flash block streams
    AppStore app;
    uint32_t flash_image_base;  // external flash address of the flash image
    uint32_t mcu_update_limit;  // the MCU update's limit: max_mcu_size but on the run-address models
    const char* boot_name;      // the boot loader's name in the version label; null: the model's own
};

constexpr int kChipModelCount = 17;
constexpr uint32_t kUnknownChipId = 0x19710000;  // port open, no model identified
constexpr uint32_t kVq210Uart0ChipId = 0x19710210;
constexpr uint32_t kVq350AChipId = 0x1971350A;
constexpr uint32_t kVq4420ChipId = 0x19714420;

extern const ChipModel kChipModels[kChipModelCount];

// The row of the model with this chip ID. An ID in no row gets the first
// model's name and limits but belongs to none of the sets.
const ChipModel& chip_model(uint32_t chip_id);

// Index of the model with this chip ID; 0 (VQ4410) for an ID in no entry.
int model_index_of(uint32_t chip_id);

QString model_name(int index);

// The label in front of the boot-loader version after an identify-mode
// connect with this expected chip ID, e.g. "VQ350A Boot_Version:".
QString version_label(uint32_t chip_id);

bool in_run_address_set(uint32_t chip_id);
bool in_flash_set_128m(uint32_t chip_id);
bool in_reserved_area_set(uint32_t chip_id);
