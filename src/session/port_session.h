#pragma once

// Open, identify and Run: the port opened at the operator's rate, the
// chip identified by connecting as each catalogued model in turn, the move
// to the New Rate, the boot sequences and the run frame; and the connect
// handshake every procedure starts with (connect.cpp).
//
// It may touch: the link, the chip's facts (the handshake writes them) and
// its own New Rate state; it reads the chosen images' lengths, which the
// connect request carries.

#include <QByteArray>
#include <QDeadlineTimer>
#include <QString>
#include <cstdint>

#include "protocol/connect_frame.h"
#include "protocol/link.h"
#include "session/chip_facts.h"
#include "session/link.h"
#include "session/selected_images.h"

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

// The switch to the New Rate: asked in the connect request, then agreed
// when the chip answered, after which Open reopens the port at that rate.
enum class Reconnect { None = 0, Asked = 1, Agreed = 2 };

struct ConnectAsk {
    ConnectMode mode;
    uint32_t expected_chip_id;
    LinkSettings link;  // byte 16 asks for the New Rate where it differs from the rate
    uint32_t mcu_image_len = 0;
    uint32_t flash_image_len = 0;
};

// The connect handshake ('K'): connect_result. Writes the chip's link facts
// from a matching reply (the version and the link kind in identify mode).
// `heard_busy`, where given, is set when a wrong or a partial reply came:
// something talks on the line, only not as asked. `heard_nothing`, where
// given, says whether the wait ran out with not a byte come.
int connect_device(Link& link, ChipFacts& chip, const ConnectAsk& ask, bool* heard_busy = nullptr,
                   bool* heard_nothing = nullptr);

class PortSession {
public:
    PortSession(Link& link, ChipFacts& chip, const SelectedImages& images);

    // Opens `name` (a device, or an rfc2217:// or socket:// URL) at
    // kBaudRates[rate_index], 8N1, on a fresh transport; "Open fail" and
    // advice when it will not open (nothing when a stop ended it).
    bool open_port(const QString& name, int rate_index);
    // Opens the port, sends a boot sequence and lets it leave.
    int send_boot_sequence(const QString& name, int rate_index, const QByteArray& sequence);
    // Open: opens `name` at link->rate_index and identifies the chip; where
    // the boot loader moved to the New Rate, opens again there (link's rate
    // follows) and identifies it again. operation_result: kOk, kOpenFailed
    // or kNoChip (the port left open).
    int open_and_identify(const QString& name, LinkSettings* link, OpenSteps* steps = nullptr);
    // Connects as each catalogued model in turn; chip_identified reports
    // the one that answered, or "unknown". identify_chip_result.
    int identify_chip(const LinkSettings& link);
    // The identified chip in `mode`, with the chosen images' lengths: the
    // start of every update.
    int connect(ConnectMode mode, const LinkSettings& link);
    int run_application(uint32_t start_address);  // run_application_result
    // Run Uart Application: the run frame to the application's start, given
    // the time to leave before the port may close. operation_result::kPortClosed
    // or run_application_result.
    int start_application();

    // A boot loader whose last command was cut short by a stop (a flash CRC
    // check, a queued reply) is still finishing it when the next connect
    // comes, and answers with what that command left. A front end that may
    // follow such a stop connects again, after the line has gone quiet, for
    // up to ms while the answers say a boot loader is there; 0 (the window):
    // one attempt, as the operator's Open button makes.
    void set_busy_connect_retry_ms(int ms) { busy_retry_ms_ = ms; }
    Reconnect reconnect() const { return reconnect_; }
    void clear_reconnect() { reconnect_ = Reconnect::None; }

private:
    int open_at(const QString& name, const LinkSettings& link, OpenSteps& steps);
    // Empties the line until nothing has come for quiet_ms; false when a
    // stop, a removal or the deadline came first.
    bool drain_until_quiet(int quiet_ms, const QDeadlineTimer& deadline);
    bool refuse_rate_change(const QString& name, const LinkSettings& link);

    Link& link_;
    ChipFacts& chip_;
    const SelectedImages& images_;
    Reconnect reconnect_ = Reconnect::None;
    int busy_retry_ms_ = 0;
    bool heard_busy_ = false;  // the last identification got a wrong or a partial reply
    bool heard_nothing_ = false;  // the last connect's wait ran out with not a byte come
};
