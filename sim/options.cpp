// Command line of korvane-sim.
#include "options.h"

#include "hexbytes.h"
#include "tcpendpoint.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace OptionParser {

namespace {

bool toDouble(const std::string& text, double low, double high, double& out)
{
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno != 0 || !std::isfinite(value) || value < low || value > high)
        return false;
    out = value;
    return true;
}

bool toInteger(const std::string& text, long long low, long long high, long long& out)
{
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || value < low || value > high)
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

} // namespace

bool parse(int argc, char** argv, Options& options, std::string& error)
{
    bool countGiven = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool hasValue = false;
        const std::size_t equals = arg.find('=');
        if (arg.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = arg.substr(equals + 1);
            arg = arg.substr(0, equals);
            hasValue = true;
        }
        // Takes the option's value from "--opt=value" or the next argument.
        auto need = [&](std::string& out) {
            if (hasValue) {
                out = value;
                return true;
            }
            if (i + 1 >= argc) {
                error = arg + " needs a value";
                return false;
            }
            out = argv[++i];
            return true;
        };
        auto flag = [&]() {
            if (hasValue) {
                error = arg + " takes no value";
                return false;
            }
            return true;
        };
        std::string text;
        if (arg == "-h" || arg == "--help") {
            options.help = true;
            return true;
        } else if (arg == "--serial") {
            if (!need(text))
                return false;
            options.mode = Options::Mode::Serial;
            options.portName = text;
        } else if (arg == "--tcp") {
            options.mode = Options::Mode::Tcp;
            // The address is optional: "--tcp" alone means 0.0.0.0:4500.
            if (hasValue) {
                text = value;
            } else if (i + 1 < argc && argv[i + 1][0] != '-') {
                text = argv[++i];
            } else {
                continue;
            }
            if (!TcpEndpoint::parseAddress(text, options.address, options.port, error))
                return false;
        } else if (arg == "--frame") {
            FrameTemplate frame;
            if (!need(text))
                return false;
            if (!parseFrame(text, frame, error)) {
                error = "--frame \"" + text + "\": " + error;
                return false;
            }
            options.schedule.frames.push_back(frame);
        } else if (arg == "--rate") {
            if (!need(text))
                return false;
            if (!toDouble(text, 0.001, 1e6, options.schedule.rate)) {
                error = "--rate wants frames per second, 0.001 to 1000000";
                return false;
            }
        } else if (arg == "--count") {
            long long count = 0;
            if (!need(text))
                return false;
            if (!toInteger(text, 0, (1LL << 40), count)) {
                error = "--count wants a whole number of frames";
                return false;
            }
            options.schedule.count = count;
            countGiven = true;
        } else if (arg == "--duration") {
            if (!need(text))
                return false;
            if (!toDouble(text, 0, 1e7, options.schedule.duration)) {
                error = "--duration wants seconds";
                return false;
            }
        } else if (arg == "--bad-share" || arg == "--noise-share") {
            double share = 0;
            if (!need(text))
                return false;
            if (!toDouble(text, 0, 1, share)) {
                error = arg + " wants a share from 0 to 1";
                return false;
            }
            (arg == "--bad-share" ? options.schedule.badShare : options.schedule.noiseShare) = share;
        } else if (arg == "--noise-max") {
            long long most = 0;
            if (!need(text))
                return false;
            if (!toInteger(text, 1, 4096, most)) {
                error = "--noise-max wants 1 to 4096 bytes";
                return false;
            }
            options.schedule.noiseMax = static_cast<int>(most);
        } else if (arg == "--seed") {
            long long seed = 0;
            if (!need(text))
                return false;
            if (!toInteger(text, 0, (1LL << 62), seed)) {
                error = "--seed wants a whole number";
                return false;
            }
            options.schedule.seed = static_cast<std::uint64_t>(seed);
        } else if (arg == "--number") {
            if (!flag())
                return false;
            options.schedule.number = true;
        } else if (arg == "--timestamps") {
            if (!need(options.timestampsFile))
                return false;
        } else if (arg == "--linger") {
            long long ms = 0;
            if (!need(text))
                return false;
            if (!toInteger(text, 0, 86400000, ms)) {
                error = "--linger wants milliseconds";
                return false;
            }
            options.lingerMs = ms;
        } else if (arg == "--stay" || arg == "--hold" || arg == "--quiet" || arg == "--no-reply"
                   || arg == "--exit-on-eof") {
            if (!flag())
                return false;
            bool& target = arg == "--stay" ? options.stay
                : arg == "--hold"          ? options.hold
                : arg == "--quiet"         ? options.quiet
                : arg == "--no-reply"      ? options.noReply
                                           : options.exitOnEof;
            target = true;
        } else {
            error = "unknown option \"" + std::string(argv[i]) + "\" (see --help)";
            return false;
        }
    }

    if (options.mode == Options::Mode::None) {
        error = "choose --serial COMn or --tcp [ADDR:]PORT (see --help)";
        return false;
    }
    ScheduleOptions& s = options.schedule;
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
    return R"(Usage: korvane-sim (--serial COMn | --tcp [ADDR:]PORT) [options]

Plays the device for the Korvane tool: answers every link frame it receives
with FF (checksum good) or F0 (bad), prints what it receives, and sends frames
of its own.

Link:
  --serial COMn        make a raw pseudo-terminal and link its slave as
                       $XDG_CONFIG_HOME/korvane/ports/COMn (default
                       ~/.config/korvane/ports/COMn). An existing name is never
                       replaced; the link is removed at exit.
  --tcp [ADDR:]PORT    listen on IPv4 ADDR (default 0.0.0.0), PORT (default
                       4500; 0 picks a free port); one connection at a time.

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
  The stream runs only while the tool is there: in TCP mode while a client is
  connected, in serial mode while the tool has COMn open (seen through inotify
  on Linux; elsewhere always). It pauses otherwise and resumes with the next
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
  rst                  TCP: close the connection with an RST. Serial: as close.
  start                begin sending the --frame stream (after --hold)
  stats                print the stats line now
  quit                 write what is pending, print the stats line and exit

Output (standard output, one line per event):
  ready COMn /dev/pts/N      ready ADDR:PORT
  connected                  disconnected    (TCP client; serial: COMn opened/closed)
  hangup                                     (serial close, before the new ready line)
  hh:mm:ss.zzz  2E TT LL DD.. CS [n]      a received frame; " bad" appended
                             when its checksum is wrong; n counts all frames
  reply FF                   reply F0     a reply byte received between frames
  stats sent=N sent_bad=B noise_bytes=X rx_good=G rx_bad=K acks=A naks=K2 bytes_in=I bytes_out=O
Exit status: 0 after quit, a signal (SIGTERM/SIGINT/SIGHUP) or a finished
run; 1 on a failure while running; 2 on a usage error or a taken port name.
)";
}

} // namespace OptionParser
