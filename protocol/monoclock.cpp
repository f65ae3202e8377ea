// Clock reads for pacing and for stamps.
#include "monoclock.h"

#include <cstdio>
#include <ctime>

namespace SimClock {

namespace {

std::int64_t read(clockid_t clock)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

} // namespace

std::int64_t monotonicNs()
{
    return read(CLOCK_MONOTONIC);
}

std::int64_t wallNs()
{
    return read(CLOCK_REALTIME);
}

std::string timeOfDay(std::int64_t ns)
{
    // The monitor stamps thousands of lines a second: the local time of day
    // is worked out once a second, the milliseconds added by hand.
    thread_local time_t lastSeconds = -1;
    thread_local char text[13] = "00:00:00.000";
    const time_t seconds = static_cast<time_t>(ns / 1000000000LL);
    int millis = static_cast<int>((ns % 1000000000LL) / 1000000LL);
    if (seconds != lastSeconds) {
        tm local{};
        localtime_r(&seconds, &local);
        std::snprintf(text, sizeof text, "%02d:%02d:%02d.", local.tm_hour, local.tm_min, local.tm_sec);
        lastSeconds = seconds;
    }
    for (int i = 11; i >= 9; --i, millis /= 10)
        text[i] = static_cast<char>('0' + millis % 10);
    return std::string(text, 12);
}

} // namespace SimClock
