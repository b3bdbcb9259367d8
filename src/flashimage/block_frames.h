#pragma once

// The external flash block writes: the one-frame block write 'l' and the
// 'j'/'k'/'l' packet stream used on virtual-COM links, and the judgement of
// their replies. The session's writers send what these build.

#include <QByteArray>
#include <QVector>
#include <cstdint>

#include "protocol/catalogue.h"  // PacketForm

constexpr char kBlockWriteLetter = 'l';
constexpr uint8_t kBlockReplyLetter = 0x7C;  // the command letter plus 0x10
constexpr int kBlockFrameOverhead = 12;      // letter, address, sequence bit, length; CRC behind the data
constexpr int kMaxBlockDataLen = 0xFFFF;     // the length field is 16 bits wide

// Results of Write_FlashBlock besides the device's own signed status.
namespace block_write_result {
enum : int { kWrongLetter = 5, kTimedOut = -3 };
}
// Results of Write_FlashBlockPackets.
namespace block_packets_result {
enum : int { kOk = 0, kWrongLetter = -2, kTimedOut = -3 };
}

// Reply waits of the two writers: rounds of Sleep(1) plus event processing.
constexpr int kBlockWriteWaitRounds = 1001;
constexpr int kBlockPacketsWaitRounds = 2001;

// The 'l' frame: n + 12 bytes, the boot CRC-32 of the first n + 8 behind the
// data. Empty when the data does not fit the 16-bit length field.
QByteArray build_block_write(uint32_t address, int seq, const QByteArray& data);


struct BlockPacket {
    QByteArray bytes;   // written whole: 512 or 64 bytes
    int settle_rounds;  // after waitForBytesWritten: rounds of [pacing pause if paced] then the link's pump
    bool paced;         // the pause is delay_us(write_pacing_us)
};

// The packets of one block in sending order, with what follows each write.
// Empty when the data is longer than kMaxBlockDataLen.
QVector<BlockPacket> build_block_packets(PacketForm form, uint32_t address, int seq, const QByteArray& data);

// Write_FlashBlock's verdict on a 63-byte reply: the signed status when the
// letter is right, block_write_result::kWrongLetter otherwise.
int judge_block_write_reply(const uint8_t* reply);

// Write_FlashBlockPackets' verdict on the reply to a 512-byte stream.
int judge_block_packets_reply(const uint8_t* reply);
