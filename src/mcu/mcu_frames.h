#pragma once

// The internal flash commands: erase 'L', MCU CRC 'N' and program block 'J'
// in its two framings, with the judgement of their replies.

#include <QByteArray>
#include <QString>
#include <QVector>
#include <cstdint>

#include "protocol/catalogue.h"  // PacketForm

// Reply waits: passes of the standard wait loop and the sleep of each pass.
constexpr int kEraseWaitPasses = 301;  // 30 ms each, about 9 s
constexpr int kEraseWaitSleepMs = 30;
constexpr int kMcuCrcWaitPasses = 151;  // 20 ms each, about 3 s
constexpr int kMcuCrcWaitSleepMs = 20;
constexpr int kProgramSingleWaitPasses = 1001;  // 1 ms each, about 1 s
constexpr int kProgramSingleWaitSleepMs = 1;
constexpr int kProgramFramesWaitPasses = 1001;  // 10 ms each, about 10 s
constexpr int kProgramFramesWaitSleepMs = 10;

// Pause after the single frame and after each 512-byte J0/J1 frame.
constexpr int kProgramPauseUs = 130;

// The single frame lives in a 4096-byte buffer: data plus 12 bytes.
constexpr int kProgramSingleMaxData = 4084;

namespace mcu_erase_result {
enum : int { kOk = 0, kWrongLetter = -1, kTimedOut = -2 };
}
namespace mcu_crc_result {
enum : int { kOk = 0, kReportedZero = 1, kWrongLetter = -1, kTimedOut = -2, kMismatch = -3 };
}
// The single-frame form returns the device's signed status besides these.
namespace mcu_program_result {
enum : int { kOk = 0, kWrongLetter = 5, kTimedOut = -2 };
}
namespace mcu_program_frames_result {
enum : int { kOk = 0, kWrongLetter = -1, kTimedOut = -2 };
}

QByteArray build_erase_request(uint32_t start_offset, uint32_t end_offset);

// The offset the boot loader starts its CRC at: the run address's 4 KiB page
// counted from the application base, wrapping in 32 bits, so a run address
// of 0 gives 0xF7FF8000.
uint32_t mcu_crc_start_offset(uint32_t run_address);
QByteArray build_mcu_crc_request(uint32_t image_len, uint32_t image_crc, uint32_t run_address);

// "Get: " line logged before the MCU CRC request; values in lower-case hex,
// read as unsigned 32-bit.
QString mcu_crc_request_log(uint32_t image_len, uint32_t image_crc);
// "Error CRC, return CRC = 0x..." for a mismatch.
QString mcu_crc_mismatch_log(uint32_t reported_crc);

// 'J','0' with the CRC of the first n + 8 bytes behind the data: n + 12
// bytes. Empty when the data exceeds kProgramSingleMaxData.
QByteArray build_program_single(uint32_t block_offset, const QByteArray& data);

// The J0/J1/J2 frames come in the model's packet form; the 64-byte form's J0
// carries the whole block length.
using ProgramFrameSize = PacketForm;

// J0, J1..., J2 in sending order. After every frame but the last:
// waitForBytesWritten, the link's pump and, for 512-byte frames,
// delay_us(kProgramPauseUs); after the last, the pump only.
// Empty when the data does not fit the 16-bit count.
QVector<QByteArray> build_program_frames(ProgramFrameSize size, uint32_t block_offset, const QByteArray& data);

// Verdicts on a 63-byte reply whose letter has not been checked yet.
int judge_erase_reply(const uint8_t* reply);
int judge_program_single_reply(const uint8_t* reply);
int judge_program_frames_reply(const uint8_t* reply);

struct McuCrcVerdict {
    int result;             // mcu_crc_result::*
    uint32_t reported_crc;  // what the boot loader computed (valid when the letter was right)
};
McuCrcVerdict judge_mcu_crc_reply(const uint8_t* reply, uint32_t expected_crc);
