// Runs korvane-wintest.exe under wine64 and plays its device: a
// pseudo-terminal linked as Wine's COM3, left in the terminal's default
// cooked settings with XON/XOFF on as a port that another program used
// last would be, and a TCP device at 192.168.1.154:4500 inside a network
// namespace of our own. Wine's server and every Wine process start here, as
// children, after the move into that namespace, in a private Wine prefix
// that is made for the run and removed afterwards.
//
//   korvane-winedriver <korvane-wintest.exe> [<korvane-setup.exe> <korvane-sim>]
//
// korvane-cli.exe, built beside the test program (cli/ of the same build
// folder), is driven on the same COM3: a one-shot send and a session; and
// on rfc2217:// against ser2net on loopback.
// Given the installer and the simulator, it then runs the whole program as
// well (programcases.h).
//
// Exit code 0 when every case passed (network cases skip, with the reason,
// where no private namespace can be made).

#include "programcases.h"
#include "testsupport.h"
#include "wineprocess.h"
#include "wirecases.h"

#include <QCoreApplication>
#include <QString>
#include <QTemporaryDir>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

using WireCases::Bytes;
using WireCases::check;
using WineProcess::Clock;
using WineProcess::Wine;
using WineProcess::checkRun;
using WineProcess::msLeft;
using WineProcess::start;

namespace {

// Exactly n bytes from a pseudo-terminal master or a socket, or fewer when
// the wait runs out or the far end goes away first.
Bytes readExactly(int fd, std::size_t n, int timeoutMs)
{
    Bytes got;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got.size() < n) {
        struct pollfd p = {fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, msLeft(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        unsigned char buffer[4096];
        const ssize_t r = ::read(fd, buffer, std::min(sizeof buffer, n - got.size()));
        if (r > 0)
            got.insert(got.end(), buffer, buffer + r);
        else if (r == 0 || (errno != EINTR && errno != EAGAIN))
            break;
    }
    return got;
}

bool writeAll(int fd, const Bytes& bytes, int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t w = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (w > 0) {
            done += static_cast<std::size_t>(w);
            continue;
        }
        if (w < 0 && errno != EINTR && errno != EAGAIN)
            return false;
        struct pollfd p = {fd, POLLOUT, 0};
        if (::poll(&p, 1, msLeft(deadline)) == 0)
            return false;
    }
    return true;
}

// The device's side of one exchange: what the program sends must arrive
// whole, then the device answers.
bool expectThenAnswer(int fd, const Bytes& wanted, const Bytes& answer, const char* what)
{
    const Bytes got = readExactly(fd, wanted.size(), WireCases::WaitMs);
    check(got == wanted, what, WireCases::difference(got, wanted));
    if (got != wanted)
        return false;
    if (!answer.empty() && !writeAll(fd, answer, WireCases::WaitMs)) {
        check(false, what, "the device's answer could not be written");
        return false;
    }
    return true;
}

// The device's end of the serial line, left in the terminal's default
// settings. Wine's server opens the port and may take the line as its
// controlling terminal, so the line must outlive the server: a hang-up
// would send it SIGHUP, on which it dumps all its objects.
struct DeviceLine
{
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    int held = -1; // the slave, so that it keeps its settings between the program's opens
    char slave[128] = "";

    DeviceLine()
    {
        if (master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0 && ::ptsname_r(master, slave, sizeof slave) == 0)
            held = ::open(slave, O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    ~DeviceLine()
    {
        if (held >= 0)
            ::close(held);
        if (master >= 0)
            ::close(master);
    }
};

void serialCases(const Wine& wine, const std::string& exe, const QTemporaryDir& scratch, const DeviceLine& line)
{
    if (line.held < 0) {
        check(false, "serial: a pseudo-terminal", std::strerror(errno));
        return;
    }
    const int master = line.master;
    struct termios t;
    const bool cooked = ::tcgetattr(line.held, &t) == 0 && (t.c_iflag & IXON) && (t.c_lflag & ICANON);
    check(cooked, "serial: the line starts cooked, with XON/XOFF on");

    const std::string devices = wine.prefix + "/dosdevices/";
    const std::string absent = scratch.filePath(QStringLiteral("no-such-device")).toStdString();
    ::unlink((devices + "com3").c_str());
    ::unlink((devices + "com9").c_str());
    if (::symlink(line.slave, (devices + "com3").c_str()) != 0 || ::symlink(absent.c_str(), (devices + "com9").c_str()) != 0) {
        check(false, "serial: COM3 and COM9 in the Wine prefix", std::strerror(errno));
        return;
    }

    const pid_t pid = start({wine.loader, exe, "serial"});
    const Bytes all = WireCases::allByteValues();
    const Bytes burst = WireCases::burst();
    const Bytes reply = WireCases::reply();
    const bool ok = expectThenAnswer(master, all, all, "serial: the device gets all 256 byte values")
                    && expectThenAnswer(master, burst, burst, "serial: the device gets the 4 KiB burst")
                    && expectThenAnswer(master, WireCases::request(), Bytes{WireCases::Xoff},
                                        "serial: the device gets the request")
                    && expectThenAnswer(master, reply, {}, "serial: a reply written after a 0x13 reaches the device");
    if (!ok)
        WineProcess::stop(wine);
    checkRun(wine, pid, "serial");
}

void refusedCases(const Wine& wine, const std::string& exe)
{
    int err[2];
    if (::pipe2(err, O_CLOEXEC) != 0) {
        check(false, "net: a pipe for standard error", std::strerror(errno));
        return;
    }
    const pid_t pid = start({wine.loader, exe, "refused"}, nullptr, err[1]);
    ::close(err[1]);
    checkRun(wine, pid, "refused");
    // Wine's server may hold the pipe's write end too: take what is there.
    const std::string text = WineProcess::drain(err[0]);
    ::close(err[0]);
    std::fputs(text.c_str(), stderr);

    // The text, then the real reason: WSAECONNREFUSED is 10061.
    const auto count = [&text](const std::string& needle) {
        int n = 0;
        for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
            ++n;
        return n;
    };
    const int texts = count("client connect failed!??????: ");
    const int reasons = count("WinSock error 10061");
    check(texts == WireCases::FailedConnects && reasons == texts, "net: a refused connect prints the text and the real reason",
          std::to_string(texts) + " failure texts, " + std::to_string(reasons) + " with the reason");
}

void netCases(const Wine& wine, const std::string& exe)
{
    TestSupport::DeviceListener device(WireCases::DeviceHost);
    if (!device.isListening()) {
        check(false, "net: a device listening at 192.168.1.154:4500");
        return;
    }
    const pid_t pid = start({wine.loader, exe, "net"});
    const int peer = device.accept(WineProcess::RunLimitMs);
    check(peer >= 0, "net: the program connects");
    if (peer >= 0) {
        const Bytes all = WireCases::allByteValues();
        if (!expectThenAnswer(peer, all, all, "net: the device gets all 256 byte values"))
            WineProcess::stop(wine);
        ::close(peer); // the program must see this as a receive of 0
    } else {
        WineProcess::stop(wine);
    }
    checkRun(wine, pid, "net");
}

// What the program wrote to fd until a line holds `needle` (that line
// included), or all it wrote when the wait runs out.
std::string readUntil(int fd, const std::string& needle, int timeoutMs)
{
    std::string text;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (text.find(needle) == std::string::npos || text.find('\n', text.find(needle)) == std::string::npos) {
        struct pollfd p = {fd, POLLIN, 0};
        if (::poll(&p, 1, msLeft(deadline)) <= 0)
            break;
        char buffer[1024];
        const ssize_t r = ::read(fd, buffer, sizeof buffer);
        if (r <= 0)
            break;
        text.append(buffer, static_cast<std::size_t>(r));
    }
    return text;
}

// korvane-cli.exe on COM3: a one-shot send answered with ACK, then a
// session that answers the device's frame, sends one that the device NAKs,
// takes the device's frame by pattern, and ends with its input, its capture
// and log written byte for byte (no line-end translation).
void cliCases(const Wine& wine, const std::string& cli, const QTemporaryDir& scratch, const DeviceLine& line)
{
    if (::access(cli.c_str(), R_OK) != 0) {
        check(false, "cli: korvane-cli.exe beside the test program", cli + ": " + std::strerror(errno));
        return;
    }
    int out[2];
    int in[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(in, O_CLOEXEC) != 0) {
        check(false, "cli: pipes", std::strerror(errno));
        return;
    }
    pid_t pid = start({wine.loader, cli, "--port", "COM3", "send", "01", "0A", "FF", "--timeout", "20000"}, nullptr, -1, out[1]);
    if (!expectThenAnswer(line.master, {0x2E, 0x01, 0x02, 0x0A, 0xFF, 0xF3}, {0xFF}, "cli: send writes the frame"))
        WineProcess::stop(wine);
    std::string said = readUntil(out[0], "\"met\"", WineProcess::RunLimitMs);
    check(said.find("\"reply\":\"ack\"") != std::string::npos && said.find("\"met\":true") != std::string::npos,
          "cli: send prints the ACK as met", said);
    checkRun(wine, pid, "cli send");

    const std::string capture = scratch.filePath(QStringLiteral("cli.pcapng")).toStdString();
    const std::string log = scratch.filePath(QStringLiteral("cli.csv")).toStdString();
    // Wine's drive Z: is the Linux root.
    const auto windowsPath = [](std::string path) {
        std::replace(path.begin(), path.end(), '/', '\\');
        return "Z:" + path;
    };
    pid = start({wine.loader, cli, "--port", "COM3", "--pcap", windowsPath(capture), "--log", windowsPath(log), "session"},
                nullptr, -1, out[1], in[0]);
    ::close(in[0]);
    said = readUntil(out[0], "\"hello\"", WineProcess::RunLimitMs);
    check(said.find("\"protocol\":1") != std::string::npos, "cli: the session says hello", said);
    const Bytes frame = {0x2E, 0x81, 0x01, 0x07, 0x76};
    writeAll(line.master, frame, WireCases::WaitMs);
    check(readExactly(line.master, 1, WireCases::WaitMs) == Bytes{0xFF}, "cli: the session ACKs the device's frame");
    const std::string requests = "{\"id\":1,\"cmd\":\"send\",\"type\":2,\"data\":\"01\",\"expect\":\"nak\",\"timeout_ms\":20000}\n"
                                 "{\"id\":2,\"cmd\":\"expect_frame\",\"pattern\":\"81 07\"}\n";
    const bool written = ::write(in[1], requests.data(), requests.size()) == static_cast<ssize_t>(requests.size());
    if (!written || !expectThenAnswer(line.master, {0x2E, 0x02, 0x01, 0x01, 0xFB}, {0xF0}, "cli: the session's send"))
        WineProcess::stop(wine);
    said = readUntil(out[0], "\"id\":2", WineProcess::RunLimitMs);
    check(said.find("\"id\":1,\"ok\":true,\"sent\":\"2E020101FB\",\"reply\":\"nak\"") != std::string::npos
              && said.find("\"id\":2,\"ok\":true,\"frame\"") != std::string::npos,
          "cli: the session answers send and expect_frame", said);
    ::close(in[1]);
    checkRun(wine, pid, "cli session");
    std::string bytes;
    if (FILE* f = std::fopen(capture.c_str(), "rb")) {
        char head[4] = {};
        bytes.assign(head, std::fread(head, 1, sizeof head, f));
        std::fclose(f);
    }
    check(bytes == std::string("\x0A\x0D\x0D\x0A", 4), "cli: the capture starts with its section header, unchanged");
    const int logFd = ::open(log.c_str(), O_RDONLY | O_CLOEXEC);
    const std::string rows = readUntil(logFd, "[1]", WireCases::WaitMs);
    ::close(logFd);
    check(rows.find("2E,81,01,07,76,-,[1]\n") != std::string::npos, "cli: the log holds the device's frame", rows);
    ::close(out[0]);
    ::close(out[1]);
}

// korvane-cli.exe on rfc2217:// against Debian's ser2net as labgrid's
// exporter runs it, on 127.0.0.1 in front of a pseudo-terminal of its own.
// Sends whose frames carry the telnet escape byte FF (as data, as the
// checksum): the device must get each frame byte for byte, and the device's
// ACK FF, which ser2net doubles on the way, must come back as the one reply
// that meets the send. A build without RFC 2217 says so itself, and the
// cases skip with its words.
void rfc2217Cases(const Wine& wine, const std::string& cli)
{
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        check(false, "rfc2217: a pipe", std::strerror(errno));
        return;
    }
    const auto run = [&](const std::string& port, std::vector<std::string> request) {
        std::vector<std::string> args = {wine.loader, cli, "--port", port};
        args.insert(args.end(), request.begin(), request.end());
        return start(args, nullptr, out[1], out[1]);
    };
    // An address without host and port is refused before any connect, in
    // words that tell whether this build has RFC 2217 at all.
    pid_t pid = run("rfc2217://", {"send", "01"});
    WineProcess::exitCode(wine, pid);
    const std::string refusal = readUntil(out[0], "rfc2217://", WireCases::WaitMs);
    if (refusal.find("has no RFC 2217") != std::string::npos) {
        std::printf("SKIP rfc2217 cases: %s", refusal.c_str());
        ::close(out[0]);
        ::close(out[1]);
        return;
    }
    const DeviceLine line;
    TestSupport::Ser2net server;
    QString why;
    if (line.held < 0 || !server.start(QString::fromUtf8(line.slave), &why)) {
        check(false, "rfc2217: ser2net in front of a pseudo-terminal", why.toStdString());
        ::close(out[0]);
        ::close(out[1]);
        return;
    }
    struct Send
    {
        const char* what;
        std::vector<std::string> request;
        Bytes frame;
        const char* sent;
    };
    const Send sends[] = {
        {"rfc2217: a data byte FF", {"send", "01", "0A", "FF"}, {0x2E, 0x01, 0x02, 0x0A, 0xFF, 0xF3}, "2E01020AFFF3"},
        {"rfc2217: a checksum FF", {"send", "01", "FE"}, {0x2E, 0x01, 0x01, 0xFE, 0xFF}, "2E0101FEFF"},
    };
    for (const Send& send : sends) {
        std::vector<std::string> request = send.request;
        request.insert(request.end(), {"--timeout", "20000"});
        pid = run(server.url().toStdString(), request);
        if (!expectThenAnswer(line.master, send.frame, {0xFF}, send.what))
            WineProcess::stop(wine);
        const std::string said = readUntil(out[0], "\"met\"", WineProcess::RunLimitMs);
        check(said.find(std::string("\"sent\":\"") + send.sent + "\"") != std::string::npos
                  && said.find("\"reply\":\"ack\"") != std::string::npos && said.find("\"met\":true") != std::string::npos,
              (std::string(send.what) + ": the device's FF is the one ACK").c_str(), said);
        checkRun(wine, pid, send.what);
        // Nothing more than the frame reached the device; the program has
        // ended, so a stray byte would be on its way through ser2net now.
        check(readExactly(line.master, 1, 250).empty(), (std::string(send.what) + ": no stray byte at the device").c_str());
    }
    server.stop();
    ::close(out[0]);
    ::close(out[1]);
}

void lockCases(const Wine& wine, const std::string& exe, const QTemporaryDir& scratch)
{
    const std::string dir = scratch.filePath(QStringLiteral("log")).toStdString();
    ::mkdir(dir.c_str(), 0755);
    checkRun(wine, start({wine.loader, exe, "lock"}, dir.c_str()), "lock");
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2 && argc != 4) {
        std::fprintf(stderr, "usage: %s <korvane-wintest.exe> [<korvane-setup.exe> <korvane-sim>]\n", argv[0]);
        return 2;
    }
    // First, while this process has one thread: everything started below,
    // Wine's server included, inherits the namespace.
    QString why;
    const bool network = TestSupport::enterPrivateNetwork(&why, WireCases::DeviceHost);
    // Wine's server and helpers leave their parents; as their reaper this
    // process can see them all gone before it ends, so none holds on to a
    // caller's output pipe.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    QCoreApplication app(argc, argv); // the simulator's output is read through Qt's event loop

    QTemporaryDir scratch;
    if (!scratch.isValid()) {
        std::fprintf(stderr, "no temporary directory\n");
        return 1;
    }
    const Wine wine = WineProcess::find(scratch.filePath(QStringLiteral("prefix")).toStdString());
    char program[PATH_MAX];
    if (!::realpath(argv[1], program)) {
        std::fprintf(stderr, "%s: %s\n", argv[1], std::strerror(errno));
        return 2;
    }
    const std::string exe = program;
    ProgramCases::Setup setup;
    if (argc == 4) {
        char installer[PATH_MAX];
        char simulator[PATH_MAX];
        if (!::realpath(argv[2], installer) || !::realpath(argv[3], simulator)) {
            std::fprintf(stderr, "%s, %s: %s\n", argv[2], argv[3], std::strerror(errno));
            return 2;
        }
        setup = {installer, simulator, scratch.path().toStdString(), network};
    }
    // Wine links the profile's Documents and the like into $HOME: here a
    // home of the run's own.
    const std::string home = scratch.filePath(QStringLiteral("home")).toStdString();
    ::mkdir(home.c_str(), 0700);
    ::setenv("HOME", home.c_str(), 1);
    ::unsetenv("XDG_CONFIG_HOME");
    // Headless and quiet: no display, no Mono or Gecko prompts, no menu
    // entries written outside the prefix.
    ::setenv("WINEPREFIX", wine.prefix.c_str(), 1);
    ::setenv("WINEDEBUG", "-all", 1);
    ::setenv("WINEDLLOVERRIDES", "mscoree,mshtml=;winemenubuilder.exe=d", 1);
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");

    const auto began = Clock::now();
    checkRun(wine, start({wine.loader, "wineboot", "--init"}), "wineboot --init");
    std::printf("Wine prefix made in %.1f s\n",
                std::chrono::duration<double>(Clock::now() - began).count());
    std::printf("note: Wine enforces neither the exclusive open of a COM port nor mandatory file locks;"
                " neither is checked here\n");

    const DeviceLine line;
    serialCases(wine, exe, scratch, line);
    // korvane-cli.exe of the same build: <build>/tests/windows/x.exe -> <build>/cli/.
    const std::string cli = exe.substr(0, exe.rfind('/')) + "/../../cli/korvane-cli.exe";
    cliCases(wine, cli, scratch, line);
    rfc2217Cases(wine, cli);
    lockCases(wine, exe, scratch);
    if (network) {
        refusedCases(wine, exe);
        netCases(wine, exe);
    } else {
        std::printf("SKIP network cases: %s\n", qPrintable(why));
    }
    if (!setup.installer.empty())
        ProgramCases::run(wine, setup);

    WineProcess::stop(wine);
    const auto reapDeadline = Clock::now() + std::chrono::milliseconds(WineProcess::RunLimitMs);
    while (::waitpid(-1, nullptr, WNOHANG) >= 0 && msLeft(reapDeadline) > 0) {
        WineProcess::pollPause();
    }

    std::printf("Wine run took %.1f s\n", std::chrono::duration<double>(Clock::now() - began).count());
    // The program's own cases count through the "wine run ... ends with 0" cases.
    std::printf("%swine: %d passed, %d failed\n", WireCases::failed.c_str(), WireCases::passes, WireCases::failures);
    return WireCases::failures == 0 ? 0 : 1;
}
