#include "signal_watch.h"

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int kWatched[] = {SIGINT, SIGTERM, SIGHUP};
int g_pipe[2] = {-1, -1};
volatile sig_atomic_t g_first = 0;

extern "C" void on_signal(int signal_number)
{
    const int saved = errno;
    if (g_first == 0)
        g_first = signal_number;
    const char byte = char(signal_number);
    // A full pipe means the signal is already waiting to be read.
    [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &byte, 1);
    errno = saved;
}

}  // namespace

SignalWatch::SignalWatch()
{
    if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        g_pipe[0] = g_pipe[1] = -1;
        return;  // the signals keep their default action
    }
    notifier_ = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &SignalWatch::drain);
    struct sigaction action = {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    // Restarted calls: a sleep or a read the window is in carries on, and the
    // notifier fires at its next look at the event loop.
    action.sa_flags = SA_RESTART;
    for (int s : kWatched)
        ::sigaction(s, &action, nullptr);
}

SignalWatch::~SignalWatch()
{
    // Once a signal has decided how the program ends, another on its way
    // out (a second Ctrl+C) is swallowed instead of ending it by the default
    // action under another exit status. A program started later begins with
    // the default all the same: exec resets a caught signal.
    if (g_first == 0) {
        for (int s : kWatched)
            std::signal(s, SIG_DFL);
    }
    delete notifier_;
    // The handler writes nowhere before the descriptors can be reused.
    const int ends[2] = {g_pipe[0], g_pipe[1]};
    g_pipe[0] = g_pipe[1] = -1;
    for (int fd : ends) {
        if (fd >= 0)
            ::close(fd);
    }
}

int SignalWatch::caught_now()
{
    return g_first;
}

QString SignalWatch::name(int signal_number)
{
    switch (signal_number) {
    case SIGINT:
        return QStringLiteral("SIGINT");
    case SIGTERM:
        return QStringLiteral("SIGTERM");
    case SIGHUP:
        return QStringLiteral("SIGHUP");
    default:
        return QStringLiteral("signal %1").arg(signal_number);
    }
}

void SignalWatch::drain()
{
    char bytes[16];
    ssize_t n;
    while ((n = ::read(g_pipe[0], bytes, sizeof bytes)) > 0) {
        for (ssize_t i = 0; i < n; ++i)
            emit caught(bytes[i]);
    }
}
