#include "platform/platform.h"

#include <cerrno>
#include <chrono>
#include <ctime>
#include <sys/time.h>
#include <thread>
#include <time.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

namespace platform {

void sleep_ms(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

namespace {
// The last stretch of a pause is spun, so that a late wake-up cannot stretch it.
constexpr int kSpinUs = 20;
}  // namespace

// Paced blocks take one pause each: spinning all of it cost a board a tenth
// of a CPU-second per 2 MiB, and a gang many boards' worth. The thread sleeps
// to just before the end (with its timer slack cut to a microsecond, so the
// kernel wakes it on time) and spins the rest: never shorter than asked.
void delay_us(int us)
{
    using clock = std::chrono::steady_clock;
    const auto end = clock::now() + std::chrono::microseconds(us);
    if (us > kSpinUs) {
#ifdef __linux__
        static const bool slack_cut = prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0) == 0;
        (void)slack_cut;
#endif
        const auto wake = std::chrono::duration_cast<std::chrono::nanoseconds>(
            (end - std::chrono::microseconds(kSpinUs)).time_since_epoch());
        timespec ts{time_t(wake.count() / 1000000000), long(wake.count() % 1000000000)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
        }
    }
    while (clock::now() < end) {
    }
}

LocalTime local_time()
{
    timeval tv{};
    gettimeofday(&tv, nullptr);
    std::tm tm{};
    localtime_r(&tv.tv_sec, &tm);
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
            static_cast<int>(tv.tv_usec / 1000)};
}

}  // namespace platform
