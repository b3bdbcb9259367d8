#pragma once

// Serves a SimDevice on a pseudo-terminal from a thread of its own, so that
// a host blocked in sleeps on the calling thread still gets its replies.
// Every public method may be called from any thread except from inside a
// with_device() callback.

#include <QString>
#include <QStringList>
#include <QThread>
#include <memory>
#include <mutex>

#include "port_publish.h"  // default_publish_dir, published_port_file
#include "sim_device.h"

class PtyLink;
class QObject;

constexpr int kFtdiChunkLen = 62;  // an FTDI adapter hands over 62 bytes, then the rest...
constexpr int kFtdiPauseMs = 16;   // ...after its latency timer
constexpr int kDefaultReplySpacingMs = 60;  // between the replies of one command (flash CRC progress)

struct SimTransport {
    int reply_delay_ms = 0;
    int split_len = 0;  // 0: each reply in one piece
    int split_pause_ms = kFtdiPauseMs;
    int reply_spacing_ms = kDefaultReplySpacingMs;
    bool pacing = true;  // 10 bits per byte at the rate in force, both directions
};

class SimServer {
public:
    // publish_dir: where the tool's port list looks for simulated chips.
    explicit SimServer(const SimConfig& config = {}, const QString& publish_dir = default_publish_dir());
    ~SimServer();
    SimServer(const SimServer&) = delete;
    SimServer& operator=(const SimServer&) = delete;

    // Opens the pty and publishes its path; false when no pty could be had.
    bool start();
    // Unplugs and ends the thread.
    void stop();

    QString slave_path() const;
    QString published_file() const;  // empty while unplugged
    bool plugged() const;

    // Runs f(SimDevice&) under the device lock and returns its result by value.
    template <class F>
    auto with_device(F&& f)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return f(device_);
    }

    void set_reply_delay_ms(int ms);
    void set_split(int chunk_len = kFtdiChunkLen, int pause_ms = kFtdiPauseMs);  // chunk_len 0: off
    void set_pacing(bool on);
    // The rate pacing uses now: the host's setting on the pty, else the device's rate in force.
    int line_rate();
    // What the host has set the line to now (each recorded frame also
    // carries the settings it arrived with).
    SimLineSettings line_settings();

    // Closes the master: the host sees a hang-up and the pty disappears.
    void unplug();
    // Unplugs when the nth frame of the letter from now on arrives (that frame is not executed).
    void unplug_after(char letter, int nth);
    // A fresh pty (new path) for the same device, which resumes.
    bool replug();

private:
    friend class PtyLink;
    template <class F>
    void on_link_thread(F&& f);

    mutable std::mutex mutex_;
    SimDevice device_;
    SimTransport transport_;
    QString slave_path_;
    QString published_file_;
    bool plugged_ = false;

    QThread thread_;
    std::unique_ptr<QObject> anchor_;  // lives on thread_, carries the link's calls there
    std::unique_ptr<PtyLink> link_;
};
