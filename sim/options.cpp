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

} // namespace

bool parse(int argc, char** argv, Options& options, std::string& error)
{
    ScheduleOptions& s = options.schedule;
    bool countGiven = false;
    bool speedGiven = false;
    std::string streamOption; // the first option that shapes the --frame stream
    opterr = 0;
    optind = 1;
    int result;
    // '+': stop at the first word that is not an option; ':': report a missing value as ':'.
    while ((result = getopt_long(argc, argv, "+:h", longOptions, nullptr)) != -1) {
        const char* value = optarg;
        if (result >= OptFrame && result <= OptNumber && streamOption.empty())
            streamOption = nameOf(result);
        // A link given twice is a slip; the second would silently win.
        if ((result == OptSerial || result == OptTcp || result == OptDevice) && options.mode != Options::Mode::None) {
            error = "choose one link: --serial, --tcp or --device";
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
        error = "choose --serial COMn, --tcp [ADDR:]PORT or --device PATH (see --help)";
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

std::string helpText()
{
    return R"(Usage: korvane-sim (--serial COMn | --device PATH | --tcp [ADDR:]PORT) [options]

Plays the device for the Korvane tool: answers every link frame it receives
with FF (checksum good) or F0 (bad), prints what it receives, and sends frames
of its own or replays a traffic log.

Link:
  --serial COMn        make a raw pseudo-terminal and link its slave as
                       $XDG_CONFIG_HOME/korvane/ports/COMn (default
                       ~/.config/korvane/ports/COMn). An existing name is never
                       replaced; the link is removed at exit. A lease file
                       .COMn.korvane-sim, locked while the simulator runs,
                       marks the link as its own, so that the tool and the
                       next simulator remove it if the simulator was killed.
  --device PATH        play the device on a real serial line, e.g. a second
                       USB adapter wired null-modem to the tool's: 38400 baud
                       8N1, raw, opened exclusively. A path that is not a
                       terminal, is held by another program or cannot be
                       opened is refused (exit status 2). If the line goes
                       away, "lost PATH: why" is printed once, it is tried
                       again every second and "back PATH" says it returned.
  --tcp [ADDR:]PORT    listen on IPv4 ADDR (default 0.0.0.0), PORT (default
                       4500; 0 picks a free port); one connection at a time.

Replay:
  --replay FILE        send the frames of a traffic log (Korvane_data.csv)
                       again, each exactly as its row logged it (start byte to
                       checksum), at the time offsets between the rows; a log
                       that runs past midnight keeps its order. The header is
                       skipped; a row that does not parse is reported with its
                       line number and skipped. Ends like --count (see
                       --linger, --stay); does not mix with --frame and the
                       other stream options.
  --speed F            play the log F times as fast (default 1), F from 0.001
                       to 1000000; 0 sends the frames as fast as the link
                       takes them.

Frames to send (each "TT DD DD ..": type, then data bytes, in hex; len and
checksum are computed):
  --frame "TT DD.."    a frame to send; repeat for several, sent in turn.
                       Without --rate/--count/--duration each is sent once.
                       With them but without --frame: "01 00 00 00 00".
  --rate FPS           send at FPS frames per second (absolute deadlines on
                       the monotonic clock; up to 1 s of lateness is caught
                       up, a longer stall moves the timetable, no frame is
                       skipped). Without it frames go as fast as the link
                       takes them.
  --count N            send N frames in all, cycling through the --frame list.
  --duration S         stop sending after S seconds.
  --bad-share F        corrupt the checksum of this share of frames (0..1),
                       spread evenly: exactly floor(N*F) of N frames.
  --noise-share F      follow this share of frames with a run of noise bytes
                       (never 2E, FF or F0).
  --noise-max N        noise runs are 1..N bytes long (default 8).
  --seed N             seed for the noise bytes (default 1).
  --number             data bytes 0..3 of each frame carry a 32-bit big-endian
                       sequence number from 0 (data padded to 4 bytes).
  --timestamps FILE    write "seq wall_ns" per sent frame: its sequence number
                       and CLOCK_REALTIME in ns just after its last byte was
                       written.
  --hold               wait for "start" on standard input before sending.
  With --count or --duration the program exits once all is written and
  --linger MS (default 200) has passed for replies; --stay keeps it running.
  The stream (and a replay) runs only while the tool is there: in TCP mode
  while a client is connected, in serial mode while the tool has COMn open
  (seen through inotify on Linux; elsewhere always), in device mode while the
  line is open. It pauses otherwise and resumes with the next
  sequence number. Commands on standard input are written at once in serial
  mode (the terminal keeps them for the tool) and need a connection in TCP.

Behaviour:
  --no-reply           do not answer received frames.
  --quiet              do not print received frames and reply bytes.
  --exit-on-eof        end of standard input ends the program (as "quit").
  -h, --help           this text.

Standard input, one command per line (hex bytes separated by blanks):
  send TT DD..         send a frame with a good checksum
  bad TT DD..          send a frame with a wrong checksum
  raw XX XX..          send exactly these bytes (split frames, noise)
  ack | nak            send one reply byte FF | F0
  close                TCP: close the connection (listening goes on).
                       Serial: hang up: the pseudo-terminal is closed (the tool
                       reads end-of-file/EIO) and a new one is linked under the
                       same name; prints "hangup" and a new ready line.
                       Device: close the line and open it again; prints
                       "hangup" and the ready line.
  rst                  TCP: close the connection with an RST. Serial: as close.
  start                begin sending the --frame stream (after --hold)
  stats                print the stats line now
  quit                 write what is pending, print the stats line and exit

Output (standard output, one line per event):
  ready COMn /dev/pts/N      ready ADDR:PORT      ready PATH (device)
  connected                  disconnected    (TCP client; serial: COMn opened/closed;
                                              device: line open/lost)
  lost PATH: why             back PATH       (device went away / is back)
  hangup                                     (serial close, before the new ready line)
  hh:mm:ss.zzz  2E TT LL DD.. CS [n]      a received frame; " bad" appended
                             when its checksum is wrong; n counts all frames
  reply FF                   reply F0     a reply byte received between frames
  stats sent=N sent_bad=B noise_bytes=X rx_good=G rx_bad=K acks=A naks=K2 bytes_in=I bytes_out=O
                             with --replay also: replay_rows=R skipped_rows=S
Exit status: 0 after quit, a signal (SIGTERM/SIGINT/SIGHUP) or a finished
run; 1 on a failure while running; 2 on a usage error, a taken port name, a
device that cannot be had or a log that cannot be read.
)";
}

} // namespace OptionParser
