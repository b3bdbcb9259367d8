// The two block writers of the external flash. Touch the link only.

#include "flashimage/block_frames.h"
#include "protocol/catalogue.h"
#include "protocol/texts.h"
#include "session/flash_commands.h"
#include "session/flash_updates.h"
#include "session/operation.h"
#include "session/session_sink.h"

namespace {
// Rounds of 1 ms; a removed device or Exit ends them early. Each frame is
// followed by the link's pacing pause, then by event processing.
constexpr ReplyWait kBlockWriteWait{kBlockWriteWaitRounds, 1, kBlockReplyLetter, false, true};
constexpr ReplyWait kBlockPacketsWait{kBlockPacketsWaitRounds, 1, kBlockReplyLetter, false, true};
// The narrow form's boot loader sends nothing back.
constexpr ReplyWait kBlockPacketsNoReply{0, 0, 0, false, false};
// A reply with another letter is the block's verdict, judged by its status.
constexpr ReplyChecks kBlockChecks{nullptr, false, true};
}  // namespace

int FlashUpdates::Write_FlashBlock(const QByteArray& data, uint32_t address, int seq)
{
    const FrameOut frame{build_block_write(address, seq, data), 1, true};
    const Reply reply =
        link_.checked_exchange(QVector<FrameOut>{frame}, with_pause(kBlockWriteWait, chip_.write_pacing_us), kBlockChecks);
    if (reply == Reply::Ok || reply == Reply::WrongLetter)
        return judge_block_write_reply(link_.reply().bytes());
    return block_write_result::kTimedOut;
}

int FlashUpdates::Write_FlashBlockPackets(const QByteArray& data, uint32_t address, int seq)
{
    const PacketForm form = chip_model(chip_.chip_id).packets;
    QVector<FrameOut> frames;
    for (const BlockPacket& packet : build_block_packets(form, address, seq, data))
        frames.append(FrameOut{packet.bytes, packet.settle_rounds, packet.paced});
    const ReplyWait wait = form == PacketForm::Narrow64 ? kBlockPacketsNoReply : kBlockPacketsWait;
    switch (link_.checked_exchange(frames, with_pause(wait, chip_.write_pacing_us), kBlockChecks)) {
    case Reply::Sent:
        return block_packets_result::kOk;
    case Reply::Ok:
    case Reply::WrongLetter:
        return judge_block_packets_reply(link_.reply().bytes());
    default:
        return block_packets_result::kTimedOut;
    }
}
