// The receive slot, the wait for a reply and the one exchange every command
// goes through, members of MainWindow.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSerialPort>

#include "app/mainwindow.h"
#include "platform/platform.h"
#include "protocol/frame.h"

namespace {
constexpr int kWriteTimeoutMs = 2000;
constexpr int kPauseSliceMs = 10;  // longest time the window goes without handling events in a wait
}

void MainWindow::serial_receiveData()
{
    if (!serial || !serial->isOpen())
        return;
    // The wait for more bytes lets a reply that arrives in pieces be read
    // in one go; when the bytes waiting already complete a reply there is
    // nothing to wait for, and the wait would only delay every block.
    if (rx_wait_enabled == 1 && rx_len + serial->bytesAvailable() < kReplyLen)
        serial->waitForReadyRead(wait_ms);
    const QByteArray chunk = serial->readAll();
    QCoreApplication::processEvents();
    gather_chunk(chunk.constData(), chunk.size(), rx_buf, rx_len, rx_ready);
}

void MainWindow::pump_events()
{
    QCoreApplication::processEvents();
    // Qt does not emit readyRead again while the receive slot itself is
    // running (it waits and pumps events), so bytes that arrived then sit in
    // the port's buffer with no signal to come. Hand them over here, or a
    // reply that has arrived would be reported as a time-out.
    if (serial && serial->isOpen() && serial->bytesAvailable() > 0)
        serial_receiveData();
}

bool MainWindow::aborted() const
{
    return stop_requested == 1 || link_down == 1;
}

void MainWindow::pause_for_reply(int ms)
{
    // A wait loop's pause, cut short only by a whole reply: the pass count
    // and the time a silent device is given stay as they are, but a reply
    // is taken the moment it is complete instead of at the end of the
    // sleep. The event loop is served at least every slice.
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        const qint64 left = ms - clock.elapsed();
        if (left <= 0 || rx_ready == 1)
            return;
        const int slice = int(qMin<qint64>(left, kPauseSliceMs));
        if (serial && serial->isOpen() && serial->bytesAvailable() == 0) {
            // Delivers readyRead to the receive slot when bytes come.
            serial->waitForReadyRead(slice);
        } else {
            platform::sleep_ms(slice);
        }
        pump_events();
    }
}

Reply MainWindow::await_reply(const ReplyWait& wait)
{
    if (wait.passes == 0)
        return Reply::Sent;
    for (int pass = 0; pass < wait.passes; ++pass) {
        if (rx_ready == 1)
            break;
        pause_for_reply(wait.sleep_ms);
        pump_events();
        if (wait.abortable && aborted())
            return Reply::Aborted;
    }
    // A reply handed over by the last pass still counts.
    if (rx_ready != 1)
        return Reply::TimedOut;
    return rx_buf[0] == wait.letter ? Reply::Ok : Reply::WrongLetter;
}

Reply MainWindow::exchange(const QByteArray& frame, const ReplyWait& wait)
{
    return exchange(QVector<FrameOut>{FrameOut{frame}}, wait);
}

Reply MainWindow::exchange(const QVector<FrameOut>& frames, const ReplyWait& wait)
{
    if (wait.clear_first)
        discard_input();
    rx_ready = 0;
    for (const FrameOut& frame : frames) {
        if (frame.wait_written)
            write_frame(frame.bytes);
        else
            serial->write(frame.bytes);
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

void MainWindow::discard_input()
{
    serial->clear(QSerialPort::AllDirections);
    // A partial reply in rx_buf is as stale as the bytes just discarded.
    rx_len = 0;
    rx_ready = 0;
}

void MainWindow::write_frame(const QByteArray& frame)
{
    // A write that fails or stalls is not judged here: the reply's wait
    // reports it as a time-out, as for a reply lost on the line.
    serial->write(frame);
    serial->waitForBytesWritten(kWriteTimeoutMs);
}
