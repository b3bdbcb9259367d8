#pragma once

// What a link to the boot loader needs of whatever carries it: a local
// serial port, or a serial port served over the network (rfc2217://host:port
// with rate changes, socket://host:port without).
//
// A pull interface on the caller's thread: every call returns by itself,
// the waits within the time they are given, and the long ones (a network
// connect, the telnet option exchange, a rate the server must confirm) also
// within about 10 ms of a stop. Nothing here needs an event loop or a
// signal; the link reads when it wants bytes.

#include <QByteArray>
#include <QString>
#include <atomic>
#include <functional>
#include <memory>

#include "serial/port_advice.h"
#include "serial/port_url.h"

// Set from anywhere (a signal handler included: a lock-free store) to end
// every wait that is given it.
using StopFlag = std::atomic<bool>;

inline bool stop_set(const StopFlag* stop)
{
    return stop && stop->load(std::memory_order_relaxed);
}

// What a wait looks at: the link's own flag and, where a caller has one of
// its own (a pool's stop), that one too.
class StopToken {
public:
    StopToken() = default;
    StopToken(const StopFlag* first, const StopFlag* second = nullptr) : first_(first), second_(second) {}
    bool requested() const { return stop_set(first_) || stop_set(second_); }

private:
    const StopFlag* first_ = nullptr;
    const StopFlag* second_ = nullptr;
};

struct OpenRequest {
    int rate = 115200;  // bits per second, 8N1
    // How root looks for another holder of a local port before opening it.
    HolderLook look = HolderLook::Processes;
    StopToken stop;
};

// What an open found, the local facts among them: nobody needs to know
// which kind of transport it was to read them.
struct OpenResult {
    bool ok = false;
    bool held = false;     // another program holds the port: it was left alone
    bool stopped = false;  // a stop ended the open
    QString failure;       // why it did not open, in one line; empty where nothing more is known
    // The longest round trip seen while a remote port opened (the TCP
    // connect, the option exchange); 0 for a local port.
    int round_trip_ms = 0;
};

class Transport {
public:
    using Kind = PortUrl::Scheme;  // which a port's name asks for

    virtual ~Transport() = default;
    Transport(const Transport&) = delete;
    Transport& operator=(const Transport&) = delete;

    virtual Kind kind() const = 0;
    // The name the operator gave: a device path or a URL.
    const QString& name() const { return name_; }

    virtual OpenResult open(const OpenRequest& request) = 0;
    // Whether the far end's line rate can be changed while open; socket://
    // carries bytes only.
    virtual bool changes_rate() const = 0;
    // Changes the line rate of the open link; false (and failure_line())
    // when the far end refused, never confirmed it, or `stop` came first.
    virtual bool set_rate(int rate, const StopToken& stop = {}) = 0;
    virtual bool is_open() const = 0;
    virtual void close() = 0;

    virtual qint64 write(const QByteArray& bytes) = 0;
    // Waits until what was written has left this program, or `ms` passed.
    virtual bool wait_written(int ms) = 0;
    virtual qint64 bytes_available() = 0;
    // Waits up to `ms` for bytes that were not there at the call; true when
    // some came.
    virtual bool wait_for_bytes(int ms) = 0;
    virtual QByteArray read_all() = 0;
    // What has come: at once when bytes are waiting, else within `ms`.
    QByteArray read(int ms)
    {
        if (bytes_available() == 0)
            wait_for_bytes(ms);
        return read_all();
    }
    // Drops what is buffered both ways, here and, where it can be asked, at
    // the far end.
    virtual void discard() = 0;

    // The device or the connection went away under the open link. The
    // transport stays open until whoever heard of it closes it (as a
    // removal), or closes itself when nobody listens.
    bool gone() const { return gone_; }
    QString failure_line() const { return failure_; }
    // Called once when the link is found gone outside any call of this
    // transport (at idle, from the thread's event loop); inside a call the
    // caller finds gone() afterwards.
    void on_gone(std::function<void()> notice) { notice_ = std::move(notice); }

protected:
    explicit Transport(const QString& name) : name_(name) {}
    void mark_gone(const QString& why);
    // Held across a call that may find the link gone.
    class InCall {
    public:
        explicit InCall(Transport& t) : t_(t) { ++t_.calls_; }
        ~InCall() { --t_.calls_; }

    private:
        Transport& t_;
    };

    QString failure_;

private:
    QString name_;
    bool gone_ = false;
    int calls_ = 0;
    std::function<void()> notice_;
};

// The transport a port name asks for: rfc2217:// and socket:// URLs, else
// a local serial port.
std::unique_ptr<Transport> make_transport(const QString& name);
using TransportMaker = std::function<std::unique_ptr<Transport>(const QString& name)>;
