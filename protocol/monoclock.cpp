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
    const time_t seconds = static_cast<time_t>(ns / 1000000000LL);
    const int millis = static_cast<int>((ns % 1000000000LL) / 1000000LL);
    tm local{};
    localtime_r(&seconds, &local);
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec, millis);
    return text;
}

} // namespace SimClock
