#include "options.h"

#include "hexbytes.h"
#include "linkframe.h"

#include <cstdlib>

namespace {

bool wholeNumber(const std::string& text, long long most, long long& out)
{
    if (text.empty() || text.size() > 12 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    out = std::atoll(text.c_str());
    return out <= most;
}

} // namespace

const char* Options::usage()
{
    return "usage: korvane-cli --port PORT [--log FILE] [--pcap FILE] [--answer ack|nak|none] [--answer-delay MS]\n"
           "                   COMMAND\n"
           "commands:\n"
           "  session                        JSON lines on standard input and output (docs/session-protocol.md)\n"
           "  send TYPE [DATA...] [--expect ack|nak|none|any] [--timeout MS] [--raw]\n"
           "                                 one frame; prints what came back; exit 0 when expected, 1 when not\n"
           "  listen [--count N] [--duration S]\n"
           "                                 prints each frame, reply and noise received\n"
           "PORT: COMn, a device path, or socket://HOST:PORT (raw TCP, as ser2net serves)\n"
           "exit: 0 done, 1 expectation not met, 2 usage or an output file that cannot be written,\n"
           "      3 the port cannot be opened or the link failed\n";
}

bool Options::parse(int argc, char** argv, Options& out, std::string& error)
{
    out = Options();
    std::vector<std::string> words;
    std::string port;
    bool havePort = false;
    bool raw = false;
    bool haveCommand = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool takesValue = arg == "--port" || arg == "--log" || arg == "--pcap" || arg == "--answer"
            || arg == "--answer-delay" || arg == "--expect" || arg == "--timeout" || arg == "--count"
            || arg == "--duration";
        if (takesValue && i + 1 >= argc) {
            error = arg + " needs a value";
            return false;
        }
        const std::string value = takesValue ? argv[++i] : std::string();
        long long n = 0;
        if (arg == "--help" || arg == "-h") {
            out.command = Command::Help;
            return true;
        } else if (arg == "--version") {
            out.command = Command::Version;
            return true;
        } else if (arg == "--port") {
            port = value;
            havePort = true;
        } else if (arg == "--log") {
            out.logPath = value;
        } else if (arg == "--pcap") {
            out.pcapPath = value;
        } else if (arg == "--answer") {
            if (!parseAnswerMode(value, out.answer)) {
                error = "--answer takes ack, nak or none";
                return false;
            }
        } else if (arg == "--answer-delay" || arg == "--timeout") {
            if (!wholeNumber(value, 24LL * 3600 * 1000, n)) {
                error = arg + " takes milliseconds";
                return false;
            }
            (arg == "--timeout" ? out.timeoutMs : out.answerDelayMs) = static_cast<int>(n);
        } else if (arg == "--expect") {
            if (!parseExpect(value, out.expect)) {
                error = "--expect takes ack, nak, none or any";
                return false;
            }
        } else if (arg == "--count") {
            if (!wholeNumber(value, 1LL << 40, n) || n < 1) {
                error = "--count takes a number of events, 1 or more";
                return false;
            }
            out.count = n;
        } else if (arg == "--duration") {
            char* end = nullptr;
            out.durationS = std::strtod(value.c_str(), &end);
            if (value.empty() || *end != '\0' || !(out.durationS >= 0) || out.durationS > 1e7) {
                error = "--duration takes seconds";
                return false;
            }
        } else if (arg == "--raw") {
            raw = true;
        } else if (arg.size() > 1 && arg[0] == '-' && arg[1] == '-') {
            error = "unknown option " + arg;
            return false;
        } else if (!haveCommand) {
            haveCommand = true;
            if (arg == "session")
                out.command = Command::Session;
            else if (arg == "send")
                out.command = Command::Send;
            else if (arg == "listen")
                out.command = Command::Listen;
            else {
                error = "unknown command " + arg;
                return false;
            }
        } else {
            words.push_back(arg);
        }
    }
    if (!haveCommand) {
        error = "no command";
        return false;
    }
    if (!havePort) {
        error = "--port is missing";
        return false;
    }
    if (!PortAddress::parse(port, out.port, error))
        return false;
    if (out.command != Command::Send) {
        if (!words.empty()) {
            error = "unexpected " + words.front();
            return false;
        }
        return true;
    }
    std::string joined;
    for (const std::string& word : words)
        joined += word + ' ';
    std::vector<std::uint8_t> bytes;
    if (!HexBytes::parsePairs(joined, bytes, error))
        return false;
    if (raw) {
        if (bytes.empty()) {
            error = "send --raw needs bytes";
            return false;
        }
        out.sendBytes = bytes;
        return true;
    }
    if (bytes.empty() || bytes.size() > 256) {
        error = "send needs a type byte and at most 255 data bytes";
        return false;
    }
    out.sendBytes.resize(bytes.size() - 1 + LinkFrame::Overhead);
    LinkFrame::encode(bytes[0], static_cast<std::uint8_t>(bytes.size() - 1), bytes.data() + 1, out.sendBytes.data());
    return true;
}
