#pragma once

// The rules of the two flash image kinds, shared by the image selection and
// by Update Flash, which checks the file afresh:
//  - a plain image may carry an info block at bytes 372..383 (length,
//    FlashCRC, its complement; little-endian) stating the CRC the flash must
//    show after programming;
//  - a differential image starts with a 32-byte header of eight big-endian
//    words protecting itself and the block records behind it.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <array>
#include <cstdint>

constexpr int kImageInfoOffset = 372;  // bytes
constexpr int kImageInfoEnd = 384;     // a plain image shorter than this has no info block
constexpr int kDiffHeaderLen = 32;     // bytes; the block records follow
constexpr int kDiffParaCrcSpan = 28;   // header bytes covered by diff_para_crc
constexpr int kDiffHeaderWords = 8;

// The header words in file order; the misspellings are the format's own.
enum DiffWord : int {
    kDiffIndex,
    kDblkLenght,
    kDblkCrc,
    kDblkNumber,
    kNFileLenght,
    kNFileCrc,
    kNFileUiCrc,
    kDiffParaCrc,
};
using DiffHeader = std::array<uint32_t, kDiffHeaderWords>;

// "Illegal document: <why>", a refusal that says what is wrong with the file.
QString illegal_document(const QString& why);
// The refusal of a .diff file shorter than its header, with its size.
QString diff_shorter_than_header(qint64 size);

// A differential image is a file whose name ends in exactly ".diff"; any
// other name, ".DIFF" and ".diff.bin" included, is a plain image.
bool is_diff_image_name(const QString& name);

struct ImageInfoBlock {
    bool present = false;           // the file holds bytes 372..383
    uint32_t image_len = 0;
    uint32_t flash_crc = 0;
    uint32_t flash_crc_complement = 0;
    bool valid = false;             // length matches the file, CRC matches its complement
};
ImageInfoBlock read_image_info_block(const QByteArray& file);

// The eight header words; the words a file shorter than 32 bytes does not
// hold are 0.
DiffHeader Parse_DiffHeader(const QByteArray& bytes);

// The eight header lines of the log, in file order.
QStringList diff_header_log_lines(const DiffHeader& header);

// Everything the selection and Update Flash take from a file, judged in one go.
struct FlashImageCheck {
    bool is_diff = false;
    int len = 0;                 // flash_image_len
    uint32_t crc = 0;            // flash_image_crc: over the whole file
    // Plain images only; a .diff leaves the window's fields as they were.
    int has_info = 0;            // flash_image_has_info
    uint32_t info_crc = 0;       // flash_image_info_crc
    // Differential images only.
    DiffHeader diff_info{};      // file_diff_info
    uint32_t par_tcrc = 0;       // CRC over header bytes 0..27
    uint32_t blk_tcrc = 0;       // CRC over the block records (0 for a bare header)
    QStringList log_lines;       // for the log, in this order (none for a plain image)
    // Of those, the par_tCRC and blk_tCRC lines that follow the header's.
    QStringList integrity_lines() const { return log_lines.mid(kDiffHeaderWords); }
    bool ok = true;              // false: refuse with show_error(error), label unchanged
    QString label;               // label_FlashCRC, when ok
    QString error;               // texts::kIllegalDocument, when not ok
};
FlashImageCheck check_flash_image(const QByteArray& bytes, const QString& file_name);
