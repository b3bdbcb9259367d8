#pragma once

// One boot-loader session: the serial port, the reply being gathered, the
// identified chip and flash, the image an update is writing, the stop and
// link-down flags, and every command and procedure. It reaches the operator
// only through its SessionSink; front ends (the window, the command-line
// programmer) read their inputs, call it and show what it reports.
//
// Everything runs on the caller's thread. A procedure's wait for the device
// pumps the event loop, so a removal, a stop request or a click arrives
// meanwhile. request_stop() ends any wait for the device within a few
// milliseconds; the procedure then returns through its normal path and its
// report says Verdict::Stopped.
//
// Every member is defined in this folder, one file a subsystem: the link
// (link.cpp), the connect handshake (connect.cpp), the port with Open,
// identify and Run (port_session.cpp), the MCU commands and update, the flash
// commands and checks, the block writers, the flash updates and the skip
// update. The rules they call (frames, plans, image checks) are the pure
// folders below.

#include <QByteArray>
#include <QDeadlineTimer>
#include <QString>
#include <QVector>
#include <cstdint>
#include <functional>
#include <memory>

#include "flash/flash_frames.h"
#include "flashimage/skip_plan.h"
#include "flashimage/update_plan.h"
#include "protocol/connect_frame.h"
#include "protocol/link.h"
#include "serial/port_advice.h"
#include "session/link.h"
#include "session/presence.h"
#include "session/session_report.h"
#include "session/session_sink.h"

struct McuRange;

// What a front end does around the steps of Open: the window names its Open
// button "Close Comm" once the port is open, holds Open and BootMode off
// while the chip is identified, and moves its rate box to the New Rate.
class OpenSteps {
public:
    virtual ~OpenSteps() = default;
    virtual void port_opened() {}
    virtual void chip_asked() {}  // the identification has ended
    virtual void rate_moved(int rate_index) { (void)rate_index; }
};


class BootSession {
public:
    // `maker`: where the links come from (a unit test plays a script).
    explicit BootSession(SessionSink* sink, TransportMaker maker = make_transport);
    ~BootSession();
    BootSession(const BootSession&) = delete;
    BootSession& operator=(const BootSession&) = delete;

    void set_sink(SessionSink* sink)
    {
        sink_ = sink;
        link_.set_sink(sink);
    }
    // Called between the slices of every wait for the device: the window
    // serves its events there. Nobody else needs one.
    void set_idle(std::function<void()> idle) { link_.set_idle(std::move(idle)); }

    // ---- Port ----
    // Opens `name` (a device, or an rfc2217:// or socket:// URL) at
    // kBaudRates[rate_index], 8N1, on a fresh transport; "Open fail" and
    // advice when it will not open (nothing when a stop ended it).
    bool open_port(const QString& name, int rate_index);
    void close_port() { link_.close(); }
    bool port_open() const { return link_.is_open(); }
    const QString& port_name() const { return link_.port_name(); }
    // The device of the open port went away: the link is down, the port closed.
    void mark_port_removed() { link_.mark_down(); }
    bool device_removed() const { return link_.removed(); }
    // Opens the port, sends a boot sequence and lets it leave.
    int send_boot_sequence(const QString& name, int rate_index, const QByteArray& sequence);
    // The receive slot's wait for more bytes, 1 to 8 ms (WaitTime).
    void set_receive_wait_ms(int ms) { link_.set_receive_wait_ms(ms); }
    int receive_wait_ms() const { return link_.receive_wait_ms(); }
    // A boot loader whose last command was cut short by a stop (a flash CRC
    // check, a queued reply) is still finishing it when the next connect
    // comes, and answers with what that command left. A front end that may
    // follow such a stop connects again, after the line has gone quiet, for
    // up to ms while the answers say a boot loader is there; 0 (the window):
    // one attempt, as the operator's Open button makes.
    void set_busy_connect_retry_ms(int ms) { busy_retry_ms_ = ms; }
    // A reply that comes after its wait ran out is dropped, never taken as
    // the next command's (Link::set_drop_late_replies); off in the window.
    void set_drop_late_replies(bool on) { link_.set_drop_late_replies(on); }
    // Every wait ends when the port is lost, reported as the loss alone
    // (Link::set_loss_ends_waits); off in the window.
    void set_loss_ends_waits(bool on) { link_.set_loss_ends_waits(on); }

    // ---- Stop ----
    // Ends every wait for the device from now on; sticky.
    void request_stop() { link_.request_stop(); }
    bool stop_is_requested() const { return link_.stop_requested(); }
    // The flag itself, for a signal handler to set with one store.
    StopFlag& stop_flag() { return link_.stop_flag(); }

    // ---- Procedures ----
    // Open: opens `name` at link->rate_index and identifies the chip; where
    // the boot loader moved to the New Rate, opens again there (link's rate
    // follows) and identifies it again. operation_result: kOk, kOpenFailed
    // or kNoChip (the port left open).
    int open_and_identify(const QString& name, LinkSettings* link, OpenSteps* steps = nullptr);
    // Connects as each catalogued model in turn; chip_identified reports
    // the one that answered, or "unknown".
    int identify_chip(const LinkSettings& link);  // identify_chip_result
    // kReconnectAgreed while the boot loader must be reopened at the New Rate.
    int reconnect_state_now() const { return reconnect_state; }
    void clear_reconnect_state() { reconnect_state = kReconnectNone; }
    int run_application(uint32_t start_address);  // run_application_result
    // Run Uart Application: the run frame to the application's start, given
    // the time to leave before the port may close. operation_result::kPortClosed
    // or run_application_result.
    int start_application();
    // Reads and takes an MCU or flash image file: operation_result.
    int load_mcu_image(const QString& path);
    int load_flash_image(const QString& path);
    // Update MCU (or, on a chip that keeps its application in the external
    // flash, the same image written there) and Update Flash, from the file.
    UpdateReport update_mcu(const QString& path, const UpdateOptions& options);
    UpdateReport update_flash(const QString& path, const UpdateOptions& options);
    int check_mcu();                     // Check Mcu CRC: operation_result or the check's code
    int check_flash(bool send_file_crc); // Check Flash CRC
    // Get Flash ID, a second time after pause_ms when the first found no
    // catalogued flash: flash_id_result.
    int identify_flash(int pause_ms);
    // Flash Info: identify_flash from an empty line, the second attempt after a pause.
    int flash_info();
    void discard_input() { link_.discard_input(); }  // the port's buffers and the reply being gathered
    void log_timestamp();  // "Timer:h:m:s", local time
    bool refuse_closed_port();  // "Please open the port!" when it is closed

    // ---- What the session knows ----
    uint32_t chip_id() const { return chip_id_; }
    QString chip_model_name() const;
    uint32_t boot_version_now() const { return boot_version; }
    uint32_t flash_id_now() const { return flash_id; }
    int flash_size_now() const { return flash_size; }
    QString flash_name_now() const { return flash_name; }
    int mcu_image_length() const { return mcu_image_len; }
    int flash_image_length() const { return flash_image_len; }
    uint32_t flash_image_crc_now() const { return flash_image_crc; }

private:
    friend class MainWindowTestAccess;
    friend class BootSessionTestAccess;

    void log_line(const QString& text);
    void show_error(const QString& text);  // critical box "Message"
    void set_progress(int percent);
    UpdateReport make_report(Operation operation, int code) const;
    bool app_in_external_flash() const;

    int open_at(const QString& name, const LinkSettings& link, OpenSteps& steps);
    // Empties the line until nothing has come for quiet_ms; false when a
    // stop, a removal or the deadline came first.
    bool drain_until_quiet(int quiet_ms, const QDeadlineTimer& deadline);
    bool refuse_rate_change(const QString& name, const LinkSettings& link);

    // Connect handshake
    int connect_device(ConnectMode mode, uint32_t expected_chip_id, const LinkSettings& link);

    // Internal flash: commands and the MCU update
    int erase_mcu(uint32_t start_offset, uint32_t end_offset);
    int check_mcu_crc();  // of mcu_image_len bytes from run_address's page against mcu_image_crc
    int program_mcu_block(const QByteArray& data, uint32_t block_offset);   // single frame
    int program_mcu_frames(const QByteArray& data, uint32_t block_offset);  // J0/J1/J2 frames
    int write_mcu_block(const QByteArray& data, uint32_t block_offset);     // the form vcom_index selects
    int plan_mcu_update(uint32_t chip, McuRange* range);                    // refusals before anything is sent
    int update_mcu_image(int total, int blk, uint32_t chip, const UpdateOptions& options);
    int mcu_update_prologue(uint32_t chip, const LinkSettings& link, McuRange* range);
    int program_mcu_image(int total, int blk, const McuRange& range);
    bool mcu_image_held(int total, int blk, const McuRange& range);

    // External flash: commands, catalogue, identification, CRC checks
    int Set_FlashMode(uint8_t mode);
    int Get_FlashID(uint8_t variant);
    int Lookup_FlashIni(uint32_t id);  // lookup_flash_ini_result
    int prepare_flash_mode(int mode, bool announce_nand);  // prepare_flash_mode_result
    int run_flash_crc(const FlashCrcJob& job);
    int flash_crc_wait(const FlashCrcJob& job);
    int Check_FlashBlockCRC(uint32_t addr, int len, uint32_t crc);
    int Check_FlashRangeCRC(uint32_t addr, int len, uint32_t crc);
    int Check_FlashImageCRC(bool send_file_crc);

    // Flash images: block writers, updates, the skip survey
    void take_flash_image_check(const FlashImageCheck& check);
    int Write_FlashBlock(const QByteArray& data, uint32_t address, int seq);
    int Write_FlashBlockPackets(const QByteArray& data, uint32_t address, int seq);
    int flash_update_prologue(const LinkSettings& link, int image_len);
    int write_flash_blocks(const QByteArray& source, const QVector<BlockWrite>& plan, bool packets,
                           int max_timed_out_blocks);
    void log_update_start();
    void log_link_kind();
    int Update_FlashFull(int len, int blk, const UpdateOptions& options);
    // `len` bytes of image_data at `base`, then the range's CRC against `expected_crc`.
    int Update_FlashAt(uint32_t base, int len, int blk, uint32_t expected_crc, const UpdateOptions& options);
    int Update_FlashDiff(int len, int blk, const UpdateOptions& options);
    SurveyAnswer ask_flash_crc(uint32_t address, uint32_t len);
    int write_image_blocks(uint32_t base, int len, int blk, TailStyle style, bool packets,
                           const UpdateOptions& options);
    QVector<DiffRecord> diff_records_to_write(const QVector<DiffRecord>& records, int blk);

    SessionSink* sink_;

    // The transport, the reply being gathered, the stop and link-down flags
    Link link_;

    // The identified chip and what its boot loader reported
    uint32_t chip_id_ = 0;
    uint32_t boot_version = 0;
    int vcom_index = 0;           // 1: a virtual-COM link, which takes a block in packets
    int write_pacing_us = 125;    // the pause between a block's frames, from the link code
    int reconnect_state = kReconnectNone;  // the New Rate switch, below
    int busy_retry_ms_ = 0;       // how long a front end's connect tries again after a reply out of turn
    bool connect_heard_busy_ = false;  // the last identification got a wrong or a partial reply
    bool connect_heard_nothing_ = false;  // the last connect's wait ran out with not a byte come

    // The switch to the New Rate: asked in the connect request, then agreed
    // when the chip answered, after which Open reopens the port at that rate.
    static constexpr int kReconnectNone = 0;
    static constexpr int kReconnectAsked = 1;
    static constexpr int kReconnectAgreed = 2;

    int timed_out_blocks_in_row = 0;  // of the flash update running, across its calls of write_flash_blocks
    UpdateBytes update_bytes_;        // what the update running wrote and left out

    // Selected MCU image
    int mcu_image_len = 0;
    uint32_t mcu_image_crc = 0;
    uint32_t run_address = 0;

    // Selected flash image
    int flash_image_len = 0;
    uint32_t flash_image_crc = 0;
    int flash_image_has_info = 0;          // 1: a .bin whose image info block is valid
    uint32_t flash_image_info_crc = 0;     // the CRC that block says the flash must show
    DiffHeader diff_header{};              // a .diff's header, as read at Input File
    QByteArray image_data;

    // Identified external flash
    uint32_t flash_id = 0;
    int flash_size = 0;
    QString flash_name;
    QString flash_catalogue_problem;  // why the last lookup found nothing; empty when it found the ID
};
