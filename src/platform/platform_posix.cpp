#include "platform/platform.h"

#include <chrono>
#include <ctime>
#include <sys/time.h>
#include <thread>

namespace platform {

void sleep_ms(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void delay_us(int us)
{
    using clock = std::chrono::steady_clock;
    const auto end = clock::now() + std::chrono::microseconds(us);
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
