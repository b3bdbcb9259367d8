#pragma once

// Making and proving flash images without a device: the differential image
// between two plain images, the image info block, and a dry run of a .diff
// over a flash dump that writes exactly what Update Flash writes. Pure:
// bytes in, bytes out; vqimage does the files and the reporting.
//
// Padding rule of the builder. Update Flash sends a record's last partial
// block as 2047 bytes, 0xFF behind the data, and those 0xFF bytes land in the
// flash. Every record the builder emits therefore either has a length that is
// a whole number of 2048-byte blocks (no tail, no padding) or ends exactly at
// NEW's end (its padding lands past NEW, outside the result). Records are
// emitted in ascending address order and never overlap, so no write ever
// touches a byte of NEW outside its own record, and each record's range holds
// its data, and so its CRC, until the end of the update.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>
#include <cstdint>

#include "flashimage/flash_limits.h"
#include "flashimage/image_rules.h"

constexpr int kDefaultDiffAlign = 4096;            // bytes: a typical erase sector
constexpr int kMaxDiffAlign = 16 * 1024 * 1024;    // bytes
// What a record costs beyond its data: its header in the file, and the flash
// CRC command (64 bytes) and its reply (63) on the wire. A gap shorter than
// that is cheaper written than split off.
constexpr int kDiffRecordOverhead = 16 + 64 + 63;  // bytes
// The largest flash the dry run models.
constexpr qint64 kMaxDryRunFlashBytes = kLargestFlashBytes;

// A plain image as Update Flash programs it: a valid info block is written
// as 0xFF.
QByteArray image_as_programmed(const QByteArray& image);

// ---- Building a .diff ----

struct DiffBuildOptions {
    uint32_t index = 0;              // diff_index
    int align = kDefaultDiffAlign;   // record start addresses are multiples of this
};

struct DiffRecordRange {
    uint32_t address;
    uint32_t length;
    uint32_t crc;
};

enum class DiffBuildStatus {
    Ok,
    BadAlign,        // align outside 1..kMaxDiffAlign
    EmptyNew,        // nothing to program
    TooLarge,        // NEW does not fit a record's length field
    StaleInfoBlock,  // NEW's valid info block states a FlashCRC its programmed bytes do not have
    Identical,       // no byte of NEW differs from OLD as programmed: no record to write
};

struct DiffBuild {
    DiffBuildStatus status = DiffBuildStatus::Ok;
    QString error;   // the message, when not Ok
    QByteArray file; // the whole .diff, when Ok
    QVector<DiffRecordRange> records;
};

// The .diff that turns a flash holding OLD (as programmed) into one holding
// NEW (as programmed) on NEW's length. Bytes past OLD's end are treated as
// unknown and always written; what lies past NEW's end is left alone.
DiffBuild build_diff(const QByteArray& old_image, const QByteArray& new_image, const DiffBuildOptions& options);

// ---- The image info block ----

// The FlashCRC a plain image needs: the CRC of its bytes with 372..383 as
// 0xFF. The image must hold the block (kImageInfoEnd bytes or more).
uint32_t programmed_flash_crc(const QByteArray& image);

// Writes the info block (length, FlashCRC, complement). False, image
// untouched, when the image is shorter than kImageInfoEnd bytes.
bool stamp_image_info(QByteArray* image);

// ---- Dry run of a .diff ----

struct DryRunRecord {
    uint32_t address;
    uint32_t length;
    uint32_t crc;        // expected, from the record header
    uint32_t flash_crc;  // what the flash range holds after the record's writes
    int writes;          // block writes sent
};

struct DiffDryRun {
    bool ok = false;
    QString error;                 // the first fault, when not ok
    DiffHeader header{};
    uint32_t par_tcrc = 0;
    uint32_t blk_tcrc = 0;
    QVector<DryRunRecord> records; // those written before a fault, or all
    bool image_checked = false;    // the new image named by the header was compared
    uint32_t image_crc = 0;        // CRC of the flash over nFile_lenght bytes
    QByteArray flash;              // the flash after the update, when ok
};

struct DryRunOptions {
    // The header's nFile_lenght / nFile_ui_crc are only information for the
    // device; checking the result against them proves the builder.
    bool check_new_image = true;
    qint64 max_flash_bytes = kMaxDryRunFlashBytes;
};

// Applies diff_file to a flash holding `flash` as Update Flash does: the
// Input File rules, the record walk, the sub-blocks and padded tails in file
// order, and the flash CRC of every record's range right after its writes.
// The flash grows, erased (0xFF), to cover every byte written. Written in
// place when the caller hands over the only reference to `flash`.
DiffDryRun apply_diff(QByteArray flash, const QByteArray& diff_file, const DryRunOptions& options = {});
