#pragma once
// Clock reads in nanoseconds: the monotonic clock paces the frames, the wall
// clock stamps what is printed and logged.

#include <cstdint>
#include <ctime>
#include <string>

namespace SimClock {

std::int64_t monotonicNs();
std::int64_t wallNs();
// "hh:mm:ss.zzz" in local time, as the tool prints its frame lines.
std::string timeOfDay(std::int64_t wallNs);
// localtime_r, which Windows spells otherwise.
void localTime(std::time_t seconds, std::tm& local);

} // namespace SimClock
