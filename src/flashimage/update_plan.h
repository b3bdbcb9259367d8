#pragma once

// The arithmetic of the flash updates: how an image or a .diff record is cut
// into block writes, which writer results are accepted, the walk over the
// records of a .diff file, and the flash mode a flash size needs. Pure: the
// update procedures of the session send and report.

#include <QByteArray>
#include <QString>
#include <QVector>
#include <cstdint>
#include <functional>

#include "flashimage/image_rules.h"  // kDiffHeaderLen

constexpr int kFlashBlockLen = 2048;
constexpr int kProgressDone = 100;  // the progress bar's value once an update or a check is through
// The boot loader expects every tail as 2047 bytes, 0xFF behind the data.
constexpr int kPaddedTailLen = 2047;
constexpr char kFlashPadByte = '\xFF';
constexpr int kMaxWriteAttempts = 3;

constexpr int kDiffRecordHeaderLen = 16;
constexpr uint32_t kDiffMaxRecordLen = 0x7FFFFFFF;  // longer lengths are negative as a signed int
constexpr int kDiffNumberWord = 3;                   // dblk_number among the eight header words

// Results of Update_FlashFull, Update_FlashAt and Update_FlashDiff.
namespace flash_update_result {
enum : int {
    kOk = 0,
    kRefused = -1,        // port closed, a connect failed, or dblk_number is 0
    kNoFlashId = -2,
    // The boot loader's procedures end three ways with -3, and operators'
    // scripts read the number: the names tell them apart in the code.
    kStopped = -3,        // Exit or removal after a block
    kTooLarge = -3,       // the image is larger than the identified flash
    kCheckFailed = -3,    // written, but the boot loader's CRC of it did not match
    kModeFailed = -4,
    kBlockRefused = -5,   // a block refused three times ("CRC Error:")
    kIllegalRecords = -6, // a .diff block area that cannot be walked; nothing sent
    kChipSilent = -7,     // max_timed_out_blocks writes in a row got no reply (off by default)
};
}

// ---- Attempts: one rule for every update procedure ----

enum class AttemptRule {
    FlashBlock,  // accepted at a result of at most 1
    FlashTail,   // the same, but the third attempt is accepted at 2
    McuBlock,    // accepted at 0; retried only while the result is positive
};

// attempt counts from 1.
bool attempt_accepted(AttemptRule rule, int attempt, int result);
bool attempt_again(AttemptRule rule, int attempt, int result);

struct AttemptOutcome {
    bool accepted;
    int result;    // of the last attempt
    int attempts;  // 1..3
};
// Calls write_once until the rule accepts the result or gives up.
AttemptOutcome write_with_attempts(AttemptRule rule, const std::function<int()>& write_once);

// ---- Cutting images and records into block writes ----

enum class TailStyle {
    Exact,              // Update_FlashFull: a tail only when there is one, at its own length
    PaddedWhenPresent,  // .diff records: a tail only when there is one, as 2047 bytes
    PaddedAlways,       // Update_FlashAt: always a 2047-byte tail, all 0xFF when the image has none
};

struct BlockWrite {
    qint64 data_offset;  // first source byte (image, or the whole .diff file)
    int data_len;        // source bytes in this write
    int send_len;        // bytes sent: data_len, or 2047 with 0xFF behind the data
    uint32_t address;
    int seq;             // sequence bit
    bool tail;           // judged by AttemptRule::FlashTail
    int progress;        // progress bar value once accepted; -1 leaves the bar alone
};

// Blocks of an image of len bytes written from base. Empty for len < 0 or a
// block size outside 1..2048.
QVector<BlockWrite> plan_flash_image(int len, int blk, uint32_t base, TailStyle style);

// The bytes one write sends: its source bytes, then 0xFF up to send_len.
// False, and nothing staged, when the source does not hold every byte.
bool stage_block(const QByteArray& source, const BlockWrite& write, QByteArray* staged);

// ---- .diff records ----

struct DiffRecord {
    uint32_t address;
    uint32_t length;
    uint32_t crc;
    qint64 header_offset;  // file position of the record header
    qint64 data_offset;    // file position of the data
    qint64 next_position;  // file position after the data
    int progress;          // progress bar value after the record: 100 * next / file length
};

enum class DiffWalkStatus { Ok, NoBlocks, Illegal };

struct DiffWalk {
    DiffWalkStatus status;
    QString reason;  // Illegal: the log line that says why
    QVector<DiffRecord> records;
};

// Walks every record of a .diff file before anything is sent. NoBlocks when
// dblk_number is 0 (the caller reports it after its prologue); Illegal when
// a record header or a record's data runs past the end of the file, a length
// is 0x80000000 or more, a record's range passes the end of the 32-bit
// address space, or the block area is empty.
DiffWalk walk_diff_records(const QByteArray& file, const DiffHeader& header);

// A record's writes: sub-blocks from its address with the sequence bit
// starting at 0, then a padded 2047-byte tail when the length is not a
// multiple of blk. Offsets point into the file.
QVector<BlockWrite> plan_diff_record(const DiffRecord& record, int blk);

// Boot CRC-32 of the record's data (0 for an empty record or data outside the file).
uint32_t diff_record_data_crc(const QByteArray& file, const DiffRecord& record);

// ---- Flash mode ----

// The flash mode (FlashMode) a flash needs before it is written: 32-bit
// addresses for 32 and 64 MiB, NAND for 128 MiB and more on the 128M model
// set; 0 when nothing is to be set.
int flash_mode_for_update(int flash_size, uint32_t chip_id);
// The same before a check, which knows NAND mode only for exactly 128 MiB.
int flash_mode_for_check(int flash_size, uint32_t chip_id);
