#pragma once

// The connect ('K') and run ('O') frames, and the judgement of a connect reply.

#include <QByteArray>
#include <cstdint>

#include "platform/platform.h"

constexpr uint8_t kNoBaudChange = 0x7F;      // byte 16 when both rate boxes agree
constexpr uint16_t kConnectConstant = 6120;  // bytes 12..13, expected by every boot loader
constexpr uint32_t kAppStartAddress = 0x08008000;
constexpr char kSignatureConstant[4] = {'Z', 'K', 'M', 'B'};

enum ConnectMode : char { kIdentifyMode = '0', kMcuTargetMode = '1', kFlashTargetMode = '2' };

// What a connect ends with.
namespace connect_result {
enum : int {
    kOk = 0,           // the chip has the expected chip ID
    kOtherChip = 1,    // a 'K' reply whose signature does not match: another model
    kWrongLetter = -1,
    kTimedOut = -2,
};
}  // namespace connect_result

// Results of identify_chip, which connects as each model in turn.
namespace identify_chip_result {
enum : int {
    kOk = 0,             // a model answered as itself; chip_id is its ID
    kNotIdentified = -1, // a connect failed, or no model answered as itself
};
}  // namespace identify_chip_result

// Results of run_application: the boot loader answers nothing, so the frame
// going out is all there is to report.
namespace run_application_result {
enum : int { kSent = 0 };
}

// A number that changes every millisecond, so that an old reply signature
// can never match a new request.
uint32_t connect_nonce(const platform::LocalTime& t);

QByteArray build_connect_request(char mode, uint32_t nonce, uint32_t expected_chip_id, uint8_t baud_request,
                                 uint32_t mcu_image_len, uint32_t flash_image_len);

// What only a chip with expected_chip_id answers to this request.
uint32_t reply_signature(const QByteArray& request, uint32_t expected_chip_id);

struct ConnectReply {
    uint32_t signature;
    uint32_t boot_version;
    uint32_t link_code;
    bool vcom;     // bytes 17..18 are 'V','v': a virtual COM port link
    bool no_wait;  // bytes 30..31 are 'x',0x87: the receive slot need not wait
};
ConnectReply parse_connect_reply(const uint8_t* reply);

// Microseconds to pause after each block frame for a link code; unknown
// codes keep the current pacing.
int pacing_for_link_code(uint32_t link_code, int current_us);

QByteArray build_run_request(uint32_t start_address);
