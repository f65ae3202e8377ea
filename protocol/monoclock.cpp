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
    const time_t seconds = static_cast<time_t>(ns / 1000000000LL);
    const int millis = static_cast<int>((ns % 1000000000LL) / 1000000LL);
    tm local{};
    localTime(seconds, local);
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec, millis);
    return text;
}

} // namespace SimClock
