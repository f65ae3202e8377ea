// Command line of korvane-sim.
#include "options.h"

#include "hexbytes.h"
#include "tcpendpoint.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <getopt.h>

namespace OptionParser {

namespace {

enum Option : int {
    OptSerial = 256, OptTcp, OptDevice, OptReplay, OptSpeed,
    OptFrame, OptRate, OptCount, OptDuration, OptBadShare, OptNoiseShare, OptNoiseMax, OptSeed, OptNumber,
    OptTimestamps, OptLinger, OptStay, OptHold, OptQuiet, OptNoReply, OptExitOnEof,
    OptMonitor, OptPcap, OptLog,
};

const option longOptions[] = {
    {"help", no_argument, nullptr, 'h'},
    {"serial", required_argument, nullptr, OptSerial},
    {"tcp", optional_argument, nullptr, OptTcp},
    {"device", required_argument, nullptr, OptDevice},
    {"replay", required_argument, nullptr, OptReplay},
    {"speed", required_argument, nullptr, OptSpeed},
    {"frame", required_argument, nullptr, OptFrame},
    {"rate", required_argument, nullptr, OptRate},
    {"count", required_argument, nullptr, OptCount},
    {"duration", required_argument, nullptr, OptDuration},
    {"bad-share", required_argument, nullptr, OptBadShare},
    {"noise-share", required_argument, nullptr, OptNoiseShare},
    {"noise-max", required_argument, nullptr, OptNoiseMax},
    {"seed", required_argument, nullptr, OptSeed},
    {"number", no_argument, nullptr, OptNumber},
    {"timestamps", required_argument, nullptr, OptTimestamps},
    {"linger", required_argument, nullptr, OptLinger},
    {"stay", no_argument, nullptr, OptStay},
    {"hold", no_argument, nullptr, OptHold},
    {"quiet", no_argument, nullptr, OptQuiet},
    {"no-reply", no_argument, nullptr, OptNoReply},
    {"exit-on-eof", no_argument, nullptr, OptExitOnEof},
    {"monitor", required_argument, nullptr, OptMonitor},
    {"pcap", required_argument, nullptr, OptPcap},
    {"log", required_argument, nullptr, OptLog},
    {nullptr, 0, nullptr, 0},
};

bool toDouble(const char* text, double low, double high, double& out)
{
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text, &end);
    if (!*text || *end != '\0' || errno != 0 || !std::isfinite(value) || value < low || value > high)
        return false;
    out = value;
    return true;
}

bool toInteger(const char* text, long long low, long long high, long long& out)
{
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text, &end, 10);
    if (!*text || *end != '\0' || errno != 0 || value < low || value > high)
        return false;
    out = value;
    return true;
}

bool parseFrame(const std::string& text, FrameTemplate& frame, std::string& error)
{
    std::vector<std::uint8_t> bytes;
    if (!HexBytes::parse(text, bytes, error))
        return false;
    if (bytes.empty() || bytes.size() > 256) {
        error = "a frame is a type byte and 0 to 255 data bytes";
        return false;
    }
    frame.type = bytes.front();
    frame.data.assign(bytes.begin() + 1, bytes.end());
    return true;
}

std::string nameOf(int value)
{
    for (const option* o = longOptions; o->name; ++o) {
        if (o->val == value)
            return std::string("--") + o->name;
    }
    return {};
}

// What getopt_long refused, in words: argv[optind - 1] is the offending word.
std::string refusal(int result, int argc, char** argv)
{
    if (optopt != 0 && optopt < OptSerial)
        return std::string(result == ':' ? "-" : "unknown option -") + static_cast<char>(optopt)
            + (result == ':' ? " needs a value" : " (see --help)");
    const std::string word = optind - 1 < argc ? argv[optind - 1] : "";
    if (result == ':')
        return word + " needs a value";
    const std::size_t equals = word.find('=');
    if (word.rfind("--", 0) == 0 && equals != std::string::npos) {
        const std::string name = word.substr(2, equals - 2);
        for (const option* o = longOptions; o->name; ++o) {
            if (name == o->name && o->has_arg == no_argument)
                return "--" + name + " takes no value";
        }
    }
    return "unknown option \"" + word + "\" (see --help)";
}

// The monitor's lines: each COMn or a device path.
bool checkMonitor(const Options& options, const std::string& sendingOption, std::string& error)
{
    if (!sendingOption.empty()) {
        error = "--monitor only watches; it does not take " + sendingOption;
        return false;
    }
    for (const std::string& line : {options.monitorA, options.monitorB}) {
        const bool portName = line.size() > 3 && line.compare(0, 3, "COM") == 0
            && line.find_first_not_of("0123456789", 3) == std::string::npos;
        if (!portName && line.find('/') == std::string::npos) {
            error = "--monitor: \"" + line + "\" is neither COMn nor the path of a serial device";
            return false;
        }
    }
    return true;
}

} // namespace

bool parse(int argc, char** argv, Options& options, std::string& error)
{
    ScheduleOptions& s = options.schedule;
    bool countGiven = false;
    bool speedGiven = false;
    std::string streamOption; // the first option that shapes the --frame stream
    std::string sendingOption; // the first option about what the device sends
    opterr = 0;
    optind = 1;
    int result;
    // '+': stop at the first word that is not an option; ':': report a missing value as ':'.
    while ((result = getopt_long(argc, argv, "+:h", longOptions, nullptr)) != -1) {
        const char* value = optarg;
        if (result >= OptFrame && result <= OptNumber && streamOption.empty())
            streamOption = nameOf(result);
        if (((result >= OptReplay && result <= OptHold) || result == OptNoReply) && sendingOption.empty())
            sendingOption = nameOf(result);
        // A link given twice is a slip; the second would silently win.
        if ((result == OptSerial || result == OptTcp || result == OptDevice || result == OptMonitor)
            && options.mode != Options::Mode::None) {
            error = "choose one link: --serial, --tcp, --device or --monitor";
            return false;
        }
        switch (result) {
        case 'h':
            options.help = true;
            return true;
        case OptSerial:
            options.mode = Options::Mode::Serial;
            options.portName = value;
            break;
        case OptTcp:
            options.mode = Options::Mode::Tcp;
            // The address is optional: "--tcp" alone means 0.0.0.0:4500.
            if (!value && optind < argc && argv[optind][0] != '-')
                value = argv[optind++];
            if (value && !TcpEndpoint::parseAddress(value, options.address, options.port, error))
                return false;
            break;
        case OptDevice:
            options.mode = Options::Mode::Device;
            options.devicePath = value;
            break;
        case OptMonitor:
            options.mode = Options::Mode::Monitor;
            options.monitorA = value;
            if (optind >= argc || argv[optind][0] == '-') {
                error = "--monitor wants two lines: --monitor A B";
                return false;
            }
            options.monitorB = argv[optind++];
            break;
        case OptPcap:
            options.pcapFile = value;
            break;
        case OptLog:
            options.logFile = value;
            break;
        case OptReplay:
            options.replayFile = value;
            break;
        case OptSpeed:
            // Slower than a thousandth a log of hours would take years.
            if (!toDouble(value, 0, 1e6, options.replaySpeed)
                || (options.replaySpeed > 0 && options.replaySpeed < 0.001)) {
                error = "--speed wants 0 (as fast as the link takes them) or a factor from 0.001 to 1000000";
                return false;
            }
            speedGiven = true;
            break;
        case OptFrame: {
            FrameTemplate frame;
            if (!parseFrame(value, frame, error)) {
                error = "--frame \"" + std::string(value) + "\": " + error;
                return false;
            }
            s.frames.push_back(frame);
            break;
        }
        case OptRate:
            if (!toDouble(value, 0.001, 1e6, s.rate)) {
                error = "--rate wants frames per second, 0.001 to 1000000";
                return false;
            }
            break;
        case OptCount: {
            long long count = 0;
            if (!toInteger(value, 0, (1LL << 40), count)) {
                error = "--count wants a whole number of frames";
                return false;
            }
            s.count = count;
            countGiven = true;
            break;
        }
        case OptDuration:
            if (!toDouble(value, 0, 1e7, s.duration)) {
                error = "--duration wants seconds";
                return false;
            }
            break;
        case OptBadShare:
        case OptNoiseShare:
            if (!toDouble(value, 0, 1, result == OptBadShare ? s.badShare : s.noiseShare)) {
                error = nameOf(result) + " wants a share from 0 to 1";
                return false;
            }
            break;
        case OptNoiseMax: {
            long long most = 0;
            if (!toInteger(value, 1, 4096, most)) {
                error = "--noise-max wants 1 to 4096 bytes";
                return false;
            }
            s.noiseMax = static_cast<int>(most);
            break;
        }
        case OptSeed: {
            long long seed = 0;
            if (!toInteger(value, 0, (1LL << 62), seed)) {
                error = "--seed wants a whole number";
                return false;
            }
            s.seed = static_cast<std::uint64_t>(seed);
            break;
        }
        case OptNumber:
            s.number = true;
            break;
        case OptTimestamps:
            options.timestampsFile = value;
            break;
        case OptLinger: {
            long long ms = 0;
            if (!toInteger(value, 0, 86400000, ms)) {
                error = "--linger wants milliseconds";
                return false;
            }
            options.lingerMs = ms;
            break;
        }
        case OptStay:
            options.stay = true;
            break;
        case OptHold:
            options.hold = true;
            break;
        case OptQuiet:
            options.quiet = true;
            break;
        case OptNoReply:
            options.noReply = true;
            break;
        case OptExitOnEof:
            options.exitOnEof = true;
            break;
        default:
            error = refusal(result, argc, argv);
            return false;
        }
    }
    if (optind < argc) {
        error = "unexpected argument \"" + std::string(argv[optind]) + "\" (see --help)";
        return false;
    }

    if (options.mode == Options::Mode::None) {
        error = "choose --serial COMn, --tcp [ADDR:]PORT, --device PATH or --monitor A B (see --help)";
        return false;
    }
    if (options.mode == Options::Mode::Monitor)
        return checkMonitor(options, sendingOption, error);
    if (!options.pcapFile.empty() || !options.logFile.empty()) {
        error = std::string(options.pcapFile.empty() ? "--log" : "--pcap") + " goes with --monitor";
        return false;
    }
    if (options.replayFile.empty()) {
        if (speedGiven) {
            error = "--speed goes with --replay FILE";
            return false;
        }
    } else {
        if (!streamOption.empty()) {
            error = "--replay sends the log's frames; it does not take " + streamOption;
            return false;
        }
        options.bounded = true;
        return true;
    }
    const bool wantsStream = s.rate > 0 || countGiven || s.duration >= 0;
    if (s.frames.empty() && wantsStream) {
        // Four data bytes, room for a sequence number.
        s.frames.push_back(FrameTemplate{0x01, {0, 0, 0, 0}});
    }
    if (!countGiven && s.rate <= 0 && s.duration < 0)
        s.count = static_cast<std::int64_t>(s.frames.size()); // each frame once
    options.bounded = countGiven || s.duration >= 0;
    return true;
}

} // namespace OptionParser
