#pragma once

// Per-board bytes written into an image before it is programmed: a serial
// number as a word, as decimal or hexadecimal digits, or as a MAC address
// counted up from a base. Pure: the caller reads the image, takes the serial
// number and programs the result.
//
// A stamp is written as MEMORY@OFFSET:FORMAT, where MEMORY is "flash" (the
// external flash image) or "mcu" (the MCU image), OFFSET a file offset in
// decimal or 0x hex, and FORMAT one of
//   u32le, u32be     the serial number as a 32-bit word
//   dec:N            N ASCII decimal digits, zero-padded
//   hex:N            N upper-case hexadecimal ASCII digits, zero-padded
//   mac:AA:..:FF     six bytes: the base plus the serial number, carried
//                    through the low three bytes only (the upper three are
//                    the maker's prefix and must not change)

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>
#include <cstdint>

enum class StampMemory { Flash, Mcu };
enum class StampFormat { U32Le, U32Be, Dec, Hex, Mac };

constexpr int kMaxStampDecDigits = 20;  // every 64-bit serial fits
constexpr int kMaxStampHexDigits = 16;
constexpr int kMacBytes = 6;
constexpr uint64_t kMacLowMask = 0xFFFFFF;  // the three bytes a serial may count through

struct BoardStamp {
    QString text;  // as the operator wrote it: every message names the stamp by it
    StampMemory memory = StampMemory::Flash;
    qint64 offset = 0;  // bytes into the image file
    StampFormat format = StampFormat::U32Le;
    int digits = 0;         // dec:N and hex:N
    uint64_t mac_base = 0;  // 48 bits, first byte most significant

    int length() const;  // bytes the stamp writes
};

struct StampParse {
    bool ok = false;
    BoardStamp stamp;
    QString error;  // names the stamp, when not ok
};
StampParse parse_board_stamp(const QString& text);

// The bytes a stamp writes for a serial number; false with a message naming
// the stamp when the number does not fit its format (too many digits, beyond
// 32 bits, or a MAC that would leave the base's upper three bytes).
bool stamp_bytes(const BoardStamp& stamp, qint64 serial, QByteArray* bytes, QString* error);

// "flash@0x100=0000000042": what a record keeps of a stamp for a board.
QString stamp_value_text(const BoardStamp& stamp, qint64 serial);

// The stamps of one memory, checked against its image before any board is
// touched: each must fit inside the image, none may overlap another, none
// may touch bytes 372..383 of a flash image that holds an info block (the
// update writes 0xFF there, or the stamp could make the block valid), and
// an MCU image's bytes 4..7 (the run address) take none, a differential image takes none (its integrity CRCs cover every byte).
// Returns one message per refusal, each naming the stamp; empty when fine.
// Stamps of the other memory are ignored.
QStringList check_board_stamps(const QVector<BoardStamp>& stamps, StampMemory memory, const QByteArray& image,
                               const QString& file_name);

// Whether a serial number fits every stamp; the messages of those it does
// not fit.
QStringList check_stamp_serial(const QVector<BoardStamp>& stamps, qint64 serial);

struct StampedImage {
    bool ok = false;
    QStringList errors;   // when not ok: nothing is to be programmed
    QByteArray bytes;     // the image to program, stamps in place
    QStringList values;   // stamp_value_text of each stamp applied, in the order given
    bool info_block_restamped = false;  // FlashCRC and complement recomputed for the stamped bytes
};

// The image of one memory with the stamps of that memory written for a
// serial number. A flash image with a valid info block gets its FlashCRC
// and complement recomputed by the same rule as `vqimage stamp`, so the
// boot loader's final check matches the stamped bytes. The checks of
// check_board_stamps and check_stamp_serial are made again here, so a
// caller that skipped them still never programs a bad stamp.
StampedImage apply_board_stamps(const QVector<BoardStamp>& stamps, StampMemory memory, const QByteArray& image,
                                const QString& file_name, qint64 serial);
