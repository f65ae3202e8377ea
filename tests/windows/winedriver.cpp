// Runs korvane-wintest.exe under wine64 and plays its device: a
// pseudo-terminal linked as Wine's COM3, left in the terminal's default
// cooked settings with XON/XOFF on as a port that another program used
// last would be, and a TCP device at 192.168.1.154:4500 inside a network
// namespace of our own. Wine's server and every Wine process start here, as
// children, after the move into that namespace, in a private Wine prefix
// that is made for the run and removed afterwards.
//
//   korvane-winedriver <korvane-wintest.exe>
//
// Exit code 0 when every case passed (network cases skip, with the reason,
// where no private namespace can be made).

#include "testsupport.h"
#include "wirecases.h"

#include <QString>
#include <QTemporaryDir>

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
using Clock = std::chrono::steady_clock;

namespace {

constexpr int RunLimitMs = 60000; // one Wine run, prefix creation included

int msLeft(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Between two looks at processes that give no descriptor to wait on.
void pollPause()
{
    struct timespec pause = {0, 10 * 1000 * 1000};
    ::nanosleep(&pause, nullptr);
}

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

struct Wine
{
    std::string loader;
    std::string server;
    std::string program;
    std::string prefix;
};

// Starts args[0] with the rest as its arguments, in dir when given; its
// standard error goes to errFd when that is not -1.
pid_t start(const std::vector<std::string>& args, const char* dir = nullptr, int errFd = -1)
{
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (dir && ::chdir(dir) != 0)
            ::_exit(126);
        const int devNull = ::open("/dev/null", O_RDONLY);
        ::dup2(devNull, STDIN_FILENO);
        if (errFd >= 0)
            ::dup2(errFd, STDERR_FILENO);
        ::execvp(argv[0], argv.data());
        std::fprintf(stderr, "cannot run %s: %s\n", argv[0], std::strerror(errno));
        ::_exit(127);
    }
    return pid;
}

// Ends this prefix's server and every Wine process still running in it: a
// run whose device side has failed is not waited for.
void stopWine(const Wine& wine)
{
    ::waitpid(start({wine.server, "-k"}), nullptr, 0);
}

// Waits for a run, at most RunLimitMs, and checks that it passed.
void checkRun(const Wine& wine, pid_t pid, const char* group)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(RunLimitMs);
    int status = 0;
    pid_t ended;
    while ((ended = ::waitpid(pid, &status, WNOHANG)) == 0 && msLeft(deadline) > 0)
        pollPause();
    const std::string what = std::string("wine run \"") + group + "\" ends with 0";
    if (ended != pid) {
        stopWine(wine);
        ::waitpid(pid, &status, 0);
        check(false, what.c_str(), "stopped after the time limit");
    } else {
        check(WIFEXITED(status) && WEXITSTATUS(status) == 0, what.c_str(), "wait status " + std::to_string(status));
    }
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

void serialCases(const Wine& wine, const QTemporaryDir& scratch, const DeviceLine& line)
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

    const pid_t pid = start({wine.loader, wine.program, "serial"});
    const Bytes all = WireCases::allByteValues();
    const Bytes burst = WireCases::burst();
    const Bytes reply = WireCases::reply();
    const bool ok = expectThenAnswer(master, all, all, "serial: the device gets all 256 byte values")
                    && expectThenAnswer(master, burst, burst, "serial: the device gets the 4 KiB burst")
                    && expectThenAnswer(master, WireCases::request(), Bytes{WireCases::Xoff},
                                        "serial: the device gets the request")
                    && expectThenAnswer(master, reply, {}, "serial: a reply written after a 0x13 reaches the device");
    if (!ok)
        stopWine(wine);
    checkRun(wine, pid, "serial");
}

void refusedCases(const Wine& wine)
{
    int err[2];
    if (::pipe2(err, O_CLOEXEC) != 0) {
        check(false, "net: a pipe for standard error", std::strerror(errno));
        return;
    }
    const pid_t pid = start({wine.loader, wine.program, "refused"}, nullptr, err[1]);
    ::close(err[1]);
    checkRun(wine, pid, "refused");
    // Wine's server may hold the pipe's write end too: take what is there.
    ::fcntl(err[0], F_SETFL, O_NONBLOCK);
    std::string text;
    char buffer[4096];
    ssize_t r;
    while ((r = ::read(err[0], buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<std::size_t>(r));
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

void netCases(const Wine& wine)
{
    TestSupport::DeviceListener device(WireCases::DeviceHost);
    if (!device.isListening()) {
        check(false, "net: a device listening at 192.168.1.154:4500");
        return;
    }
    const pid_t pid = start({wine.loader, wine.program, "net"});
    const int peer = device.accept(RunLimitMs);
    check(peer >= 0, "net: the program connects");
    if (peer >= 0) {
        const Bytes all = WireCases::allByteValues();
        if (!expectThenAnswer(peer, all, all, "net: the device gets all 256 byte values"))
            stopWine(wine);
        ::close(peer); // the program must see this as a receive of 0
    } else {
        stopWine(wine);
    }
    checkRun(wine, pid, "net");
}

void lockCases(const Wine& wine, const QTemporaryDir& scratch)
{
    const std::string dir = scratch.filePath(QStringLiteral("log")).toStdString();
    ::mkdir(dir.c_str(), 0755);
    checkRun(wine, start({wine.loader, wine.program, "lock"}, dir.c_str()), "lock");
}

std::string firstExisting(std::initializer_list<const char*> paths)
{
    for (const char* p : paths) {
        if (::access(p, X_OK) == 0)
            return p;
    }
    return *paths.begin();
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <korvane-wintest.exe>\n", argv[0]);
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

    QTemporaryDir scratch;
    if (!scratch.isValid()) {
        std::fprintf(stderr, "no temporary directory\n");
        return 1;
    }
    Wine wine;
    wine.loader = firstExisting({"/usr/lib/wine/wine64", "/usr/bin/wine64", "/usr/bin/wine"});
    wine.server = firstExisting({"/usr/lib/wine/wineserver64", "/usr/bin/wineserver"});
    char program[PATH_MAX];
    if (!::realpath(argv[1], program)) {
        std::fprintf(stderr, "%s: %s\n", argv[1], std::strerror(errno));
        return 2;
    }
    wine.program = program;
    wine.prefix = scratch.filePath(QStringLiteral("prefix")).toStdString();
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
    serialCases(wine, scratch, line);
    lockCases(wine, scratch);
    if (network) {
        refusedCases(wine);
        netCases(wine);
    } else {
        std::printf("SKIP network cases: %s\n", qPrintable(why));
    }

    stopWine(wine);
    const auto reapDeadline = Clock::now() + std::chrono::milliseconds(RunLimitMs);
    while (::waitpid(-1, nullptr, WNOHANG) >= 0 && msLeft(reapDeadline) > 0) {
        pollPause();
    }

    std::printf("Wine run took %.1f s\n", std::chrono::duration<double>(Clock::now() - began).count());
    // The program's own cases count through the "wine run ... ends with 0" cases.
    std::printf("wine: %d passed, %d failed\n", WireCases::passes, WireCases::failures);
    return WireCases::failures == 0 ? 0 : 1;
}
