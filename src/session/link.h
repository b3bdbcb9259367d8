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

// The stop every wait of a link looks at: its own flag, set by a front end
// (Exit, a signal handler's store), and where a caller has one of its own
// (a pool's stop), that one too. Sticky.
class StopSource {
public:
    void request() { stop_.store(true); }
    bool requested() const { return token().requested(); }
    StopToken token() const { return StopToken(&stop_, also_); }
    StopFlag& flag() { return stop_; }
    void also_on(const StopFlag* stop) { also_ = stop; }

private:
    std::atomic<bool> stop_{false};
    const StopFlag* also_ = nullptr;
};

// The reply being gathered from what the line brings, chunk by chunk, into
// a 63-byte reply frame (reply_gather.h has the rule).
class GatheredReply {
public:
    const uint8_t* bytes() const { return buf_; }
    bool whole() const { return ready_; }  // a whole reply, not yet taken by a wait
    void take() { ready_ = false; }
    int gathered() const { return len_; }  // bytes of a reply not yet whole
    void gather(const QByteArray& chunk) { gather_chunk(chunk.constData(), chunk.size(), buf_, len_, ready_); }
    // A partial reply is as stale as the bytes just discarded.
    void clear()
    {
        len_ = 0;
        ready_ = false;
    }
    // Whether a short chunk waits wait_ms for the rest before it is judged;
    // the connect reply's "no need to wait" flag turns it off.
    void set_wait_for_rest(bool on) { wait_for_rest_ = on; }
    bool waits_for_rest() const { return wait_for_rest_; }
    void set_wait_ms(int ms) { wait_ms_ = ms; }
    int wait_ms() const { return wait_ms_; }

private:
    uint8_t buf_[kRxBufLen] = {};
    int len_ = 0;
    bool ready_ = false;
    bool wait_for_rest_ = true;
    int wait_ms_ = 3;  // that wait, 1 to 8 ms (WaitTime)
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
    // A fresh transport for `name`, opened at `rate`. Not open: the result
    // says why (the link logs nothing itself).
    OpenResult open(const QString& name, int rate, HolderLook look = HolderLook::Processes);
    // Whether the transport `name` asks for can move the far end's rate.
    bool changes_rate(const QString& name) const;
    // Moves the open link to `rate`, heeding the stop; false with the
    // transport's failure_line().
    bool set_rate(int rate);
    bool is_open() const { return transport_ && transport_->is_open(); }
    const QString& port_name() const { return port_name_; }
    // What carries the link now (its kind, its failure line); null before the first open.
    const Transport* transport() const { return transport_.get(); }
    void close();  // empties the buffers, then closes
    // The device of the open port went away: the link is down, the port closed.
    void mark_down();
    bool removed() const { return removed_; }
    // Down until a chip has answered on the open port, and again once its device goes.
    bool down() const { return down_; }
    void set_up() { down_ = false; }

    // ---- The stop ----
    StopSource& stop() { return stop_; }
    const StopSource& stop() const { return stop_; }
    bool aborted() const { return stop_.requested() || down_; }  // a stop, or the device removed

    // ---- The exchange ----
    Reply exchange(const QVector<FrameOut>& frames, const ReplyWait& wait);
    Reply exchange(const QByteArray& frame, const ReplyWait& wait)
    {
        return exchange(QVector<FrameOut>{FrameOut{frame}}, wait);
    }
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
    GatheredReply& reply() { return reply_; }
    const GatheredReply& reply() const { return reply_; }

private:
    void receive();  // one chunk of what has come into the reply
    void write_frame(const QByteArray& frame);
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
    StopSource stop_;
    GatheredReply reply_;
    bool drop_late_replies_ = false;
    bool loss_ends_waits_ = false;
    bool reply_owed_ = false;  // the last wait ran out; its reply may still come
};
