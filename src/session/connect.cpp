// The connect handshake, a member of BootSession.


#include "platform/platform.h"
#include "protocol/catalogue.h"
#include "protocol/connect_frame.h"
#include "protocol/texts.h"
#include "session/boot_session.h"

namespace {
// 51 passes of 30 ms, about 1.5 s; the boot loader clears its buffers first.
constexpr ReplyWait kConnectWait{51, 30, 'K', true, false};
constexpr ReplyChecks kConnectChecks{texts::kConnectWrongLetter};
}  // namespace

int BootSession::connect_device(ConnectMode mode, uint32_t expected_chip_id, const LinkSettings& link)
{
    uint8_t baud_request = kNoBaudChange;
    if (link.rate_index == link.new_rate_index) {
        reconnect_state = kReconnectNone;
    } else {
        baud_request = static_cast<uint8_t>(link.new_rate_index);
        reconnect_state = kReconnectAsked;
    }
    const QByteArray request =
        build_connect_request(mode, connect_nonce(platform::local_time()), expected_chip_id, baud_request,
                              static_cast<uint32_t>(mcu_image_len), static_cast<uint32_t>(flash_image_len));

    link_.set_wait_for_rest(true);
    connect_heard_nothing_ = false;
    const Reply replied = link_.checked_exchange(request, kConnectWait, kConnectChecks);
    switch (replied) {
    case Reply::Ok:
        break;
    case Reply::WrongLetter:
        connect_heard_busy_ = true;
        return connect_result::kWrongLetter;
    default:
        // Part of a reply: something is talking on the line, only not as asked.
        connect_heard_busy_ = connect_heard_busy_ || link_.gathered() > 0;
        connect_heard_nothing_ = replied == Reply::TimedOut && link_.gathered() == 0;
        return connect_result::kTimedOut;
    }
    const ConnectReply reply = parse_connect_reply(link_.reply());
    link_.set_wait_for_rest(!reply.no_wait);
    if (reply.signature != reply_signature(request, expected_chip_id))
        return connect_result::kOtherChip;
    write_pacing_us = pacing_for_link_code(reply.link_code, write_pacing_us);
    if (mode != kIdentifyMode)
        return connect_result::kOk;

    boot_version = reply.boot_version;
    vcom_index = reply.vcom ? 1 : 0;
    log_line(QStringLiteral("vcom_index = ") + QString::number(vcom_index));
    log_line(version_label(expected_chip_id) + QString::number(boot_version, 16));
    return connect_result::kOk;
}
