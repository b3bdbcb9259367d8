// The connect handshake: one 'K' exchange and what its reply says of the
// chip and the link. Touches the link and the chip's facts only.

#include "platform/platform.h"
#include "protocol/catalogue.h"
#include "protocol/texts.h"
#include "session/port_session.h"
#include "session/session_parts.h"

namespace {
// 51 passes of 30 ms, about 1.5 s; the boot loader clears its buffers first.
constexpr ReplyWait kConnectWait{51, 30, 'K', true, false};
constexpr ReplyChecks kConnectChecks{texts::kConnectWrongLetter};
}  // namespace

int connect_device(Link& link, ChipFacts& chip, const ConnectAsk& ask, bool* heard_busy, bool* heard_nothing)
{
    const uint8_t baud_request = ask.link.rate_index == ask.link.new_rate_index
                                     ? kNoBaudChange
                                     : static_cast<uint8_t>(ask.link.new_rate_index);
    const QByteArray request = build_connect_request(ask.mode, connect_nonce(platform::local_time()),
                                                     ask.expected_chip_id, baud_request, ask.mcu_image_len,
                                                     ask.flash_image_len);

    link.reply().set_wait_for_rest(true);
    if (heard_nothing)
        *heard_nothing = false;
    const Reply replied = link.checked_exchange(request, kConnectWait, kConnectChecks);
    switch (replied) {
    case Reply::Ok:
        break;
    case Reply::WrongLetter:
        if (heard_busy)
            *heard_busy = true;
        return connect_result::kWrongLetter;
    default:
        // Part of a reply: something is talking on the line, only not as asked.
        if (heard_busy && link.reply().gathered() > 0)
            *heard_busy = true;
        if (heard_nothing)
            *heard_nothing = replied == Reply::TimedOut && link.reply().gathered() == 0;
        return connect_result::kTimedOut;
    }
    const ConnectReply reply = parse_connect_reply(link.reply().bytes());
    link.reply().set_wait_for_rest(!reply.no_wait);
    if (reply.signature != reply_signature(request, ask.expected_chip_id))
        return connect_result::kOtherChip;
    chip.write_pacing_us = pacing_for_link_code(reply.link_code, chip.write_pacing_us);
    if (ask.mode != kIdentifyMode)
        return connect_result::kOk;

    chip.boot_version = reply.boot_version;
    chip.vcom = reply.vcom;
    say::line(link, QStringLiteral("vcom_index = ") + QString::number(chip.vcom ? 1 : 0));
    say::line(link, version_label(ask.expected_chip_id) + QString::number(chip.boot_version, 16));
    return connect_result::kOk;
}
