#pragma once

// The external-flash commands: set flash mode 'o', get flash ID 'm' and flash
// CRC 'n'. Unlike the MCU commands they do not echo their letter: the reply
// starts with the letter plus 0x10.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>

constexpr char kSetFlashModeLetter = 'o';
constexpr char kGetFlashIdLetter = 'm';
constexpr char kFlashCrcLetter = 'n';

constexpr uint8_t flash_reply_letter(char command_letter)
{
    return uint8_t(uint8_t(command_letter) + 0x10);
}

enum FlashMode : uint8_t {
    kFlashMode32BitAddress = 1,  // 32 MiB and 64 MiB flashes
    kFlashModeNand = 2,          // 128 MiB flashes on the 128M model set
};

enum FlashIdVariant : uint8_t { kFlashIdFirstVariant = 0, kFlashIdSecondVariant = 1 };

// Waits of the two short commands (passes of the standard reply wait).
constexpr int kSetFlashModePasses = 101;  // 30 ms each, about 3 s
constexpr int kSetFlashModeSleepMs = 30;
constexpr int kGetFlashIdPasses = 201;    // 20 ms each, about 4 s
constexpr int kGetFlashIdSleepMs = 20;

// The flash CRC wait: a reply flagged is followed by this pause when it was a
// progress report, no reply by the longer one.
constexpr int kFlashCrcProgressSleepMs = 20;
constexpr int kFlashCrcIdleSleepMs = 50;
constexpr int kFlashCrcPassesPerStep = 500;
constexpr uint32_t kFlashCrcStepBytes = 1000000;

QByteArray build_set_flash_mode_request(uint8_t mode);
QByteArray build_get_flash_id_request(uint8_t variant);
// The same frame serves the block, range and image checks; the image check
// sends start 0 and the image length.
QByteArray build_flash_crc_request(uint32_t start, uint32_t length, uint32_t expected_crc);

// Any first byte but 0x7F, the letter 'o' itself included, is a wrong reply.
bool set_flash_mode_accepted(const uint8_t* reply);

struct FlashIdReply {
    bool ok;      // byte 0 is 0x7D
    uint32_t id;  // bytes 1..4, only when ok
};
FlashIdReply parse_flash_id_reply(const uint8_t* reply);

enum class FlashCrcReplyKind {
    WrongReply,  // byte 0 is not 0x7E
    Progress,    // status '0': value is the bytes done so far
    Status2,     // status '2'
    Final,       // any other status: value is the device's CRC
};
struct FlashCrcReply {
    FlashCrcReplyKind kind;
    uint8_t status;
    uint32_t value;  // bytes 2..5
};
FlashCrcReply parse_flash_crc_reply(const uint8_t* reply);

// Passes the flash CRC wait may take: 500 per started 1,000,000 bytes of the
// length in the frame (0 for a length of 0).
int flash_crc_budget(uint32_t length);

// Passes a survey question may take: a device reading at least some
// 300 KB/s answers within them; a slower one is written to instead.
int survey_crc_budget(uint32_t length);

// Progress bar value for a progress report: the quotient rounded to single
// precision first, then times 100 and truncated, as the device's reports have
// always been shown. 0 for a length of 0; values above 100 (a device
// reporting more than the length) are passed on for the bar to ignore.
int flash_crc_progress(uint32_t done, uint32_t length);

// The expected CRC the image check sends.
uint32_t image_check_expected_crc(bool file_crc_checked, int has_info, uint32_t info_crc, uint32_t file_crc);

// The image check accepts either CRC the image carries; but the info block's
// word only when the block is valid: otherwise it is mere image bytes (often
// 0, the CRC of a zeroed range) or left from an earlier image, and a match
// would pass a wrong flash.
inline bool image_check_accepts(uint32_t value, int has_info, uint32_t info_crc, uint32_t file_crc)
{
    return (has_info == 1 && value == info_crc) || value == file_crc;
}

// The three senders of the flash CRC command differ only in what they log,
// what they accept and how they take status '2'.
enum class FlashCrcCheck {
    Block,  // one record of a differential update: terse, logs every reply
    Range,  // any range against a given CRC
    Image,  // the loaded image from address 0, against either CRC it carries
    // A question before a write: the device's CRC is the answer, judged by
    // the caller. Silent, its progress leaves the bar alone, and a device
    // that does not answer in survey_crc_budget passes is not shown a box.
    Survey,
};

struct FlashCrcJob {
    FlashCrcCheck check;
    uint32_t start;     // the block check names it on its pass line
    uint32_t length;    // as put in the frame: the budget and the progress
    uint32_t crc;       // block and range checks: the CRC accepted
    uint32_t info_crc;  // image check: either of these two is accepted,
    uint32_t file_crc;  // the first only with a valid info block
    int has_info;
};

// What one flagged reply means for the wait.
struct FlashCrcStep {
    bool done = false;          // the wait ends with result
    int result = 0;
    bool wrong_reply = false;   // log the first 16 reply bytes before log_lines
    QStringList log_lines;      // in order
    int progress = -1;          // progress report: the bar's new value
    bool passed = false;        // range and image checks: after log_lines, the "Timer:" line and the bar at 100
};
FlashCrcStep judge_flash_crc_reply(const FlashCrcJob& job, const uint8_t* reply);

// Results of Set_FlashMode.
namespace flash_mode_result {
enum : int { kOk = 0, kWrongReply = -2, kTimedOut = -3 };
}

// Results of Get_FlashID.
namespace flash_id_result {
enum : int {
    kOk = 0,
    kNotCatalogued = 1,  // read, but Flash.ini does not list it (or there is no Flash.ini)
    kPortClosed = -1,
    kWrongReply = -2,
    kTimedOut = -3,
};
}

// Results of Lookup_FlashIni.
namespace lookup_flash_ini_result {
enum : int { kNotListed = 0, kListed = 1 };
}

// Results of prepare_flash_mode.
namespace prepare_flash_mode_result {
enum : int { kOk = 0, kFailed = -1 };  // kOk also when the flash needs no mode
}

// Results of the three checks.
namespace flash_crc_result {
enum : int {
    kOk = 0,
    kWrongReply = -1,  // also: port not open
    kTimedOut = -2,
    kMismatch = -3,    // also: the wait aborted by Exit or device removal
    kStatus2 = 2,
};
}  // namespace flash_crc_result

// Log lines of the flash commands and of the three flash CRC checks.
namespace flash_text {
// Block check
QString block_request_line(uint32_t crc, int len);   // "Crc Value: 0x..,<len>"
QString block_reply_line(uint32_t value);            // "Check flash CRC return:0x.."
QString block_pass_line(uint32_t addr);              // "Check blcok flash CRC pass: 0x.."
// Range check
QString range_size_line(int len);                    // "data_Size: <len>"
// Image check
QString image_start_line(int has_info);              // "Start to get flash crc... <has_info>"
QString image_size_line(int len);                    // "flashCode_Size: <len>"
QString read_crc_line(uint32_t value);               // "Read crc value: 0x.."
// Range and image checks
QString crc_value_line(uint32_t crc);                // "Crc Value: 0x.."
// Mismatch: the range check writes the value in lower case without leading
// zeros, the block and image checks as eight upper-case digits.
QString fail_line_hex32(uint32_t value);
QString fail_line_lower(uint32_t value);

constexpr char kRangeStart[] = "Start to get crc... ";
constexpr char kPass[] = "Check flash CRC pass.";
constexpr char kWrongReply[] = "Get flash crc,and return error command";
constexpr char kFlashIdWrongReply[] = "Get flash id,and return error command";
constexpr char kSetFlashModeOk[] = "Set 32bits Addr ok";
constexpr char kSetFlashModeWrongReply[] = "Set 32bits Addr,and return error command";
constexpr char kSet32BitAddress[] = "Set 32 bits Address!";
}  // namespace flash_text
