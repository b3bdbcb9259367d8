#pragma once

// One boot-loader session, as a front end holds it: the link, the chip's
// facts, the chosen images and the procedures over them, each a part of its
// own (a file, or two, a subsystem):
//
//   link.h             the transport, the reply gathering, the stop and the
//                      one exchange every command goes through
//   chip_facts.h       the identified chip and external flash (a value)
//   selected_images.h  the chosen images and the bytes an update writes (a value)
//   port_session.h     Open, identify, Run, the boot sequences, the connect handshake
//   mcu_procedures.h   the MCU commands, Input File, Update MCU, Check Mcu CRC
//   flash_commands.h   the flash commands, identification and CRC checks
//   flash_updates.h    the block writers, Update Flash (full, at a base,
//                      .diff) and the survey of unchanged blocks
//
// It reaches the operator only through its SessionSink; front ends (the
// window, the command-line programmer) read their inputs, call it and show
// what it reports. Everything runs on the caller's thread; link().stop().request()
// (or a store to link().stop().flag()) ends any wait for the device within
// about 10 ms, and the procedure then returns through its normal path with
// its report saying Verdict::Stopped.

#include <QByteArray>
#include <QString>
#include <cstdint>

#include "serial/transport.h"
#include "session/chip_facts.h"
#include "session/flash_commands.h"
#include "session/flash_updates.h"
#include "session/link.h"
#include "session/mcu_procedures.h"
#include "session/port_session.h"
#include "session/presence.h"
#include "session/selected_images.h"
#include "session/session_report.h"
#include "session/session_sink.h"

class BootSession {
public:
    // `maker`: where the links come from (a unit test plays a script).
    explicit BootSession(SessionSink* sink, TransportMaker maker = make_transport);
    ~BootSession();
    BootSession(const BootSession&) = delete;
    BootSession& operator=(const BootSession&) = delete;

    void set_sink(SessionSink* sink) { link_.set_sink(sink); }
    // The link: its port, stop, idle hook and reply (link.h).
    Link& link() { return link_; }
    const Link& link() const { return link_; }
    const ChipFacts& chip() const { return chip_; }
    const SelectedImages& images() const { return images_; }

    // ---- Port (port_session.h) ----
    bool open_port(const QString& name, int rate_index) { return port_.open_port(name, rate_index); }
    void close_port() { link_.close(); }
    bool port_open() const { return link_.is_open(); }
    int send_boot_sequence(const QString& name, int rate_index, const QByteArray& sequence)
    {
        return port_.send_boot_sequence(name, rate_index, sequence);
    }
    void set_busy_connect_retry_ms(int ms) { port_.set_busy_connect_retry_ms(ms); }
    // A reply that comes after its wait ran out is dropped, never taken as
    // the next command's (Link::set_drop_late_replies); off in the window.
    void set_drop_late_replies(bool on) { link_.set_drop_late_replies(on); }
    // Every wait ends when the port is lost, reported as the loss alone
    // (Link::set_loss_ends_waits); off in the window.
    void set_loss_ends_waits(bool on) { link_.set_loss_ends_waits(on); }

    // ---- Procedures ----
    int open_and_identify(const QString& name, LinkSettings* link, OpenSteps* steps = nullptr)
    {
        return port_.open_and_identify(name, link, steps);
    }
    // Reconnect::Agreed (2) while the boot loader must be reopened at the New Rate.
    int reconnect_state_now() const { return int(port_.reconnect()); }
    void clear_reconnect_state() { port_.clear_reconnect(); }
    int start_application() { return port_.start_application(); }
    int load_mcu_image(const QString& path) { return mcu_.load_mcu_image(path); }
    int load_flash_image(const QString& path) { return updates_.load_flash_image(path); }
    // Update MCU (or, on a chip that keeps its application in the external
    // flash, the same image written there) and Update Flash, from the file.
    UpdateReport update_mcu(const QString& path, const UpdateOptions& options);
    UpdateReport update_flash(const QString& path, const UpdateOptions& options);
    int check_mcu() { return mcu_.check_mcu(); }
    int check_flash(bool send_file_crc) { return flash_.check_flash(send_file_crc); }
    int flash_info() { return flash_.flash_info(); }

private:
    UpdateReport make_report(Operation operation, int code) const;

    Link link_;
    ChipFacts chip_;
    SelectedImages images_;
    UpdateBytes bytes_;  // what the update running wrote and left out
    PortSession port_;
    FlashCommands flash_;
    FlashUpdates updates_;
    McuProcedures mcu_;
};
