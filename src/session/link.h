#pragma once

// The link to the boot loader: the transport, the reply being gathered, the
// stop, and the one exchange every command goes through (write a frame or a
// block's frames with their pacing, then wait for the reply in a plain loop
// with deadlines, taking it the moment it is whole).
//
// It may touch: its transport, its reply buffer and flags, the stop and
// link-down flags, and the sink (log lines, "Time over!", port_failed). It
// knows nothing of chips, flashes or images.
//
// Every wait pulls from the transport in slices of at most 10 ms and looks
// at the stop between them; a front end that must keep serving its own
// events meanwhile (the window) gives an idle hook, called between slices.
// Nothing here re-enters an event loop by itself.

#include <QByteArray>
#include <QString>
#include <QVector>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "protocol/link.h"
#include "protocol/reply_gather.h"
#include "serial/transport.h"

class SessionSink;

// What a checked exchange does with a reply that is not the expected one.
struct ReplyChecks {
    const char* wrong_letter_line = nullptr;  // logged when the reply has another letter
    bool dump_wrong_reply = false;            // its first bytes logged first
    bool time_over_box = true;                // "Time over!" when none came
};

class Link {
public:
    explicit Link(SessionSink* sink, TransportMaker maker = make_transport);
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    void set_sink(SessionSink* sink) { sink_ = sink; }
    SessionSink& sink() const { return *sink_; }
    // Called between the slices of every wait; the window serves its events there.
    void set_idle(std::function<void()> idle) { idle_ = std::move(idle); }

    // ---- The port ----
    // Where the transports of the next opens come from (a test plays a script).
    void set_transport_maker(TransportMaker maker) { maker_ = std::move(maker); }
    // A fresh transport for `name`, opened at `rate`. Not open: the result
    // says why (the link logs nothing itself).
    OpenResult open(const QString& name, int rate, HolderLook look = HolderLook::Processes);
    // Whether the transport `name` asks for can move the far end's rate.
    bool changes_rate(const QString& name) const;
    // Moves the open link to `rate`, heeding the stop; false with failure_line().
    bool set_rate(int rate);
    QString failure_line() const;
    bool is_open() const { return transport_ && transport_->is_open(); }
    bool is_remote() const { return transport_ && transport_->kind() != Transport::Kind::Local; }
    const QString& port_name() const { return port_name_; }
    const Transport* transport() const { return transport_.get(); }
    void close();  // empties the buffers, then closes
    // The device of the open port went away: the link is down, the port closed.
    void mark_down();
    bool removed() const { return removed_; }
    // Down until a chip has answered on the open port, and again once its device goes.
    bool down() const { return down_; }
    void set_up() { down_ = false; }

    // ---- The stop ----
    // Sticky: ends every wait from now on. The flag may also be set
    // directly (a signal handler's store).
    void request_stop() { stop_.store(true); }
    bool stop_requested() const { return stop_token().requested(); }
    StopToken stop_token() const { return StopToken(&stop_, also_stop_); }
    StopFlag& stop_flag() { return stop_; }
    void also_stop_on(const StopFlag* stop) { also_stop_ = stop; }
    bool aborted() const { return stop_requested() || down_; }  // a stop, or the device removed

    // ---- The exchange ----
    Reply exchange(const QVector<FrameOut>& frames, const ReplyWait& wait);
    Reply exchange(const QByteArray& frame, const ReplyWait& wait) { return exchange(QVector<FrameOut>{FrameOut{frame}}, wait); }
    // With the command's rules for a wrong reply and a time-out.
    Reply checked_exchange(const QVector<FrameOut>& frames, const ReplyWait& wait, const ReplyChecks& checks);
    Reply checked_exchange(const QByteArray& frame, const ReplyWait& wait, const ReplyChecks& checks)
    {
        return checked_exchange(QVector<FrameOut>{FrameOut{frame}}, wait, checks);
    }
    Reply await_reply(const ReplyWait& wait);
    // A wait loop's pause, cut short by a whole reply or a stop.
    void pause_for_reply(int ms);
    // Between two steps of a procedure: the idle hook, and bytes that are waiting.
    void pump();
    void discard_input();  // the port's buffers and the reply being gathered

    // ---- Late replies ----
    // A boot loader may still answer a command whose wait ran out ("Time
    // over!"). Off (the window, as it always was), that answer is taken by
    // the next command. On (the front ends beyond the window), the next
    // exchange first waits a while for it and then until the line has been
    // quiet, dropping what came: a late answer is never a later command's.
    void set_drop_late_replies(bool on) { drop_late_replies_ = on; }
    // A wait of the caller's own (the flash CRC's) ran out.
    void wait_ran_out() { reply_owed_ = true; }
    // Off (the window), a wait that does not watch for a removal runs its
    // course after the port went away and ends in "Time over!". On (the
    // front ends beyond it), every wait ends as soon as the loss is heard:
    // it is reported as the loss, with nothing after it.
    void set_loss_ends_waits(bool on) { loss_ends_waits_ = on; }
    bool ended_by_loss() const { return loss_ends_waits_ && removed_; }

    // ---- The reply ----
    const uint8_t* reply() const { return rx_buf_; }
    bool reply_ready() const { return rx_ready_; }
    void take_reply() { rx_ready_ = false; }
    int gathered() const { return rx_len_; }  // bytes of a reply not yet whole
    // Whether a short chunk waits receive_wait_ms for the rest before it is
    // judged; the connect reply's "no need to wait" flag turns it off.
    void set_wait_for_rest(bool on) { wait_for_rest_ = on; }
    bool waits_for_rest() const { return wait_for_rest_; }
    void set_receive_wait_ms(int ms) { wait_ms_ = ms; }
    int receive_wait_ms() const { return wait_ms_; }

private:
    friend class BootSessionTestAccess;
    friend class MainWindowTestAccess;

    void receive();  // one chunk of what has come into the reply
    void write_frame(const QByteArray& frame);
    void idle();
    void heard_gone();
    void drop_late_reply();

    SessionSink* sink_;
    TransportMaker maker_;
    std::unique_ptr<Transport> transport_;
    std::function<void()> idle_;
    QString port_name_;
    bool removed_ = false;        // the open port's device went away; cleared when a port opens
    bool gone_reported_ = false;  // its loss has been reported, once
    bool down_ = true;
    std::atomic<bool> stop_{false};
    const StopFlag* also_stop_ = nullptr;

    uint8_t rx_buf_[kRxBufLen] = {};
    int rx_len_ = 0;          // bytes of the reply gathered so far
    bool rx_ready_ = false;   // rx_buf_ holds a whole reply, not yet taken by a wait
    bool wait_for_rest_ = true;
    int wait_ms_ = 3;         // that wait, 1 to 8 ms (WaitTime)
    bool drop_late_replies_ = false;
    bool loss_ends_waits_ = false;
    bool reply_owed_ = false;  // the last wait ran out; its reply may still come
};
