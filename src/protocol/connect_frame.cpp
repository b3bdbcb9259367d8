#include "protocol/connect_frame.h"

#include "protocol/frame.h"

uint32_t connect_nonce(const platform::LocalTime& t)
{
    // Unsigned arithmetic: the 32-bit wrap-around is intended.
    return uint32_t(t.month) * 1036800u + uint32_t(t.day) * 86400u + uint32_t(t.hour) * 3600u +
           uint32_t(t.minute) * 60u + uint32_t(t.second) + uint32_t(t.year - 2000) * uint32_t(t.msec);
}

namespace {
// Request bytes 0..7 followed by the chip ID: what both the first CRC and
// the reply signature are computed over, so the ID is proven, never sent.
QByteArray chip_proof(const QByteArray& request, uint32_t chip_id)
{
    QByteArray bytes = request.left(8);
    bytes.append(4, '\0');
    put_u32le(bytes, 8, chip_id);
    return bytes;
}
}  // namespace

QByteArray build_connect_request(char mode, uint32_t nonce, uint32_t expected_chip_id, uint8_t baud_request,
                                 uint32_t mcu_image_len, uint32_t flash_image_len)
{
    QByteArray f = make_frame('K');
    f[1] = mode;
    f[2] = 'V';
    f[3] = 'Q';
    put_u32le(f, 4, nonce);
    put_u32le(f, 8, boot_crc32(chip_proof(f, expected_chip_id)));
    put_u16le(f, 12, kConnectConstant);
    f[16] = static_cast<char>(baud_request);
    // Only three bytes are reserved for the MCU image length.
    f[17] = static_cast<char>(mcu_image_len & 0xFF);
    f[18] = static_cast<char>((mcu_image_len >> 8) & 0xFF);
    f[19] = static_cast<char>((mcu_image_len >> 16) & 0xFF);
    put_u32le(f, 20, flash_image_len);
    put_crc(f, 32);
    return f;
}

uint32_t reply_signature(const QByteArray& request, uint32_t expected_chip_id)
{
    return boot_crc32(chip_proof(request, expected_chip_id).append(kSignatureConstant, 4));
}

ConnectReply parse_connect_reply(const uint8_t* reply)
{
    ConnectReply r{};
    r.signature = get_u32le(reply + 1);
    r.boot_version = get_u32le(reply + 9);
    r.link_code = get_u32le(reply + 13);
    r.vcom = reply[17] == 'V' && reply[18] == 'v';
    r.no_wait = reply[30] == 'x' && reply[31] == 0x87;
    return r;
}

int pacing_for_link_code(uint32_t link_code, int current_us)
{
    switch (link_code) {
    case 0xEEBA0080:
    case 0xEEBA0020:
        return 125;
    case 0xEEBA0081:
        return 50;
    default:
        return current_us;
    }
}

QByteArray build_run_request(uint32_t start_address)
{
    QByteArray f = make_frame('O');
    put_u32le(f, 1, start_address);
    put_crc(f, 12);
    return f;
}
