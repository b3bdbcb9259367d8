// The receive slot, the wait for a reply and the one exchange every command
// goes through, members of BootSession.

#include <QCoreApplication>
#include <QElapsedTimer>

#include "platform/platform.h"
#include "protocol/frame.h"
#include "protocol/hex_text.h"
#include "protocol/texts.h"
#include "serial/transport.h"
#include "session/boot_session.h"

namespace {
constexpr int kWriteTimeoutMs = 2000;
constexpr int kPauseSliceMs = 10;  // longest time a wait goes without handling events or a stop
}

void BootSession::serial_receiveData()
{
    if (!port_open())
        return;
    // The wait for more bytes lets a reply that arrives in pieces be read
    // in one go; when the bytes waiting already complete a reply there is
    // nothing to wait for, and the wait would only delay every block.
    if (rx_wait_enabled == 1 && rx_len + transport_->bytes_available() < kReplyLen)
        transport_->wait_ready_read(wait_ms);
    const QByteArray chunk = transport_->read_all();
    QCoreApplication::processEvents();
    gather_chunk(chunk.constData(), chunk.size(), rx_buf, rx_len, rx_ready);
}

void BootSession::pump_events()
{
    QCoreApplication::processEvents();
    // Qt does not emit readyRead again while the receive slot itself is
    // running (it waits and pumps events), so bytes that arrived then sit in
    // the port's buffer with no signal to come. Hand them over here, or a
    // reply that has arrived would be reported as a time-out.
    if (port_open() && transport_->bytes_available() > 0)
        serial_receiveData();
}

bool BootSession::aborted() const
{
    return stop_requested == 1 || link_down == 1;
}

void BootSession::pause_for_reply(int ms)
{
    // A wait loop's pause, cut short only by a whole reply: the pass count
    // and the time a silent device is given stay as they are, but a reply
    // is taken the moment it is complete instead of at the end of the
    // sleep. The event loop is served at least every slice.
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        const qint64 left = ms - clock.elapsed();
        if (left <= 0 || rx_ready == 1 || stop_requested == 1)
            return;
        const int slice = int(qMin<qint64>(left, kPauseSliceMs));
        if (!port_open()) {
            platform::sleep_ms(slice);
        } else if (transport_->bytes_available() == 0) {
            // Delivers readyRead to the receive slot when bytes come.
            transport_->wait_ready_read(slice);
        }
        // Bytes already waiting (a network link reads them while it looks)
        // are handed over at once, not after a slice's sleep.
        pump_events();
    }
}

Reply BootSession::await_reply(const ReplyWait& wait)
{
    if (wait.passes == 0)
        return Reply::Sent;
    for (int pass = 0; pass < wait.passes;) {
        if (rx_ready == 1)
            break;
        // Passes shorter than a slice are slept through together: the reply
        // still ends the wait the moment it is whole and a stop within a
        // slice, the time a silent device is given stays the passes' sum, but
        // the program is not woken a thousand times a second to learn nothing.
        const int group = wait.sleep_ms > 0 ? qBound(1, kPauseSliceMs / wait.sleep_ms, wait.passes - pass) : 1;
        pause_for_reply(group * wait.sleep_ms);
        pass += group;
        pump_events();
        // A stop ends every wait; a removal only those that watch for it
        // (the others run out and report for themselves).
        if (stop_requested == 1 || (wait.abortable && aborted()))
            return Reply::Aborted;
    }
    // A reply handed over by the last pass still counts.
    if (rx_ready != 1)
        return Reply::TimedOut;
    return rx_buf[0] == wait.letter ? Reply::Ok : Reply::WrongLetter;
}

Reply BootSession::exchange(const QByteArray& frame, const ReplyWait& wait)
{
    return exchange(QVector<FrameOut>{FrameOut{frame}}, wait);
}

Reply BootSession::exchange(const QVector<FrameOut>& frames, const ReplyWait& wait)
{
    if (wait.clear_first)
        discard_input();
    rx_ready = 0;
    for (const FrameOut& frame : frames) {
        if (frame.wait_written)
            write_frame(frame.bytes);
        else
            transport_->write(frame.bytes);
        for (int round = 0; round < frame.settle_rounds; ++round) {
            if (frame.paced && !wait.events_first)
                platform::delay_us(wait.pause_us);
            pump_events();
            if (frame.paced && wait.events_first)
                platform::delay_us(wait.pause_us);
        }
    }
    return await_reply(wait);
}

Reply BootSession::checked_exchange(const QByteArray& frame, const ReplyWait& wait, const ReplyChecks& checks)
{
    return checked_exchange(QVector<FrameOut>{FrameOut{frame}}, wait, checks);
}

Reply BootSession::checked_exchange(const QVector<FrameOut>& frames, const ReplyWait& wait,
                                    const ReplyChecks& checks)
{
    const Reply reply = exchange(frames, wait);
    switch (reply) {
    case Reply::WrongLetter:
        if (checks.dump_wrong_reply)
            log_line(hex_bytes_text(rx_buf, kWrongReplyDumpBytes));
        if (checks.wrong_letter_line)
            log_line(QString::fromLatin1(checks.wrong_letter_line));
        break;
    case Reply::TimedOut:
        if (checks.time_over_box)
            show_error(texts::kTimeOver);
        break;
    default:  // a stop or a removal ends the wait without a word
        break;
    }
    return reply;
}

void BootSession::discard_input()
{
    transport_->discard();
    // A partial reply in rx_buf is as stale as the bytes just discarded.
    rx_len = 0;
    rx_ready = 0;
}

void BootSession::write_frame(const QByteArray& frame)
{
    // A write that fails or stalls is not judged here: the reply's wait
    // reports it as a time-out, as for a reply lost on the line.
    transport_->write(frame);
    transport_->wait_written(kWriteTimeoutMs);
}
