#pragma once

// The MCU image and the arithmetic of the MCU update: where the image goes
// in the application area, which limit it must respect, and how it is cut
// into program writes. Pure: the session sends and reports.

#include <QByteArray>
#include <QString>
#include <QVector>
#include <cstdint>

constexpr int kMcuBlockLen = 2048;
constexpr int kMcuMinImageLen = 8;        // the run-address word ends at byte 7
constexpr int kMcuCheckMinImageLen = 16;  // Check Mcu CRC wants at least this much
constexpr int kRunAddressAt = 4;          // bytes 4..7 of the image, little-endian
constexpr uint32_t kMcuOffsetMask = 0x0FFFF000;           // run address to a 4 KiB page

// Results of the MCU update.
namespace mcu_update_result {
enum : int {
    kOk = 0,
    kRefused = -1,      // nothing written
    kEraseFailed = -2,
    kBlockFailed = -3,  // also: device removed
    kFinalBlockFailed = -4,
    kCrcFailed = -5,
};
}

struct McuImage {
    int len;
    uint32_t crc;          // boot CRC-32 of the whole image, 0 when empty
    uint32_t run_address;  // 0 when the image is too short to hold the word
};
McuImage read_mcu_image(const QByteArray& bytes);

// label_MCUCRC once an image was read: "Mcu code, CRC = 0x0000ABCD Len: 12".
QString mcu_image_label(const McuImage& image);

// The little-endian word at bytes 4..7; 0 for an image shorter than 8 bytes.
uint32_t image_run_address(const QByteArray& image);

enum class McuRangeVerdict {
    Ok,
    TooShort,              // fewer than 8 bytes
    RunAddressTooLow,      // below 0x8008000
    RunAddressOutOfRange,  // its page, masked, lies below the application base
    TooLarge,
};

struct McuRange {
    McuRangeVerdict verdict;
    bool run_address_model;  // offsets from the run address, fixed limits
    uint32_t run_address;    // from the image on a run-address model, else 0
    uint32_t start;          // S
    uint32_t end;            // E = S + image length
    uint32_t limit;          // the largest image the model takes
};

// Where the image goes and whether it may: the checks in the update's order
// (length, run address, then size); start/end are valid from the run-address
// check on.
McuRange plan_mcu_range(const QByteArray& image, uint32_t chip_id);

struct McuBlockWrite {
    int data_offset;  // into the image
    int len;          // 2048, or the final write's R (which may be 0)
    uint32_t offset;  // S + k * 2048
    bool final;       // failure gives mcu_update_result::kFinalBlockFailed
    int progress;     // progress bar value once written; -1 for the final write
};

// N = total / blk whole blocks, then a final write of R = total % blk bytes
// when N is odd or R > 0: the boot loader expects that write, even empty.
// Empty for total < 0 or blk < 1.
QVector<McuBlockWrite> plan_mcu_blocks(int total, int blk, uint32_t start);
