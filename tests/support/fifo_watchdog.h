#pragma once

// Guards a test against code that blocks on a FIFO. If the test has not
// released the watchdog in time, it opens the FIFO from both ends, again and
// again, so that a blocked open, read or write returns, and records that it
// had to: the test then fails instead of hanging.

#include <QByteArray>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <thread>
#include <unistd.h>

class FifoWatchdog {
public:
    explicit FifoWatchdog(QByteArray fifo_path, int patience_ms = 10000) : path_(std::move(fifo_path))
    {
        std::signal(SIGPIPE, SIG_IGN);  // a rescued writer may find the reader gone
        thread_ = std::thread([this, patience_ms] { run(patience_ms); });
    }
    ~FifoWatchdog() { release(); }

    // The test is past the code that could block.
    void release()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        cv_.notify_all();
        if (thread_.joinable())
            thread_.join();
    }
    bool fired() const { return fired_; }

private:
    void run(int patience_ms)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (cv_.wait_for(lock, std::chrono::milliseconds(patience_ms), [this] { return done_; }))
            return;
        fired_ = true;
        while (!done_) {
            lock.unlock();
            const int r = ::open(path_.constData(), O_RDONLY | O_NONBLOCK);
            const int w = ::open(path_.constData(), O_WRONLY | O_NONBLOCK);
            if (w >= 0)
                ::close(w);  // a blocked reader now sees the end of the data
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (r >= 0)
                ::close(r);
            lock.lock();
            cv_.wait_for(lock, std::chrono::milliseconds(50), [this] { return done_; });
        }
    }

    QByteArray path_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
    bool fired_ = false;
};
