#pragma once

// The boot loader on the far side of the serial line, as a pure model:
// bytes in, reply frames out, two memories, and a record of every frame.
// No I/O and no clocks, so the transport (SimServer) can delay, split or
// drop the replies it hands back.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QVector>
#include <array>
#include <cstdint>
#include <map>
#include <optional>

#include "sim_wire.h"
#include "sparse_flash.h"

constexpr uint32_t kMiB = 1024 * 1024;
constexpr uint32_t kInternalFlashBase = 0x08008000;  // internal flash offset 0


// Status bytes this boot loader answers with. A refused CRC is positive and
// above 2 so that every host writer retries the block rather than accepting it.
namespace sim_status {
constexpr uint8_t kOk = 0;
constexpr uint8_t kBadCrc = 3;
constexpr uint8_t kOutOfRange = 4;
constexpr uint8_t kBrokenStream = 6;  // a packet stream or J0/J1/J2 block that does not add up
}  // namespace sim_status

// Final statuses of the flash CRC command ('n'); progress reports carry '0'.
constexpr uint8_t kFlashCrcProgress = '0';
constexpr uint8_t kFlashCrcDone = '1';
constexpr uint8_t kFlashCrcRefused = '2';

// How fast the device reads its memory to compute a CRC ('n', 'N'). The
// program's default is a boot loader reading a quad SPI flash; the model's
// own default (0) answers at once, as a device model without clocks did.
constexpr uint32_t kDefaultCrcRate = 8000000;  // bytes per second
// A boot loader reports progress no more often than this: replies closer
// together could reach the host in one read, which it cannot take apart.
constexpr int64_t kMinProgressSpacingUs = 60000;

struct SimConfig {
    uint32_t chip_id = 0x19714410;  // VQ4410, which has an external flash
    uint32_t boot_version = 0x00010002;
    uint32_t link_code = 0xEEBA0080;
    bool vcom = false;          // answer 'V','v': the host then writes in J0/J1/J2 frames and packet streams
    bool no_wait_flag = false;  // answer 'x',0x87: the host's receive slot need not wait for more bytes
    std::array<uint32_t, 2> flash_id = {0x00EF4018, 0x00EF4018};  // per get-flash-ID variant
    std::array<bool, 2> flash_id_fails = {false, false};
    uint32_t flash_size = 16 * kMiB;
    int progress_reports = 3;  // per flash CRC command, before the final reply
    uint8_t final_status = kFlashCrcDone;
    uint32_t crc_rate = 0;  // bytes per second of a CRC ('n', 'N'); 0: the reply comes at once
    uint32_t internal_flash_size = 2 * kMiB;
    int initial_baud = 115200;  // rate in force until a connect switches it
};

enum class FrameKind {
    Connect,      // 'K'
    Run,          // 'O'
    Erase,        // 'L'
    Program,      // 'J','0' single frame with CRC
    ProgramPart,  // 'J' J0/J1/J2 frame of a virtual-COM block
    McuCrc,       // 'N'
    FlashMode,    // 'o'
    FlashId,      // 'm'
    FlashCrc,     // 'n'
    BlockWrite,   // 'l' with CRC
    BlockPacket,  // 'j'/'k'/'l' packet of a block stream
    BootMode,     // one of the two wake-up sequences
    Unknown,      // bytes that start no frame, skipped to resynchronise
};

// The serial line as the host had set it when a frame arrived.
struct SimLineSettings {
    int rate = 0;  // 0: not known (frames fed without a line)
    int data_bits = 0;
    char parity = '?';  // 'N', 'E', 'O'
    int stop_bits = 0;
    bool hardware_flow = false;
    bool software_flow = false;

    // "8N1", then " rts/cts" or " xon/xoff" for flow control.
    QString format() const
    {
        QString s = QStringLiteral("%1%2%3").arg(data_bits).arg(QChar(parity)).arg(stop_bits);
        if (hardware_flow)
            s += QStringLiteral(" rts/cts");
        if (software_flow)
            s += QStringLiteral(" xon/xoff");
        return s;
    }
};

struct SimFrame {
    FrameKind kind = FrameKind::Unknown;
    char letter = 0;   // byte 0
    char variant = 0;  // connect mode, J frame digit, flash mode, flash ID variant, BootMode '1'/'2'
    uint32_t address = 0;  // offset, flash address or run address, where the frame has one
    uint32_t length = 0;   // the frame's length or count field; for frames without one, the data bytes it carries
    int seq = -1;          // sequence bit, -1 for frames without one
    QByteArray data;
    bool crc_ok = true;  // also false for a BootMode sequence that differs from the constant
    QByteArray raw;
    SimLineSettings line;
};

// A reply and when the device has it ready, counted from the moment the
// frame that asked for it was complete (a CRC takes the device time).
struct SimReply {
    QByteArray bytes;
    int64_t after_us = 0;
};

struct ConnectRecord {
    char mode = 0;
    uint8_t baud_request = sim_wire::kNoBaudChange;
    uint32_t mcu_image_len = 0;  // low 24 bits, as sent
    uint32_t flash_image_len = 0;
    bool accepted = false;  // both CRCs matched this chip
};

class SimDevice {
public:
    static constexpr int kAlways = -1;  // fault count: every command of the letter from now on
    static constexpr uint8_t kDefaultWrongLetter = '?';

    explicit SimDevice(const SimConfig& config = {});

    const SimConfig& config() const { return config_; }
    // Memories keep their contents; a size change drops or adds erased space.
    void set_config(const SimConfig& config);

    // Accepts host bytes in any chunking and returns the 63-byte replies of
    // the frames completed by them, in order.
    QList<QByteArray> feed(const QByteArray& bytes);
    // The same, with when each reply is ready.
    QList<SimReply> feed_timed(const QByteArray& bytes);
    // Part of a frame is in and the rest has not come.
    bool mid_frame() const { return !pending_.isEmpty(); }
    // The line stayed quiet for the inter-byte time-out with part of a frame
    // in: the boot loader drops it, as UART boot loaders do, so that the
    // next frame is read from its first byte; the dropped bytes are recorded
    // as bytes that started no frame.
    void line_idle();
    // Device time to compute the CRC of len bytes at the configured rate.
    int64_t crc_time_us(uint32_t len) const;

    // Memories: internal flash offset 0 is address kInternalFlashBase. It
    // takes programming only inside the range of the last erase (all of it
    // before the first, as it starts erased).
    QByteArray& internal_flash() { return internal_; }
    const QByteArray& internal_flash() const { return internal_; }
    SparseFlash& external_flash() { return external_; }
    const SparseFlash& external_flash() const { return external_; }

    // Records.
    const QVector<SimFrame>& frames() const { return frames_; }
    QVector<SimFrame> frames_of(char letter) const;
    const QByteArray& received() const { return received_; }
    void clear_records();
    // The transport notes the line settings the frames from index first on arrived with.
    void stamp_line(int first, const SimLineSettings& line);

    // State the commands leave behind.
    int rate_in_force() const { return rate_in_force_; }
    const ConnectRecord& last_connect() const { return last_connect_; }
    bool app_started() const { return app_started_; }
    uint32_t run_address() const { return run_address_; }
    int flash_mode() const { return flash_mode_; }  // 0 until a set-flash-mode command

    // Faults. They spoil replies only: the command itself is still executed
    // (a reply lost or garbled on the way back). A count is the number of
    // coming commands of that letter that are affected, or kAlways; skip
    // lets that many pass untouched first. A block of J0/J1/J2 frames is one
    // command, answered after its J2, so 'J' faults count blocks in both forms.
    void set_silent(char letter, int count, int skip = 0);
    // Applies to the command's last reply, so a flash CRC command can give
    // good progress reports and then a wrong final letter.
    void set_wrong_letter(char letter, int count = 1, uint8_t reply_letter = kDefaultWrongLetter);
    // The status byte of 'L', 'J', 'l' replies, or the final status of 'n'.
    void set_status(char letter, uint8_t status, int count = kAlways, int skip = 0);
    // The CRC reported by 'N' or 'n': the given value, or the true CRC inverted.
    void set_wrong_crc(char letter, int count = kAlways, std::optional<uint32_t> value = std::nullopt);

    // Halts on the nth frame of the letter from now on (1 = the next one;
    // for 'J' the nth block: a J0/J1/J2 block counts at its J0):
    // that frame is recorded but not executed, and nothing more is accepted
    // until resume(). For 'J' and 'l' the count is in blocks (a J0/J1/J2
    // block halts on its J2, a packet stream on its 'l'), so nth = k + 1
    // lets k blocks through. The transport uses it to pull the plug mid-operation.
    void halt_after(char letter, int nth);
    bool halted() const { return halted_; }
    void resume();

private:
    struct FaultCounter {
        int remaining = 0;
        int skip = 0;
        bool take();
    };
    struct LetterFaults {
        FaultCounter silent;
        FaultCounter wrong_letter;
        uint8_t reply_letter = kDefaultWrongLetter;
        FaultCounter status;
        uint8_t status_byte = 0;
        FaultCounter wrong_crc;
        std::optional<uint32_t> crc_value;
    };
    // A J0/J1/J2 block (internal flash) or a j/k/l packet stream (external
    // flash) being gathered; it is written only once its last frame is in.
    struct Stream {
        bool open = false;
        bool packets = false;
        bool broken = false;
        uint32_t address = 0;
        int declared_len = -1;  // only the short J0 announces the whole block
        QByteArray data;
    };

    int packet_len() const;
    int frame_length(const QByteArray& buf, int pos) const;
    void handle_frame(const QByteArray& raw, QList<QByteArray>& replies);
    void record(const SimFrame& frame);
    void record_unknown(char byte);
    bool reached_halt(const SimFrame& f);

    SimFrame decode(const QByteArray& raw) const;
    void decode_variable(SimFrame& f, FrameKind kind) const;
    void decode_program(SimFrame& f) const;
    void decode_packet(SimFrame& f) const;
    int stream_left() const;

    void on_connect(const SimFrame& f, QList<QByteArray>& replies);
    void on_run(const SimFrame& f);
    void on_boot_mode(const SimFrame& f);
    void on_erase(const SimFrame& f, QList<QByteArray>& replies);
    void on_program(const SimFrame& f, QList<QByteArray>& replies);
    void on_program_part(const SimFrame& f, QList<QByteArray>& replies);
    void on_block_packet(const SimFrame& f, QList<QByteArray>& replies);
    void on_block_write(const SimFrame& f, QList<QByteArray>& replies);
    void on_mcu_crc(const SimFrame& f, QList<QByteArray>& replies);
    void on_flash_mode(const SimFrame& f, QList<QByteArray>& replies);
    void on_flash_id(const SimFrame& f, QList<QByteArray>& replies);
    void on_flash_crc(const SimFrame& f, QList<QByteArray>& replies);

    uint8_t program_internal(uint32_t offset, const QByteArray& data);
    uint8_t write_external(uint32_t address, const QByteArray& data);
    void open_stream(bool packets, uint32_t address, int declared_len, bool broken);
    void continue_stream(bool packets);
    uint8_t finish_stream();

    // after_us: when each of own is ready (none: at once).
    void answer(char letter, QList<QByteArray> own, QList<QByteArray>& replies, const QList<int64_t>& after_us = {});
    uint8_t status_for(char letter, uint8_t status);
    uint32_t crc_for(char letter, uint32_t crc);

    SimConfig config_;
    QByteArray internal_;
    SparseFlash external_;
    QByteArray pending_;
    QList<int64_t> reply_after_us_;  // beside the replies of the feed in progress
    QByteArray received_;
    QVector<SimFrame> frames_;
    bool unknown_run_open_ = false;
    Stream stream_;
    ConnectRecord last_connect_;
    int rate_in_force_;
    bool app_started_ = false;
    uint32_t run_address_ = 0;
    int flash_mode_ = 0;
    bool erased_once_ = false;
    uint32_t erased_start_ = 0;
    uint32_t erased_end_ = 0;
    std::map<char, LetterFaults> faults_;
    char halt_letter_ = 0;
    int halt_countdown_ = 0;
    bool halted_ = false;
};
