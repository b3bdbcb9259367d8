// The link's one exchange and its waits: every wait pulls from the transport
// in slices of at most 10 ms, looks at the stop between them and calls the
// idle hook. Touches the transport, the reply being gathered, the link's
// flags and the sink.

#include "session/link.h"

#include <QElapsedTimer>

#include "platform/platform.h"
#include "protocol/frame.h"
#include "protocol/hex_text.h"
#include "protocol/texts.h"
#include "session/session_sink.h"

namespace {
constexpr int kWriteTimeoutMs = 2000;
constexpr int kPauseSliceMs = 10;  // longest time a wait goes without the idle hook or a look at the stop
// How long after a wait ran out its reply is still looked for: a stall of
// the link (a network held up, a port server paused) of up to about 3 s
// over a block's 1 s wait.
constexpr int kLateReplyMs = 2000;
// A boot loader's leftovers (a reply, CRC progress reports) come well
// inside this of each other.
constexpr int kLateQuietMs = 300;
// A line that never goes quiet is not waited on for longer than this more.
constexpr int kLateDrainMs = 3000;
}  // namespace

Link::Link(SessionSink* sink, TransportMaker maker) : sink_(sink), maker_(std::move(maker)) {}

Link::~Link()
{
    if (transport_) {
        // A device that goes away while the port closes reports to nobody.
        transport_->on_gone(nullptr);
        if (transport_->is_open())
            close();
    }
}

OpenResult Link::open(const QString& name, int rate, HolderLook look)
{
    if (transport_) {
        transport_->on_gone(nullptr);
        if (transport_->is_open())
            close();
    }
    port_name_ = name;
    transport_ = maker_(name);
    OpenResult result = transport_->open(OpenRequest{rate, look, stop_.token()});
    if (!result.ok)
        return result;
    transport_->on_gone([this] { heard_gone(); });
    removed_ = false;
    gone_reported_ = false;
    // A new session starts with an empty reply buffer: a partial reply of
    // the last one would be put in front of the first reply of this one.
    reply_.clear();
    reply_owed_ = false;
    return result;
}

bool Link::changes_rate(const QString& name) const
{
    if (transport_ && transport_->name() == name)
        return transport_->changes_rate();
    return maker_(name)->changes_rate();
}

bool Link::set_rate(int rate)
{
    return transport_ && transport_->set_rate(rate, stop_.token());
}

void Link::close()
{
    if (!transport_)
        return;
    discard_input();
    transport_->close();
}

void Link::mark_down()
{
    down_ = true;
    removed_ = true;
    if (transport_)
        transport_->close();
}

void Link::heard_gone()
{
    if (!transport_ || !transport_->gone() || gone_reported_)
        return;
    gone_reported_ = true;
    // The device or the connection went away under the open link: the
    // front end handles it as the removal of that port, once. A network
    // link says what happened; a local port's "Remove" says it all.
    if (!transport_->failure_line().isEmpty())
        sink_->log_line(transport_->failure_line());
    sink_->port_failed(port_name_);
    if (transport_->is_open())
        transport_->close();
}

void Link::receive()
{
    if (!is_open())
        return;
    // The wait for more bytes lets a reply that arrives in pieces be read
    // in one go; when the bytes waiting already complete a reply there is
    // nothing to wait for, and the wait would only delay every block.
    if (reply_.waits_for_rest() && reply_.gathered() + transport_->bytes_available() < kReplyLen)
        transport_->wait_for_bytes(reply_.wait_ms());
    const QByteArray chunk = transport_->read_all();
    if (idle_)
        idle_();
    reply_.gather(chunk);
}

void Link::pump()
{
    if (idle_)
        idle_();
    if (is_open() && transport_->bytes_available() > 0)
        receive();
    heard_gone();
}

void Link::pause_for_reply(int ms)
{
    // A wait loop's pause, cut short only by a whole reply: the pass count
    // and the time a silent device is given stay as they are, but a reply
    // is taken the moment it is complete instead of at the end of the
    // sleep. The idle hook runs at least every slice.
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        const qint64 left = ms - clock.elapsed();
        if (left <= 0 || reply_.whole() || stop_.requested())
            return;
        const int slice = int(qMin<qint64>(left, kPauseSliceMs));
        if (!is_open()) {
            platform::sleep_ms(slice);
        } else if (transport_->bytes_available() == 0) {
            if (transport_->wait_for_bytes(slice))
                receive();
        }
        // Bytes already waiting (a network link reads them while it looks)
        // are taken at once, not after a slice's sleep.
        pump();
    }
}

Reply Link::await_reply(const ReplyWait& wait)
{
    if (wait.passes == 0)
        return Reply::Sent;
    for (int pass = 0; pass < wait.passes;) {
        if (reply_.whole())
            break;
        // Passes shorter than a slice are slept through together: the reply
        // still ends the wait the moment it is whole and a stop within a
        // slice, the time a silent device is given stays the passes' sum, but
        // the program is not woken a thousand times a second to learn nothing.
        const int group = wait.sleep_ms > 0 ? qBound(1, kPauseSliceMs / wait.sleep_ms, wait.passes - pass) : 1;
        pause_for_reply(group * wait.sleep_ms);
        pass += group;
        pump();
        // A stop ends every wait; a removal only those that watch for it
        // (the others run out and report for themselves).
        if (stop_.requested() || (wait.abortable && aborted()) || ended_by_loss())
            return Reply::Aborted;
    }
    // A reply taken by the last pass still counts.
    if (!reply_.whole()) {
        reply_owed_ = true;
        return Reply::TimedOut;
    }
    return reply_.bytes()[0] == wait.letter ? Reply::Ok : Reply::WrongLetter;
}

void Link::drop_late_reply()
{
    reply_owed_ = false;
    QElapsedTimer clock;
    clock.start();
    QElapsedTimer quiet;
    quiet.start();
    bool came = false;
    // Not ended by the link being down: that is also the state before a
    // chip has answered, when a connect's reply may be late too.
    while (is_open() && !stop_.requested()) {
        const qint64 waited = clock.elapsed();
        if ((came || waited >= kLateReplyMs) && quiet.elapsed() >= kLateQuietMs)
            break;
        if (waited >= kLateReplyMs + kLateDrainMs)
            break;
        const int had = reply_.gathered();
        pause_for_reply(kPauseSliceMs);
        if (reply_.whole() || reply_.gathered() != had) {
            came = came || reply_.whole();
            reply_.take();
            quiet.restart();
        }
    }
    // A piece of a reply is as stale as the whole ones.
    reply_.clear();
}

Reply Link::exchange(const QVector<FrameOut>& frames, const ReplyWait& wait)
{
    if (reply_owed_ && drop_late_replies_)
        drop_late_reply();
    reply_owed_ = false;
    if (wait.clear_first)
        discard_input();
    reply_.take();
    for (const FrameOut& frame : frames) {
        if (frame.wait_written)
            write_frame(frame.bytes);
        else if (transport_)
            transport_->write(frame.bytes);
        for (int round = 0; round < frame.settle_rounds; ++round) {
            if (frame.paced && !wait.events_first)
                platform::delay_us(wait.pause_us);
            pump();
            if (frame.paced && wait.events_first)
                platform::delay_us(wait.pause_us);
        }
    }
    return await_reply(wait);
}

Reply Link::checked_exchange(const QVector<FrameOut>& frames, const ReplyWait& wait, const ReplyChecks& checks)
{
    const Reply reply = exchange(frames, wait);
    switch (reply) {
    case Reply::WrongLetter:
        if (checks.dump_wrong_reply)
            sink_->log_line(hex_bytes_text(reply_.bytes(), kWrongReplyDumpBytes));
        if (checks.wrong_letter_line)
            sink_->log_line(QString::fromLatin1(checks.wrong_letter_line));
        break;
    case Reply::TimedOut:
        if (checks.time_over_box)
            sink_->error_box(QStringLiteral("Message"), texts::kTimeOver);
        break;
    default:  // a stop or a removal ends the wait without a word
        break;
    }
    return reply;
}

void Link::discard_input()
{
    if (transport_)
        transport_->discard();
    reply_.clear();
}

void Link::write_frame(const QByteArray& frame)
{
    if (!transport_)
        return;
    // A write that fails or stalls is not judged here: the reply's wait
    // reports it as a time-out, as for a reply lost on the line.
    transport_->write(frame);
    transport_->wait_written(kWriteTimeoutMs);
}
