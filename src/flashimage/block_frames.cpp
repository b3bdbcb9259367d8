#include "flashimage/block_frames.h"

#include "protocol/frame.h"

namespace {
constexpr int kWidePacketLen = 512;
constexpr int kWideFirstData = 504;   // 'j' data from byte 8
constexpr int kWideMiddleData = 509;  // 'k' data from byte 3, fills the packet
constexpr int kNarrowPacketLen = 64;
constexpr int kNarrowFirstData = 57;  // 'j' data from byte 7
constexpr int kNarrowMiddleData = 62; // 'k' data from byte 2, fills the packet

void put_data(QByteArray& f, int at, const QByteArray& data, int from, int count)
{
    for (int i = 0; i < count; ++i)
        f[at + i] = data[from + i];
}
}  // namespace

QByteArray build_block_write(uint32_t address, int seq, const QByteArray& data)
{
    const int n = data.size();
    if (n > kMaxBlockDataLen)
        return QByteArray();
    QByteArray f = make_frame(kBlockWriteLetter, n + kBlockFrameOverhead);
    put_u32le(f, 1, address);
    f[5] = static_cast<char>(seq & 1);
    put_u16le(f, 6, static_cast<uint16_t>(n));
    put_data(f, 8, data, 0, n);
    put_crc(f, 8 + n);
    return f;
}

QVector<BlockPacket> build_block_packets(PacketForm form, uint32_t address, int seq, const QByteArray& data)
{
    const int n = data.size();
    QVector<BlockPacket> packets;
    if (n > kMaxBlockDataLen)
        return packets;
    const bool wide = form == PacketForm::Wide512;
    const int packet_len = wide ? kWidePacketLen : kNarrowPacketLen;
    const int first_max = wide ? kWideFirstData : kNarrowFirstData;
    const int middle = wide ? kWideMiddleData : kNarrowMiddleData;

    // Bytes behind a packet's data are not significant to the device; they
    // are zero here so that every stream is reproducible.
    QByteArray j = make_frame('j', packet_len);
    put_u32le(j, 1, address);
    j[5] = static_cast<char>(seq & 1);
    const int first = qMin(n, first_max);
    if (wide) {
        put_u16le(j, 6, static_cast<uint16_t>(first));
        put_data(j, 8, data, 0, first);
    } else {
        j[6] = static_cast<char>(first);
        put_data(j, 7, data, 0, first);
    }
    packets.append({j, 1, wide});
    int sent = first;

    while (n > first_max && n - sent >= middle) {
        QByteArray k = make_frame('k', packet_len);
        if (wide) {
            put_u16le(k, 1, static_cast<uint16_t>(middle));
            put_data(k, 3, data, sent, middle);
        } else {
            k[1] = static_cast<char>(middle);
            put_data(k, 2, data, sent, middle);
        }
        sent += middle;
        packets.append({k, 1, wide});
    }
    // A block that did not fit the first packet gets one more settle round
    // before its last packet, whether or not middle packets were sent.
    if (n > first_max)
        ++packets.last().settle_rounds;

    QByteArray l = make_frame('l', packet_len);
    const int rest = n - sent;
    if (wide) {
        put_u16le(l, 1, static_cast<uint16_t>(rest));
        put_data(l, 3, data, sent, rest);
    } else {
        l[1] = static_cast<char>(rest);
        put_data(l, 2, data, sent, rest);
    }
    packets.append({l, 1, false});
    return packets;
}

int judge_block_write_reply(const uint8_t* reply)
{
    if (reply[0] != kBlockReplyLetter)
        return block_write_result::kWrongLetter;
    return static_cast<int8_t>(reply[1]);
}

int judge_block_packets_reply(const uint8_t* reply)
{
    return reply[0] == kBlockReplyLetter ? block_packets_result::kOk : block_packets_result::kWrongLetter;
}
