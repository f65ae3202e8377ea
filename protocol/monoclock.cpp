// Clock reads for pacing and for stamps.
#include "monoclock.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace SimClock {

namespace {

template<typename Clock>
std::int64_t read()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

} // namespace

std::int64_t monotonicNs()
{
    return read<std::chrono::steady_clock>();
}

std::int64_t wallNs()
{
    return read<std::chrono::system_clock>();
}

void localTime(std::time_t seconds, std::tm& local)
{
#ifdef _WIN32
    localtime_s(&local, &seconds);
#else
    localtime_r(&seconds, &local);
#endif
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
        localTime(seconds, local);
        std::snprintf(text, sizeof text, "%02d:%02d:%02d.", local.tm_hour, local.tm_min, local.tm_sec);
        lastSeconds = seconds;
    }
    for (int i = 11; i >= 9; --i, millis /= 10)
        text[i] = static_cast<char>('0' + millis % 10);
    return std::string(text, 12);
}

} // namespace SimClock
