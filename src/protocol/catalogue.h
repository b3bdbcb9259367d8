#pragma once

// The VQ chip models the tool knows, in the order the port session probes
// them. Behaviour that depends on the model goes through the set predicates
// below, never through a comparison with a model's name.

#include <QString>
#include <cstdint>

enum ModelSet : unsigned {
    kRunAddressSet = 1u << 0,    // run address read from the image, own size limits
    kFlashSet128M = 1u << 1,     // a 128 MiB flash is switched to NAND mode first
    kReservedAreaSet = 1u << 2,  // the first 0x80000 flash bytes are reserved
};

struct ChipModel {
    const char* name;
    uint32_t chip_id;
    uint32_t max_mcu_size;  // bytes of internal flash an MCU image may take
    unsigned sets;          // ModelSet bits
};

constexpr int kChipModelCount = 17;
constexpr uint32_t kUnknownChipId = 0x19710000;  // port open, no model identified
constexpr uint32_t kVq210Uart0ChipId = 0x19710210;
constexpr uint32_t kVq350AChipId = 0x1971350A;

extern const ChipModel kChipModels[kChipModelCount];

// Index of the model with this chip ID; 0 (VQ4410) for an ID in no entry.
int model_index_of(uint32_t chip_id);

QString model_name(int index);

// The label in front of the boot-loader version after an identify-mode
// connect with this expected chip ID, e.g. "VQ350A Boot_Version:".
QString version_label(uint32_t chip_id);

bool in_run_address_set(uint32_t chip_id);
bool in_flash_set_128m(uint32_t chip_id);
bool in_reserved_area_set(uint32_t chip_id);
inline bool is_vq210_uart0(uint32_t chip_id) { return chip_id == kVq210Uart0ChipId; }
inline bool is_vq350a(uint32_t chip_id) { return chip_id == kVq350AChipId; }

// VQ4420 is the one run-address model with a smaller MCU image limit.
constexpr uint32_t kVq4420ChipId = 0x19714420;
inline bool is_vq4420(uint32_t chip_id) { return chip_id == kVq4420ChipId; }
