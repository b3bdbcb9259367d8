// The two block writers of the external flash, members of MainWindow.

#include <QSerialPort>

#include "app/mainwindow.h"
#include "app/texts.h"
#include "flashimage/block_frames.h"
#include "platform/platform.h"

namespace {
// Rounds of 1 ms; a removed device or Exit ends them early.
constexpr ReplyWait kBlockWriteWait{kBlockWriteWaitRounds, 1, kBlockReplyLetter, false, true};
constexpr ReplyWait kBlockPacketsWait{kBlockPacketsWaitRounds, 1, kBlockReplyLetter, false, true};
}  // namespace

int MainWindow::Write_FlashBlock(const QByteArray& data, uint32_t address, int seq)
{
    rx_ready = 0;
    write_frame(build_block_write(address, seq, data));
    platform::delay_us(write_pacing_us);
    pump_events();
    switch (await_reply(kBlockWriteWait)) {
    case Reply::Ok:
    case Reply::WrongLetter:
        return judge_block_write_reply(rx_buf);
    case Reply::TimedOut:
        show_error(texts::kTimeOver);
        return block_write_result::kTimedOut;
    case Reply::Aborted:
        break;
    }
    return block_write_result::kTimedOut;
}

int MainWindow::Write_FlashBlockPackets(const QByteArray& data, uint32_t address, int seq)
{
    const PacketForm form = packet_form_for(chip_id);
    if (form == PacketForm::Wide512)
        rx_ready = 0;
    for (const BlockPacket& packet : build_block_packets(form, address, seq, data)) {
        write_frame(packet.bytes);
        for (int round = 0; round < packet.settle_rounds; ++round) {
            if (packet.paced)
                platform::delay_us(write_pacing_us);
            pump_events();
        }
    }
    // The narrow form's boot loader sends nothing back.
    if (form == PacketForm::Narrow64)
        return block_packets_result::kOk;
    switch (await_reply(kBlockPacketsWait)) {
    case Reply::Ok:
    case Reply::WrongLetter:
        return judge_block_packets_reply(rx_buf);
    case Reply::TimedOut:
        show_error(texts::kTimeOver);
        return block_packets_result::kTimedOut;
    case Reply::Aborted:
        break;
    }
    return block_packets_result::kTimedOut;
}
