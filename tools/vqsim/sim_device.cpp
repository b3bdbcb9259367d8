#include "sim_device.h"

#include <algorithm>

#include "sim_chips.h"

using sim_wire::kFrameLen;
using sim_wire::kReplyLen;

namespace {

constexpr int kPacketLen = 512;
constexpr int kSmallPacketLen = 64;  // VQ350A's short frames and packets
constexpr int kVariableHeaderLen = 8;
constexpr int kCrcLen = 4;

// Where the CRC sits (= how many bytes it covers) in the fixed frames.
constexpr int kConnectFirstCrcAt = 8;
constexpr int kConnectSecondCrcAt = 32;
constexpr int kRunCrcAt = 12;
constexpr int kEraseCrcAt = 9;
constexpr int kMcuCrcCrcAt = 16;
constexpr int kFlashCrcCrcAt = 13;

constexpr uint8_t kFlashReplyOffset = 0x10;  // external-flash commands answer with their letter + 0x10
constexpr uint8_t kNoWaitMark[2] = {'x', 0x87};
constexpr char kSignatureTail[] = "ZKMB";
constexpr uint32_t kMcuCrcRefused = 0;

// Data capacity of the frames of a block stream, by form.
struct StreamLimits {
    int first;  // J0 / 'j'
    int middle; // J1 / 'k', always full
    int last;   // J2 / 'l', at most
};
constexpr StreamLimits kBigJ = {504, 508, 507};
constexpr StreamLimits kSmallJ = {56, 62, 61};
constexpr StreamLimits kBigPackets = {504, 509, 508};
constexpr StreamLimits kSmallPackets = {57, 62, 61};

const QByteArray kBootUpdate = QByteArray::fromHex("AAFF424F4F54555044415445A418E41B11EE");
const QByteArray kBootModeII = QByteArray::fromHex("5AA507107011AA551199");

bool crc_matches(const QByteArray& frame, int at)
{
    return frame.size() >= at + kCrcLen && sim_wire::u32(frame, at) == sim_wire::crc32(frame, at);
}

QByteArray reply(uint8_t letter)
{
    QByteArray r(kReplyLen, '\0');
    r[0] = static_cast<char>(letter);
    return r;
}

QByteArray status_reply(uint8_t letter, uint8_t status)
{
    QByteArray r = reply(letter);
    r[1] = static_cast<char>(status);
    return r;
}

uint8_t byte_at(const QByteArray& b, int at)
{
    return static_cast<uint8_t>(b.at(at));
}

}  // namespace

bool SimDevice::FaultCounter::take()
{
    if (remaining == 0)
        return false;
    if (skip > 0) {
        --skip;
        return false;
    }
    if (remaining > 0)
        --remaining;
    return true;
}

SimDevice::SimDevice(const SimConfig& config)
    : config_(config),
      internal_(int(config.internal_flash_size), SparseFlash::kErased),
      external_(config.flash_size),
      rate_in_force_(config.initial_baud)
{
}

void SimDevice::set_config(const SimConfig& config)
{
    const int old_size = internal_.size();
    internal_.resize(int(config.internal_flash_size));
    if (internal_.size() > old_size)
        std::fill(internal_.begin() + old_size, internal_.end(), SparseFlash::kErased);
    external_.resize(config.flash_size);
    config_ = config;
}

QVector<SimFrame> SimDevice::frames_of(char letter) const
{
    QVector<SimFrame> out;
    for (const SimFrame& f : frames_) {
        if (f.letter == letter)
            out += f;
    }
    return out;
}

void SimDevice::clear_records()
{
    frames_.clear();
    received_.clear();
    unknown_run_open_ = false;
}

void SimDevice::stamp_line(int first, const SimLineSettings& line)
{
    for (int i = std::max(first, 0); i < frames_.size(); ++i)
        frames_[i].line = line;
}

// ---------------------------------------------------------------- framing

QList<QByteArray> SimDevice::feed(const QByteArray& bytes)
{
    QList<QByteArray> replies;
    for (const SimReply& r : feed_timed(bytes))
        replies += r.bytes;
    return replies;
}

QList<SimReply> SimDevice::feed_timed(const QByteArray& bytes)
{
    QList<QByteArray> replies;
    reply_after_us_.clear();
    const auto timed = [&] {
        QList<SimReply> out;
        for (int i = 0; i < replies.size(); ++i)
            out += SimReply{replies.at(i), i < reply_after_us_.size() ? reply_after_us_.at(i) : 0};
        return out;
    };
    received_ += bytes;
    if (halted_)
        return {};
    pending_ += bytes;
    int pos = 0;
    while (pos < pending_.size()) {
        const int len = frame_length(pending_, pos);
        if (len < 0) {
            record_unknown(pending_.at(pos));
            ++pos;
            continue;
        }
        if (len == 0 || pos + len > pending_.size())
            break;
        handle_frame(pending_.mid(pos, len), replies);
        pos += len;
        if (halted_) {
            pending_.clear();
            return timed();
        }
    }
    pending_.remove(0, pos);
    return timed();
}

void SimDevice::line_idle()
{
    unknown_run_open_ = false;
    for (char byte : pending_)
        record_unknown(byte);
    unknown_run_open_ = false;
    pending_.clear();
}

int SimDevice::packet_len() const
{
    return config_.chip_id == kSimVq350aId ? kSmallPacketLen : kPacketLen;
}

// Bytes the frame starting at pos needs; 0 when its header is still
// incomplete; -1 when the byte starts no frame.
int SimDevice::frame_length(const QByteArray& buf, int pos) const
{
    const int avail = buf.size() - pos;
    const auto variable = [&] {
        return avail < kVariableHeaderLen ? 0 : kVariableHeaderLen + sim_wire::u16(buf, pos + 6) + kCrcLen;
    };
    switch (byte_at(buf, pos)) {
    case 'K':
    case 'O':
    case 'L':
    case 'N':
    case 'o':
    case 'm':
    case 'n':
        return kFrameLen;
    case 'j':
    case 'k':
        return packet_len();
    case 'l':
        // The same letter ends a packet stream and starts a block write.
        return stream_.open && stream_.packets ? packet_len() : variable();
    case 'J':
        if (avail < 2)
            return 0;
        switch (buf.at(pos + 1)) {
        case '0':
            return config_.vcom ? packet_len() : variable();
        case '1':
        case '2':
            return packet_len();
        default:
            return -1;
        }
    case 0xAA:
        return avail < 2 ? 0 : byte_at(buf, pos + 1) == 0xFF ? kBootUpdate.size() : -1;
    case 0x5A:
        return avail < 2 ? 0 : byte_at(buf, pos + 1) == 0xA5 ? kBootModeII.size() : -1;
    default:
        return -1;
    }
}

void SimDevice::record(const SimFrame& frame)
{
    frames_ += frame;
    unknown_run_open_ = false;
}

void SimDevice::record_unknown(char byte)
{
    if (!unknown_run_open_) {
        SimFrame f;
        f.kind = FrameKind::Unknown;
        f.letter = byte;
        frames_ += f;
        unknown_run_open_ = true;
    }
    frames_.last().raw += byte;
    frames_.last().length = uint32_t(frames_.last().raw.size());
}

// Counts blocks, not frames: of a J0/J1/J2 block only its J2 counts, as
// only the last packet of a packet stream carries the letter 'l'.
bool SimDevice::reached_halt(const SimFrame& f)
{
    if (halt_countdown_ <= 0 || f.letter != halt_letter_)
        return false;
    if (f.kind == FrameKind::ProgramPart && f.variant != '2')
        return false;
    return --halt_countdown_ == 0;
}

void SimDevice::halt_after(char letter, int nth)
{
    halt_letter_ = letter;
    halt_countdown_ = nth;
}

void SimDevice::resume()
{
    halted_ = false;
    halt_countdown_ = 0;
    pending_.clear();
    stream_ = Stream();
}

void SimDevice::handle_frame(const QByteArray& raw, QList<QByteArray>& replies)
{
    const SimFrame f = decode(raw);
    record(f);
    if (reached_halt(f)) {
        halted_ = true;
        return;
    }
    switch (f.kind) {
    case FrameKind::Connect: on_connect(f, replies); break;
    case FrameKind::Run: on_run(f); break;
    case FrameKind::Erase: on_erase(f, replies); break;
    case FrameKind::Program: on_program(f, replies); break;
    case FrameKind::ProgramPart: on_program_part(f, replies); break;
    case FrameKind::McuCrc: on_mcu_crc(f, replies); break;
    case FrameKind::FlashMode: on_flash_mode(f, replies); break;
    case FrameKind::FlashId: on_flash_id(f, replies); break;
    case FrameKind::FlashCrc: on_flash_crc(f, replies); break;
    case FrameKind::BlockWrite: on_block_write(f, replies); break;
    case FrameKind::BlockPacket: on_block_packet(f, replies); break;
    case FrameKind::BootMode: on_boot_mode(f); break;
    case FrameKind::Unknown: break;
    }
}

// --------------------------------------------------------------- decoding

SimFrame SimDevice::decode(const QByteArray& raw) const
{
    SimFrame f;
    f.raw = raw;
    f.letter = raw.at(0);
    switch (byte_at(raw, 0)) {
    case 'K':
        f.kind = FrameKind::Connect;
        f.variant = raw.at(1);
        f.crc_ok = crc_matches(raw, kConnectSecondCrcAt);
        break;
    case 'O':
        f.kind = FrameKind::Run;
        f.address = sim_wire::u32(raw, 1);
        f.crc_ok = crc_matches(raw, kRunCrcAt);
        break;
    case 'L':
        f.kind = FrameKind::Erase;
        f.address = sim_wire::u32(raw, 1);
        f.length = sim_wire::u32(raw, 5) - f.address;
        f.crc_ok = crc_matches(raw, kEraseCrcAt);
        break;
    case 'N':
        f.kind = FrameKind::McuCrc;
        f.address = sim_wire::u32(raw, 12);
        f.length = sim_wire::u32(raw, 4);
        f.crc_ok = crc_matches(raw, kMcuCrcCrcAt);
        break;
    case 'o':
        f.kind = FrameKind::FlashMode;
        f.variant = raw.at(1);
        break;
    case 'm':
        f.kind = FrameKind::FlashId;
        f.variant = raw.at(2);
        break;
    case 'n':
        f.kind = FrameKind::FlashCrc;
        f.address = sim_wire::u32(raw, 1);
        f.length = sim_wire::u32(raw, 5);
        f.crc_ok = crc_matches(raw, kFlashCrcCrcAt);
        break;
    case 'J':
        decode_program(f);
        break;
    case 'j':
    case 'k':
        decode_packet(f);
        break;
    case 'l':
        if (stream_.open && stream_.packets)
            decode_packet(f);
        else
            decode_variable(f, FrameKind::BlockWrite);
        break;
    case 0xAA:
    case 0x5A:
        f.kind = FrameKind::BootMode;
        f.variant = byte_at(raw, 0) == 0xAA ? '1' : '2';
        f.crc_ok = raw == kBootUpdate || raw == kBootModeII;
        break;
    }
    return f;
}

// 'J','0' single frames and 'l' block writes: header, n data bytes, CRC.
void SimDevice::decode_variable(SimFrame& f, FrameKind kind) const
{
    const bool block_write = kind == FrameKind::BlockWrite;
    f.kind = kind;
    f.address = sim_wire::u32(f.raw, block_write ? 1 : 2);
    if (block_write)
        f.seq = byte_at(f.raw, 5);
    else
        f.variant = f.raw.at(1);
    f.length = sim_wire::u16(f.raw, 6);
    f.data = f.raw.mid(kVariableHeaderLen, int(f.length));
    f.crc_ok = crc_matches(f.raw, kVariableHeaderLen + int(f.length));
}

void SimDevice::decode_program(SimFrame& f) const
{
    if (f.raw.at(1) == '0' && !config_.vcom) {
        decode_variable(f, FrameKind::Program);
        return;
    }
    f.kind = FrameKind::ProgramPart;
    f.variant = f.raw.at(1);
    const bool small = packet_len() == kSmallPacketLen;
    const StreamLimits& lim = small ? kSmallJ : kBigJ;
    switch (f.variant) {
    case '0':
        f.address = sim_wire::u32(f.raw, 2);
        f.length = sim_wire::u16(f.raw, 6);  // the frame's count, or the whole block in the short form
        f.data = f.raw.mid(8, std::min<int>(int(f.length), lim.first));
        break;
    case '1':
        f.length = small ? uint32_t(lim.middle) : sim_wire::u16(f.raw, 2);
        f.data = f.raw.mid(small ? 2 : 4, std::min<int>(int(f.length), lim.middle));
        break;
    default:
        // The short J2 has no count: it holds what the J0 announced and is still missing.
        f.length = small ? uint32_t(std::clamp(stream_left(), 0, lim.last)) : sim_wire::u16(f.raw, 2);
        f.data = f.raw.mid(small ? 2 : 4, std::min<int>(int(f.length), lim.last));
        break;
    }
}

void SimDevice::decode_packet(SimFrame& f) const
{
    f.kind = FrameKind::BlockPacket;
    const bool small = packet_len() == kSmallPacketLen;
    const StreamLimits& lim = small ? kSmallPackets : kBigPackets;
    if (f.letter == 'j') {
        f.address = sim_wire::u32(f.raw, 1);
        f.seq = byte_at(f.raw, 5);
        f.length = small ? byte_at(f.raw, 6) : sim_wire::u16(f.raw, 6);
        f.data = f.raw.mid(small ? 7 : 8, std::min<int>(int(f.length), lim.first));
        return;
    }
    f.length = small ? byte_at(f.raw, 1) : sim_wire::u16(f.raw, 1);
    const int cap = f.letter == 'k' ? lim.middle : lim.last;
    f.data = f.raw.mid(small ? 2 : 3, std::min<int>(int(f.length), cap));
}

int SimDevice::stream_left() const
{
    return stream_.open && stream_.declared_len >= 0 ? stream_.declared_len - stream_.data.size() : 0;
}

// -------------------------------------------------------------- execution

void SimDevice::on_connect(const SimFrame& f, QList<QByteArray>& replies)
{
    const QByteArray own_id = f.raw.left(kConnectFirstCrcAt) + sim_wire::le32(config_.chip_id);
    const bool for_me = sim_wire::crc32(own_id) == sim_wire::u32(f.raw, kConnectFirstCrcAt);

    last_connect_.mode = f.variant;
    last_connect_.baud_request = byte_at(f.raw, 16);
    last_connect_.mcu_image_len = sim_wire::u32(f.raw, 17) & 0xFFFFFF;
    last_connect_.flash_image_len = sim_wire::u32(f.raw, 20);
    last_connect_.accepted = for_me && f.crc_ok;

    // Refusal (another chip ID, or a damaged frame) is a signature the host
    // cannot match: the inverse of the one it would accept from this chip.
    uint32_t signature = sim_wire::crc32(own_id + kSignatureTail);
    if (!last_connect_.accepted)
        signature = ~signature;

    QByteArray r = reply('K');
    sim_wire::set_u32(r, 1, signature);
    sim_wire::set_u32(r, 9, config_.boot_version);
    sim_wire::set_u32(r, 13, config_.link_code);
    if (config_.vcom) {
        r[17] = 'V';
        r[18] = 'v';
    }
    if (config_.no_wait_flag) {
        r[30] = static_cast<char>(kNoWaitMark[0]);
        r[31] = static_cast<char>(kNoWaitMark[1]);
    }
    answer('K', {r}, replies);

    // The reply still goes out at the old rate; the host reopens at the new one.
    if (last_connect_.accepted && last_connect_.baud_request < sim_wire::kRates.size())
        rate_in_force_ = sim_wire::kRates[last_connect_.baud_request];
}

void SimDevice::on_run(const SimFrame& f)
{
    if (!f.crc_ok)
        return;
    app_started_ = true;
    run_address_ = f.address;
}

void SimDevice::on_boot_mode(const SimFrame& f)
{
    if (f.crc_ok)
        app_started_ = false;
}

void SimDevice::on_erase(const SimFrame& f, QList<QByteArray>& replies)
{
    const uint32_t end = sim_wire::u32(f.raw, 5);
    uint8_t status = sim_status::kOk;
    if (!f.crc_ok)
        status = sim_status::kBadCrc;
    else if (f.address > end || end > uint32_t(internal_.size()))
        status = sim_status::kOutOfRange;
    if (status == sim_status::kOk) {
        std::fill(internal_.begin() + f.address, internal_.begin() + end, SparseFlash::kErased);
        erased_once_ = true;
        erased_start_ = f.address;
        erased_end_ = end;
    }
    answer('L', {status_reply('L', status_for('L', status))}, replies);
}

uint8_t SimDevice::program_internal(uint32_t offset, const QByteArray& data)
{
    const uint64_t end = uint64_t(offset) + uint64_t(data.size());
    if (end > uint64_t(internal_.size()))
        return sim_status::kOutOfRange;
    // Outside what the last erase prepared: refused, and the host tries again.
    if (erased_once_ && (offset < erased_start_ || end > erased_end_))
        return sim_status::kOutOfRange;
    // Flash cells only go from 1 to 0: a block written over unerased cells shows.
    for (int i = 0; i < data.size(); ++i)
        internal_[int(offset) + i] = static_cast<char>(internal_.at(int(offset) + i) & data.at(i));
    return sim_status::kOk;
}

uint8_t SimDevice::write_external(uint32_t address, const QByteArray& data)
{
    if (!external_.contains(address, uint64_t(data.size())))
        return sim_status::kOutOfRange;
    external_.write(address, data);
    return sim_status::kOk;
}

void SimDevice::on_program(const SimFrame& f, QList<QByteArray>& replies)
{
    const uint8_t status = f.crc_ok ? program_internal(f.address, f.data) : sim_status::kBadCrc;
    answer('J', {status_reply('J', status_for('J', status))}, replies);
}

void SimDevice::open_stream(bool packets, uint32_t address, int declared_len, bool broken)
{
    stream_ = Stream();
    stream_.open = true;
    stream_.packets = packets;
    stream_.address = address;
    stream_.declared_len = declared_len;
    stream_.broken = broken;
}

// A middle or last frame with no stream of its kind open: the start was lost,
// so what follows is gathered only to be refused as a whole.
void SimDevice::continue_stream(bool packets)
{
    if (!stream_.open || stream_.packets != packets)
        open_stream(packets, 0, -1, true);
}

uint8_t SimDevice::finish_stream()
{
    const Stream s = stream_;
    stream_ = Stream();
    if (s.broken || (s.declared_len >= 0 && s.data.size() != s.declared_len))
        return sim_status::kBrokenStream;
    return s.packets ? write_external(s.address, s.data) : program_internal(s.address, s.data);
}

void SimDevice::on_program_part(const SimFrame& f, QList<QByteArray>& replies)
{
    const bool small = packet_len() == kSmallPacketLen;
    const StreamLimits& lim = small ? kSmallJ : kBigJ;
    const int count = int(f.length);
    if (f.variant == '0') {
        open_stream(false, f.address, small ? count : -1, !small && count > lim.first);
        stream_.data = f.data;
        return;
    }
    continue_stream(false);
    // The short form carries no counts; a short block that does not add up
    // to what its J0 announced is caught when it is finished.
    if (!small && (f.variant == '1' ? count != lim.middle : count > lim.last))
        stream_.broken = true;
    stream_.data += f.data;
    if (f.variant == '1')
        return;
    const uint8_t status = finish_stream();
    answer('J', {status_reply('J', status_for('J', status))}, replies);
}

void SimDevice::on_block_packet(const SimFrame& f, QList<QByteArray>& replies)
{
    const bool small = packet_len() == kSmallPacketLen;
    const StreamLimits& lim = small ? kSmallPackets : kBigPackets;
    const int count = int(f.length);
    if (f.letter == 'j') {
        open_stream(true, f.address, -1, count > lim.first);
        stream_.data = f.data;
        return;
    }
    continue_stream(true);
    if (f.letter == 'k' ? count != lim.middle : count > lim.last)
        stream_.broken = true;
    stream_.data += f.data;
    if (f.letter == 'k')
        return;
    const uint8_t status = finish_stream();
    // The short form is never answered: the host does not wait for it.
    if (!small)
        answer('l', {status_reply('l' + kFlashReplyOffset, status_for('l', status))}, replies);
}

void SimDevice::on_block_write(const SimFrame& f, QList<QByteArray>& replies)
{
    const uint8_t status = f.crc_ok ? write_external(f.address, f.data) : sim_status::kBadCrc;
    answer('l', {status_reply('l' + kFlashReplyOffset, status_for('l', status))}, replies);
}

void SimDevice::on_mcu_crc(const SimFrame& f, QList<QByteArray>& replies)
{
    // Only the run-address models place the image by its run address; the
    // others always program it from offset 0, so their boot loader ignores
    // the offset field (a host whose run_address is 0 sends 0xF7FF8000).
    const uint32_t start = sim_places_by_run_address(config_.chip_id) ? f.address : 0;
    uint32_t crc = kMcuCrcRefused;
    if (f.crc_ok && uint64_t(start) + f.length <= uint64_t(internal_.size()))
        crc = sim_wire::crc32(reinterpret_cast<const uint8_t*>(internal_.constData()) + start, f.length);
    QByteArray r = reply('N');
    sim_wire::set_u32(r, 1, crc_for('N', crc));
    answer('N', {r}, replies, {crc == kMcuCrcRefused ? 0 : crc_time_us(f.length)});
}

void SimDevice::on_flash_mode(const SimFrame& f, QList<QByteArray>& replies)
{
    flash_mode_ = static_cast<uint8_t>(f.variant);
    answer('o', {reply('o' + kFlashReplyOffset)}, replies);
}

void SimDevice::on_flash_id(const SimFrame& f, QList<QByteArray>& replies)
{
    const int variant = static_cast<uint8_t>(f.variant);
    if (variant < 0 || variant > 1 || config_.flash_id_fails[variant]) {
        // Not acknowledged: the letter comes back without the 0x10 mark.
        answer('m', {reply('m')}, replies);
        return;
    }
    QByteArray r = reply('m' + kFlashReplyOffset);
    sim_wire::set_u32(r, 1, config_.flash_id[variant]);
    answer('m', {r}, replies);
}

void SimDevice::on_flash_crc(const SimFrame& f, QList<QByteArray>& replies)
{
    constexpr uint8_t letter = 'n' + kFlashReplyOffset;
    const auto make = [](uint8_t status, uint32_t value) {
        QByteArray r = status_reply(letter, status);
        sim_wire::set_u32(r, 2, value);
        return r;
    };
    if (!f.crc_ok || !external_.contains(f.address, f.length)) {
        answer('n', {make(status_for('n', kFlashCrcRefused), crc_for('n', 0))}, replies);
        return;
    }
    QList<QByteArray> own;
    QList<int64_t> after_us;
    const int64_t busy_us = crc_time_us(f.length);
    int reports = std::max(config_.progress_reports, 0);
    // Spread over the time the CRC takes, and never closer together than a
    // boot loader reports.
    if (busy_us > 0)
        reports = int(std::min<int64_t>(reports, std::max<int64_t>(busy_us / kMinProgressSpacingUs - 1, 0)));
    for (int i = 1; i <= reports; ++i) {
        own += make(kFlashCrcProgress, uint32_t(uint64_t(f.length) * i / (reports + 1)));
        after_us += busy_us * i / (reports + 1);
    }
    own += make(status_for('n', config_.final_status), crc_for('n', external_.crc(f.address, f.length)));
    after_us += busy_us;
    answer('n', own, replies, after_us);
}

int64_t SimDevice::crc_time_us(uint32_t len) const
{
    constexpr int64_t kUsPerSecond = 1000000;
    return config_.crc_rate == 0 ? 0 : int64_t(len) * kUsPerSecond / config_.crc_rate;
}

// ----------------------------------------------------------------- faults

void SimDevice::answer(char letter, QList<QByteArray> own, QList<QByteArray>& replies, const QList<int64_t>& after_us)
{
    const auto it = faults_.find(letter);
    if (it != faults_.end()) {
        if (it->second.silent.take())
            return;
        if (it->second.wrong_letter.take())
            own.last()[0] = static_cast<char>(it->second.reply_letter);
    }
    // Replies of earlier frames in the same feed keep their places.
    while (reply_after_us_.size() < replies.size())
        reply_after_us_ += 0;
    for (int i = 0; i < own.size(); ++i)
        reply_after_us_ += i < after_us.size() ? after_us.at(i) : 0;
    replies += own;
}

uint8_t SimDevice::status_for(char letter, uint8_t status)
{
    const auto it = faults_.find(letter);
    return it != faults_.end() && it->second.status.take() ? it->second.status_byte : status;
}

uint32_t SimDevice::crc_for(char letter, uint32_t crc)
{
    const auto it = faults_.find(letter);
    if (it == faults_.end() || !it->second.wrong_crc.take())
        return crc;
    return it->second.crc_value.value_or(~crc);
}

void SimDevice::set_silent(char letter, int count, int skip)
{
    faults_[letter].silent.remaining = count;
    faults_[letter].silent.skip = skip;
}

void SimDevice::set_wrong_letter(char letter, int count, uint8_t reply_letter)
{
    faults_[letter].wrong_letter.remaining = count;
    faults_[letter].reply_letter = reply_letter;
}

void SimDevice::set_status(char letter, uint8_t status, int count, int skip)
{
    faults_[letter].status.remaining = count;
    faults_[letter].status.skip = skip;
    faults_[letter].status_byte = status;
}

void SimDevice::set_wrong_crc(char letter, int count, std::optional<uint32_t> value)
{
    faults_[letter].wrong_crc.remaining = count;
    faults_[letter].crc_value = value;
}
