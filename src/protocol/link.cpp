// The receive slot and the standard wait for a reply, members of MainWindow.

#include <QCoreApplication>
#include <QSerialPort>

#include "app/mainwindow.h"
#include "platform/platform.h"

namespace {
constexpr int kWriteTimeoutMs = 2000;
}

void MainWindow::serial_receiveData()
{
    if (!serial || !serial->isOpen())
        return;
    if (rx_wait_enabled == 1)
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

bool MainWindow::wait_for_reply(int passes, int sleep_ms)
{
    for (int pass = 0; pass < passes; ++pass) {
        if (rx_ready == 1)
            return true;
        platform::sleep_ms(sleep_ms);
        pump_events();
    }
    // A reply handed over by the last pass still counts.
    return rx_ready == 1;
}

int MainWindow::write_frame(const QByteArray& frame)
{
    const qint64 written = serial->write(frame);
    serial->waitForBytesWritten(kWriteTimeoutMs);
    return written == frame.size() ? 0 : -1;
}
