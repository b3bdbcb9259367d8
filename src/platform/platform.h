#pragma once

// What the tool takes from the operating system, in one place. On Windows
// the pauses are kernel32 sleeps, the microsecond wait spins on the
// performance counter and the time is the local time of GetLocalTime; the
// POSIX side gives the same with the steady clock and localtime.

namespace platform {

// Blocks the thread for about ms milliseconds (no event processing).
void sleep_ms(int ms);

// A pause of us microseconds on the high-resolution clock, never shorter;
// used for the short pauses between block frames. A busy wait on Windows;
// elsewhere a precise sleep whose last microseconds are spun.
void delay_us(int us);

struct LocalTime {
    int year, month, day, hour, minute, second, msec;
};
LocalTime local_time();

}  // namespace platform
