#include "recording.h"

struct Recording::Files
{
};

Recording::Recording() = default;
Recording::~Recording() = default;

bool Recording::open(const std::string& logPath, const std::string& pcapPath, const std::string&, std::string& error)
{
    if (logPath.empty() && pcapPath.empty())
        return true;
    error = "--log and --pcap are not available on Windows";
    return false;
}

void Recording::packet(bool, std::int64_t, const std::uint8_t*, std::size_t) {}
void Recording::row(const ReceivedFrame&, std::uint64_t) {}
void Recording::flush() {}
void Recording::drain(std::int64_t) {}
