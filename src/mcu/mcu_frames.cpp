#include "mcu/mcu_frames.h"

#include "protocol/connect_frame.h"
#include "protocol/frame.h"

namespace {
constexpr uint32_t kCrcPageMask = 0xFFFFF000;

constexpr int kWideFrameLen = 512;
constexpr int kWideFirstData = 504;   // J0 data from byte 8
constexpr int kWideMiddleData = 508;  // J1 data from byte 4, fills the frame
constexpr int kNarrowFrameLen = 64;
constexpr int kNarrowFirstData = 56;  // J0 data from byte 8
constexpr int kNarrowMiddleData = 62; // J1 data from byte 2, fills the frame
constexpr int kMaxCount = 0xFFFF;

void put_data(QByteArray& f, int at, const QByteArray& data, int from, int count)
{
    for (int i = 0; i < count; ++i)
        f[at + i] = data[from + i];
}

QByteArray program_frame(char kind, int len)
{
    QByteArray f = make_frame('J', len);
    f[1] = kind;
    return f;
}
}  // namespace

QByteArray build_erase_request(uint32_t start_offset, uint32_t end_offset)
{
    QByteArray f = make_frame('L');
    put_u32le(f, 1, start_offset);
    put_u32le(f, 5, end_offset);
    put_crc(f, 9);
    return f;
}

uint32_t mcu_crc_start_offset(uint32_t run_address)
{
    // Unsigned arithmetic: the wrap-around below the base is what the boot
    // loader receives for an image without a run address.
    return (run_address & kCrcPageMask) - kAppStartAddress;
}

QByteArray build_mcu_crc_request(uint32_t image_len, uint32_t image_crc, uint32_t run_address)
{
    QByteArray f = make_frame('N');
    put_u32le(f, 4, image_len);
    put_u32le(f, 8, image_crc);
    put_u32le(f, 12, mcu_crc_start_offset(run_address));
    put_crc(f, 16);
    return f;
}

QString mcu_crc_request_log(uint32_t image_len, uint32_t image_crc)
{
    return QStringLiteral("Get: ") + QString::number(image_len, 16) + QStringLiteral(", ") +
           QString::number(image_crc, 16);
}

QString mcu_crc_mismatch_log(uint32_t reported_crc)
{
    return QStringLiteral("Error CRC, return CRC = 0x") + QString::number(reported_crc, 16);
}

QByteArray build_program_single(uint32_t block_offset, const QByteArray& data)
{
    const int n = data.size();
    if (n > kProgramSingleMaxData)
        return QByteArray();
    QByteArray f = program_frame('0', n + 12);
    put_u32le(f, 2, block_offset);
    put_u16le(f, 6, static_cast<uint16_t>(n));
    put_data(f, 8, data, 0, n);
    put_crc(f, 8 + n);
    return f;
}

QVector<QByteArray> build_program_frames(ProgramFrameSize size, uint32_t block_offset, const QByteArray& data)
{
    const int n = data.size();
    QVector<QByteArray> frames;
    if (n > kMaxCount)
        return frames;
    const bool wide = size == ProgramFrameSize::Wide512;
    const int frame_len = wide ? kWideFrameLen : kNarrowFrameLen;
    const int middle = wide ? kWideMiddleData : kNarrowMiddleData;

    QByteArray j0 = program_frame('0', frame_len);
    put_u32le(j0, 2, block_offset);
    const int first = qMin(n, wide ? kWideFirstData : kNarrowFirstData);
    // The 64-byte boot loader learns the block length up front; the 512-byte
    // one counts each frame.
    put_u16le(j0, 6, static_cast<uint16_t>(wide ? first : n));
    put_data(j0, 8, data, 0, first);
    frames.append(j0);
    int sent = first;

    // J1 only while more remains than a J2 can carry.
    while (n - sent > middle - 1) {
        QByteArray j1 = program_frame('1', frame_len);
        if (wide) {
            put_u16le(j1, 2, static_cast<uint16_t>(middle));
            put_data(j1, 4, data, sent, middle);
        } else {
            put_data(j1, 2, data, sent, middle);
        }
        sent += middle;
        frames.append(j1);
    }

    QByteArray j2 = program_frame('2', frame_len);
    const int rest = n - sent;
    if (wide) {
        put_u16le(j2, 2, static_cast<uint16_t>(rest));
        put_data(j2, 4, data, sent, rest);
    } else {
        put_data(j2, 2, data, sent, rest);
    }
    frames.append(j2);
    return frames;
}

int judge_erase_reply(const uint8_t* reply)
{
    return reply[0] == 'L' ? static_cast<int8_t>(reply[1]) : mcu_erase_result::kWrongLetter;
}

int judge_program_single_reply(const uint8_t* reply)
{
    return reply[0] == 'J' ? static_cast<int8_t>(reply[1]) : mcu_program_result::kWrongLetter;
}

int judge_program_frames_reply(const uint8_t* reply)
{
    return reply[0] == 'J' ? mcu_program_frames_result::kOk : mcu_program_frames_result::kWrongLetter;
}

McuCrcVerdict judge_mcu_crc_reply(const uint8_t* reply, uint32_t expected_crc)
{
    if (reply[0] != 'N')
        return {mcu_crc_result::kWrongLetter, 0};
    const uint32_t reported = get_u32le(reply + 1);
    if (reported == expected_crc)
        return {mcu_crc_result::kOk, reported};
    return {reported == 0 ? mcu_crc_result::kReportedZero : mcu_crc_result::kMismatch, reported};
}
