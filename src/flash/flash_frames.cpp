#include "flash/flash_frames.h"

#include <cmath>
#include <limits>

#include "protocol/frame.h"
#include "protocol/hex_text.h"

namespace {
constexpr uint8_t kFlashIdFixedByte = 0x01;  // byte 1 of every get-flash-ID request
constexpr int kFlashCrcSpan = 13;            // the CRC covers bytes 0..12
constexpr char kProgressStatus = '0';
constexpr char kStatus2 = '2';
}  // namespace

QByteArray build_set_flash_mode_request(uint8_t mode)
{
    QByteArray f = make_frame(kSetFlashModeLetter);
    f[1] = static_cast<char>(mode);
    return f;
}

QByteArray build_get_flash_id_request(uint8_t variant)
{
    QByteArray f = make_frame(kGetFlashIdLetter);
    f[1] = static_cast<char>(kFlashIdFixedByte);
    f[2] = static_cast<char>(variant);
    return f;
}

QByteArray build_flash_crc_request(uint32_t start, uint32_t length, uint32_t expected_crc)
{
    QByteArray f = make_frame(kFlashCrcLetter);
    put_u32le(f, 1, start);
    put_u32le(f, 5, length);
    put_u32le(f, 9, expected_crc);
    put_crc(f, kFlashCrcSpan);
    return f;
}

bool set_flash_mode_accepted(const uint8_t* reply)
{
    return reply[0] == flash_reply_letter(kSetFlashModeLetter);
}

FlashIdReply parse_flash_id_reply(const uint8_t* reply)
{
    if (reply[0] != flash_reply_letter(kGetFlashIdLetter))
        return {false, 0};
    return {true, get_u32le(reply + 1)};
}

FlashCrcReply parse_flash_crc_reply(const uint8_t* reply)
{
    FlashCrcReply r{FlashCrcReplyKind::WrongReply, reply[1], get_u32le(reply + 2)};
    if (reply[0] != flash_reply_letter(kFlashCrcLetter))
        return r;
    if (r.status == kProgressStatus)
        r.kind = FlashCrcReplyKind::Progress;
    else if (r.status == kStatus2)
        r.kind = FlashCrcReplyKind::Status2;
    else
        r.kind = FlashCrcReplyKind::Final;
    return r;
}

int flash_crc_budget(uint32_t length)
{
    const uint32_t steps = length / kFlashCrcStepBytes + (length % kFlashCrcStepBytes != 0 ? 1 : 0);
    return int(steps) * kFlashCrcPassesPerStep;
}

int survey_crc_budget(uint32_t length)
{
    constexpr int kMinPasses = 40;               // 50 ms each, 2 s for the smallest range
    constexpr uint32_t kBytesPerPass = 16384;
    return kMinPasses + int(length / kBytesPerPass);
}

int flash_crc_progress(uint32_t done, uint32_t length)
{
    if (length == 0)
        return 0;
    const float fraction = static_cast<float>(double(done) / double(length));
    // The multiplication stays in single precision: 29 of 100 shows 29, not 28.
    const float percent = fraction * 100.0f;
    if (percent >= float(std::numeric_limits<int>::max()))
        return std::numeric_limits<int>::max();
    return static_cast<int>(percent);
}

uint32_t image_check_expected_crc(bool file_crc_checked, int has_info, uint32_t info_crc, uint32_t file_crc)
{
    if (file_crc_checked)
        return file_crc;
    return has_info == 1 ? info_crc : file_crc;
}

FlashCrcStep judge_flash_crc_reply(const FlashCrcJob& job, const uint8_t* reply)
{
    using namespace flash_text;
    FlashCrcStep step;
    const FlashCrcReply r = parse_flash_crc_reply(reply);
    if (job.check == FlashCrcCheck::Survey) {
        step.done = r.kind != FlashCrcReplyKind::Progress;
        step.result = r.kind == FlashCrcReplyKind::WrongReply ? flash_crc_result::kWrongReply
                      : r.kind == FlashCrcReplyKind::Status2  ? flash_crc_result::kStatus2
                                                              : flash_crc_result::kOk;
        return step;
    }
    if (r.kind == FlashCrcReplyKind::WrongReply) {
        step.done = true;
        step.result = flash_crc_result::kWrongReply;
        step.wrong_reply = true;
        step.log_lines << QString::fromLatin1(kWrongReply);
        return step;
    }
    if (job.check == FlashCrcCheck::Block)
        step.log_lines << block_reply_line(r.value);
    if (r.kind == FlashCrcReplyKind::Progress) {
        step.progress = flash_crc_progress(r.value, job.length);
        return step;
    }
    step.done = true;
    switch (job.check) {
    case FlashCrcCheck::Block:
        if (r.kind == FlashCrcReplyKind::Status2) {
            step.result = flash_crc_result::kStatus2;
        } else if (r.value == job.crc) {
            step.log_lines << block_pass_line(job.start);
            step.result = flash_crc_result::kOk;
        } else {
            step.log_lines << fail_line_hex32(r.value);
            step.result = flash_crc_result::kMismatch;
        }
        break;
    case FlashCrcCheck::Range:
        if (r.kind == FlashCrcReplyKind::Status2) {
            step.result = flash_crc_result::kStatus2;
        } else if (r.value == job.crc) {
            step.log_lines << QString::fromLatin1(kPass);
            step.passed = true;
            step.result = flash_crc_result::kOk;
        } else {
            step.log_lines << fail_line_lower(r.value);
            step.result = flash_crc_result::kMismatch;
        }
        break;
    case FlashCrcCheck::Image:
        // Status '2' is compared like any final reply; only a mismatch keeps it.
        step.log_lines << read_crc_line(r.value);
        if (image_check_accepts(r.value, job.has_info, job.info_crc, job.file_crc)) {
            step.log_lines << QString::fromLatin1(kPass);
            step.passed = true;
            step.result = flash_crc_result::kOk;
        } else {
            step.log_lines << fail_line_hex32(r.value);
            step.result = r.kind == FlashCrcReplyKind::Status2 ? flash_crc_result::kStatus2 : flash_crc_result::kMismatch;
        }
        break;
    case FlashCrcCheck::Survey:
        break;
    }
    return step;
}

namespace flash_text {

QString block_request_line(uint32_t crc, int len)
{
    return QStringLiteral("Crc Value: ") + hex32_text(crc) + QLatin1Char(',') + QString::number(len);
}

QString block_reply_line(uint32_t value)
{
    return QStringLiteral("Check flash CRC return:") + hex32_text(value);
}

QString block_pass_line(uint32_t addr)
{
    return QStringLiteral("Check blcok flash CRC pass: ") + hex32_text(addr);
}

QString range_size_line(int len)
{
    return QStringLiteral("data_Size: ") + QString::number(len);
}

QString image_start_line(int has_info)
{
    return QStringLiteral("Start to get flash crc... ") + QString::number(has_info);
}

QString image_size_line(int len)
{
    return QStringLiteral("flashCode_Size: ") + QString::number(len);
}

QString read_crc_line(uint32_t value)
{
    return QStringLiteral("Read crc value: ") + hex32_text(value);
}

QString crc_value_line(uint32_t crc)
{
    return QStringLiteral("Crc Value: ") + hex32_text(crc);
}

QString fail_line_hex32(uint32_t value)
{
    return QStringLiteral("Check flash CRC fail,return CRC Value: ") + hex32_text(value);
}

QString fail_line_lower(uint32_t value)
{
    return QStringLiteral("Check flash CRC fail,return CRC Value: ") + hex_lower_text(value);
}

}  // namespace flash_text
