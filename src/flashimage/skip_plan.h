#pragma once

// Which blocks of a flash update can be left out because the flash already
// holds them. The boot loader computes the CRC of any range it is asked for;
// a block is left out only when the device's CRC of the block itself, or of
// a region holding it, equals the host's CRC of the same bytes as the update
// would leave them. Pure: the question to the device is a callback, the
// session asks it on the wire, the tests ask a fake memory.
//
// The survey, and why it is shaped so:
//  - Asking costs the boot loader a read of the range (a quad SPI flash reads
//    some 8 MB/s, against 0.13 MB/s written over a 1382400-baud line), plus
//    one request and a reply or a few on the line. An unchanged image must
//    cost one read of the flash, not one per level of narrowing.
//  - First pass: the image in 1 MiB regions, in address order. An unchanged
//    image ends here, every byte read once. A 1 MiB region is large enough
//    that a 16 MiB image is 16 questions, small enough that one changed
//    sector sends only that MiB on to the next pass.
//  - Narrowing: a region that differs is asked again in 16 parts (1 MiB,
//    64 KiB, 4 KiB), then in 2048-byte blocks. Each level re-reads only the
//    regions that differed, so a few changed sectors cost a few MiB more.
//  - Dense changes: when every part of a region (at least four parts) differs,
//    the whole region is written without narrowing it further. A resumed
//    update's unwritten half, an erased flash or a relinked code section
//    would otherwise be read once per level for blocks that all get written.
//    The same holds for the first pass: when every 1 MiB region differs the
//    flash is taken as foreign and written whole after one read.
//  - A region whose CRC could not be read counts as changed and is written
//    whole; after an answer that says the device cannot be asked any more
//    (a time-out: the device may still be computing, or be gone), nothing
//    more is asked and everything not yet proven equal is written.

#include <QByteArray>
#include <QString>
#include <QVector>
#include <cstdint>
#include <functional>

#include "flashimage/update_plan.h"  // TailStyle

constexpr uint32_t kSurveyFirstRegion = 1u << 20;  // bytes
constexpr int kSurveyFanOut = 16;                   // parts of a region that differs
constexpr int kSurveyDenseMinParts = 4;             // fewer parts all differing prove nothing

// A range of the image as left in flash; the caller adds the flash address.
struct SurveyRegion {
    uint32_t offset;
    uint32_t len;
};

enum class SurveyReply {
    Crc,         // crc holds the device's CRC of the region
    Unreadable,  // a wrong reply or a refusal: the region counts as changed
    StopAsking,  // a time-out or an abort: this region and all not yet proven are changed
};

struct SurveyAnswer {
    SurveyReply kind;
    uint32_t crc;
};

using DeviceCrcQuery = std::function<SurveyAnswer(const SurveyRegion&)>;

struct SkipPlan {
    QVector<bool> write;  // per block of the image as left in flash, in address order
    int changed = 0;      // blocks to write
    int queries = 0;
    qint64 bytes_surveyed = 0;  // bytes the device read to answer them
    bool stopped_asking = false;
};

// in_flash: the bytes the full update leaves in flash from its first
// address; blocks of blk bytes from offset 0, the last one shorter.
SkipPlan survey_flash_image(const QByteArray& in_flash, int blk, const DeviceCrcQuery& ask);

// The writes of the full update's plan that the survey marks, in order: the
// sequence bit flips after every block sent, as within a .diff record, and
// the progress bar counts the whole blocks sent.
QVector<BlockWrite> writes_left_in(const QVector<BlockWrite>& all, const QVector<bool>& write);

// Per record of a .diff, whether it is written: left out only when its range
// already holds the CRC the record says it has once written. After a
// StopAsking answer nothing more is asked and every later record is written.
QVector<bool> survey_diff_records(const QVector<DiffRecord>& records, const DeviceCrcQuery& ask);

// Per .diff record, in file order: true when another record's writes (data
// and 0xFF padding) meet its own. The flash holding its CRC before the update
// then proves nothing, since the other record's writes may change the range
// after the survey; such a record is written as the full update writes it.
QVector<bool> diff_records_never_skipped(const QVector<DiffRecord>& records, int blk);

// The bytes the full update leaves in flash for the first len bytes of
// image: as they are for TailStyle::Exact; for PaddedAlways the tail (or an
// empty tail) as the 2047 bytes written, 0xFF behind the data.
QByteArray image_as_left_in_flash(const QByteArray& image, int len, int blk, TailStyle style);

// What the last Update MCU or Update Flash operation did, for front ends to
// read after it ends: image bytes (or .diff record bytes) the device accepted,
// and those left out because the device already held them. Padding is not
// counted.
struct UpdateBytes {
    qint64 bytes_written = 0;
    qint64 bytes_skipped = 0;
};

// The line logged after the survey: "Blocks that differ: 3 of 8192, 6144 bytes to write".
QString skip_survey_line(int changed, int blocks, qint64 bytes_to_write);
