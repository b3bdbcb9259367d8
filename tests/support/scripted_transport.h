#pragma once

// A link with no line and no device behind it: every frame the session
// writes is answered by a responder the test writes (a function of the
// frame, so a reply can carry the request's signature); an empty answer is
// silence. A line, where the test gives one, brings bytes nobody asked for
// (a late reply, a boot loader talking on) when the test says they are due.
// For the rules of a single command, without a simulator or a pty.

#include <QElapsedTimer>
#include <QThread>
#include <functional>
#include <memory>
#include <utility>

#include "serial/transport.h"

class ScriptedTransport : public Transport {
public:
    using Responder = std::function<QByteArray(const QByteArray& frame)>;
    using Line = std::function<QByteArray()>;  // what has come by now, unasked

    ScriptedTransport(const QString& name, Responder responder, std::shared_ptr<QList<QByteArray>> written)
        : Transport(name), responder_(std::move(responder)), written_(std::move(written))
    {
    }

    Kind kind() const override { return Kind::Local; }
    OpenResult open(const OpenRequest&) override
    {
        open_ = true;
        OpenResult r;
        r.ok = true;
        return r;
    }
    bool changes_rate() const override { return true; }
    bool set_rate(int, const StopToken&) override { return true; }
    bool is_open() const override { return open_; }
    void close() override { open_ = false; }
    qint64 write(const QByteArray& bytes) override
    {
        written_->append(bytes);
        pending_ += responder_(bytes);
        return bytes.size();
    }
    bool wait_written(int) override { return true; }
    qint64 bytes_available() override
    {
        if (line_)
            rx_ += line_();
        return rx_.size();
    }
    // The answer arrives at the first look; silence takes the time asked.
    bool wait_for_bytes(int ms) override
    {
        if (waited_ms_)
            *waited_ms_ += ms;
        QElapsedTimer clock;
        clock.start();
        for (;;) {
            if (line_)
                pending_ += line_();
            if (!pending_.isEmpty()) {
                rx_ += std::exchange(pending_, QByteArray());
                return true;
            }
            if (clock.elapsed() >= ms)
                return false;
            QThread::msleep(1);
        }
    }
    QByteArray read_all() override { return std::exchange(rx_, QByteArray()); }
    void discard() override { rx_.clear(); pending_.clear(); }

    void set_line(Line line) { line_ = std::move(line); }
    // Adds up the time the link asked to wait for bytes.
    void count_waits(std::shared_ptr<qint64> waited_ms) { waited_ms_ = std::move(waited_ms); }

private:
    Responder responder_;
    Line line_;
    std::shared_ptr<qint64> waited_ms_;
    std::shared_ptr<QList<QByteArray>> written_;
    QByteArray pending_;
    QByteArray rx_;
    bool open_ = false;
};
