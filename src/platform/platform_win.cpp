#include "platform/platform.h"

#include <windows.h>

namespace platform {

void sleep_ms(int ms)
{
    Sleep(static_cast<DWORD>(ms));
}

void delay_us(int us)
{
    LARGE_INTEGER freq, now;
    QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&now);
    const LONGLONG end = now.QuadPart + static_cast<LONGLONG>(us) * freq.QuadPart / 1000000;
    do {
        QueryPerformanceCounter(&now);
    } while (now.QuadPart < end);
}

LocalTime local_time()
{
    SYSTEMTIME t;
    GetLocalTime(&t);
    return {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
}

}  // namespace platform
