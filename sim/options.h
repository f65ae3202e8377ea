#pragma once
// The simulator's command line and its --help text.

#include "framescheduler.h"

#include <cstdint>
#include <string>

struct Options
{
    enum class Mode { None, Serial, Tcp, Device, Monitor };

    Mode mode = Mode::None;
    std::string portName;               // serial: COMn
    std::string address = "0.0.0.0";    // tcp
    std::uint16_t port = 4500;          // tcp
    std::string devicePath;             // device: a real serial line
    std::string monitorA;               // monitor: COMn or a device path each
    std::string monitorB;
    std::string pcapFile;               // monitor: capture in pcapng
    std::string logFile;                // monitor: good frames of both directions as CSV rows

    ScheduleOptions schedule;
    std::string replayFile;     // a traffic log whose frames are sent instead
    double replaySpeed = 1;     // 0: as fast as the link takes them
    bool bounded = false;       // --count, --duration or --replay: exit when done
    std::int64_t lingerMs = 200;
    bool stay = false;
    bool hold = false;
    bool quiet = false;
    bool noReply = false;
    bool exitOnEof = false;
    std::string timestampsFile;

    bool help = false;
};

namespace OptionParser {

// Fills options from argv; on a mistake returns false with the reason in error.
bool parse(int argc, char** argv, Options& options, std::string& error);
std::string helpText();

} // namespace OptionParser
