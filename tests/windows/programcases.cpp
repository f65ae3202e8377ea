#include "programcases.h"

#include "benchfigures.h"
#include "testsupport.h"
#include "wirecases.h"

#include <QRegularExpression>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace ProgramCases {

namespace {

using WireCases::check;
using namespace WineProcess;

constexpr int ToolLimitMs = 15000; // xdotool, reg: quick commands
constexpr int StreamRate = 960;     // frames/s: 4-byte frames fill the line at 38400 baud

bool exists(const std::string& path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

// Runs a command to its end; its standard output in *out. False when it
// fails or outlives limitMs (it is killed then). Quiet: its standard error
// is dropped.
bool runTool(const std::vector<std::string>& args, std::string* out = nullptr, int limitMs = ToolLimitMs,
             bool quiet = false)
{
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return false;
    const int devNull = quiet ? ::open("/dev/null", O_WRONLY | O_CLOEXEC) : -1;
    const pid_t pid = start(args, nullptr, devNull, pipeFds[1]);
    ::close(pipeFds[1]);
    if (devNull >= 0)
        ::close(devNull);
    const auto deadline = Clock::now() + std::chrono::milliseconds(limitMs);
    std::string text;
    for (;;) {
        struct pollfd p = {pipeFds[0], POLLIN, 0};
        if (::poll(&p, 1, msLeft(deadline)) <= 0)
            break;
        char buffer[4096];
        const ssize_t r = ::read(pipeFds[0], buffer, sizeof buffer);
        if (r <= 0)
            break;
        text.append(buffer, static_cast<std::size_t>(r));
    }
    ::close(pipeFds[0]);
    int status = 0;
    if (!waitEnd(pid, msLeft(deadline), &status)) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return false;
    }
    if (out)
        *out = text;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Waits until done() holds, at most limitMs.
template<typename Done>
bool waitFor(Done done, int limitMs = WireCases::WaitMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(limitMs);
    while (!done()) {
        if (msLeft(deadline) == 0)
            return false;
        pollPause();
    }
    return true;
}

// Xvfb on a display number of its own choosing, set as $DISPLAY while it lives.
class XDisplay
{
public:
    bool start(std::string* why)
    {
        int pipeFds[2];
        if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
            *why = std::strerror(errno);
            return false;
        }
        pid = WineProcess::start({"Xvfb", "-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"}, nullptr,
                                 -1, pipeFds[1]);
        ::close(pipeFds[1]);
        std::string number;
        struct pollfd p = {pipeFds[0], POLLIN, 0};
        char c;
        while (::poll(&p, 1, WireCases::WaitMs) > 0 && ::read(pipeFds[0], &c, 1) == 1 && c != '\n')
            number += c;
        held = pipeFds[0]; // Xvfb's standard output, kept open so that it never writes into a closed pipe
        if (number.empty()) {
            *why = "Xvfb did not give a display number";
            return false;
        }
        ::setenv("DISPLAY", (":" + number).c_str(), 1);
        return true;
    }
    ~XDisplay()
    {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
        if (held >= 0)
            ::close(held);
        ::unsetenv("DISPLAY");
    }

private:
    pid_t pid = -1;
    int held = -1;
};

// The tool's window, given real X input (XTEST, through xdotool) at places
// in its client area. Its widgets sit at fixed places there.
class ToolWindow
{
public:
    static constexpr int ClientWidth = 731;
    static constexpr int ClientHeight = 419;

    // Finds the shown window and where its client area lies: Wine draws the
    // frame itself where no window manager runs, with equal borders left,
    // right and below.
    bool find(int limitMs)
    {
        // Wine's windows come and go while it starts: a search that meets one
        // going says so on standard error, and is tried again.
        std::string ids;
        const auto search = [&ids] {
            return runTool({"xdotool", "search", "--onlyvisible", "--name", "^Korvane$"}, &ids, ToolLimitMs, true);
        };
        if (!waitFor(search, limitMs))
            return false;
        const std::string id = ids.substr(0, ids.find('\n'));
        // Placed once it stays put: two looks in a row agree.
        std::string shell;
        std::string before;
        const auto placed = [&] {
            before = shell;
            return runTool({"xdotool", "getwindowgeometry", "--shell", id}, &shell) && shell == before;
        };
        if (!waitFor(placed, limitMs))
            return false;
        const auto field = [&shell](const char* name) {
            const auto at = shell.find(std::string(name) + "=");
            return at == std::string::npos ? -1 : std::atoi(shell.c_str() + at + std::strlen(name) + 1);
        };
        const int width = field("WIDTH");
        const int height = field("HEIGHT");
        const int border = (width - ClientWidth) / 2;
        x = field("X") + border;
        y = field("Y") + height - ClientHeight - border;
        return width >= ClientWidth && height >= ClientHeight && border >= 0;
    }
    bool click(int cx, int cy)
    {
        return runTool({"xdotool", "mousemove", "--sync", std::to_string(x + cx), std::to_string(y + cy), "click", "1"});
    }
    bool type(const std::string& text) { return runTool({"xdotool", "type", "--delay", "40", text}); }
    // Replaces what the port box holds.
    bool choosePort(int number) { return click(100, 25) && runTool({"xdotool", "key", "ctrl+a"}) && type(std::to_string(number)); }
    bool clickOpen() { return click(187, 25); }
    bool clickMode() { return click(43, 25); }
    // Fills the first send panel (type, len, data) and presses its "send".
    bool sendFromPanel(const std::string& type, const std::vector<std::string>& data)
    {
        bool ok = click(45, 95) && this->type(type) && click(95, 95) && this->type(std::to_string(data.size()));
        for (std::size_t i = 0; ok && i < data.size(); ++i)
            ok = click(145 + 40 * static_cast<int>(i), 95) && this->type(data[i]);
        return ok && click(680, 96);
    }

private:
    int x = 0;
    int y = 0;
};

// The simulator's stats until replies reach acks and naks, or the time is up.
bool repliesCounted(TestSupport::Child& device, qint64 acks, qint64 naks)
{
    QMap<QString, qint64> stats;
    const bool reached = waitFor([&] {
        stats = device.stats();
        return stats.value(QStringLiteral("acks")) >= acks && stats.value(QStringLiteral("naks")) >= naks;
    });
    return reached && stats.value(QStringLiteral("acks")) == acks && stats.value(QStringLiteral("naks")) == naks;
}

// CPU time (user and system, every thread) of a process so far, in seconds.
double cpuSeconds(pid_t pid)
{
    FILE* file = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (!file)
        return 0;
    char text[1024] = {};
    const std::size_t n = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    // After the name in parentheses: state is field 3, utime 14, stime 15.
    const char* rest = std::strrchr(text, ')');
    unsigned long utime = 0;
    unsigned long stime = 0;
    if (n == 0 || !rest
        || std::sscanf(rest + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) != 2)
        return 0;
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// This prefix's server: a child of this process, which reaps Wine's own.
pid_t wineServerPid()
{
    pid_t found = -1;
    if (DIR* proc = ::opendir("/proc")) {
        while (const dirent* entry = ::readdir(proc)) {
            const pid_t pid = std::atoi(entry->d_name);
            char name[64] = {};
            FILE* comm = pid > 0 ? std::fopen(("/proc/" + std::to_string(pid) + "/comm").c_str(), "r") : nullptr;
            if (!comm)
                continue;
            if (std::fgets(name, sizeof name, comm) && std::strncmp(name, "wineserver", 10) == 0)
                found = pid;
            std::fclose(comm);
        }
        ::closedir(proc);
    }
    return found;
}

struct Stream
{
    int frames = 0;
    qint64 answered = 0;
    double wall = 0;      // seconds
    double toolCpu = 0;   // seconds of korvane.exe, every thread
    double serverCpu = 0; // seconds of wineserver
};

// The device's numbered stream at the line's full rate: every frame must be
// answered; what it cost korvane.exe and Wine's server is printed.
Stream streamAtFullRate(TestSupport::Child& device, pid_t tool, int seconds)
{
    Stream run;
    run.frames = StreamRate * seconds;
    const pid_t server = wineServerPid();
    const double toolBefore = cpuSeconds(tool);
    const double serverBefore = cpuSeconds(server);
    const auto began = Clock::now();
    const qint64 acksBefore = device.stats().value(QStringLiteral("acks"));
    device.command("start");
    QMap<QString, qint64> stats;
    waitFor(
        [&] {
            stats = device.stats();
            return stats.value(QStringLiteral("acks")) - acksBefore >= run.frames;
        },
        seconds * 1000 + WireCases::WaitMs);
    run.wall = std::chrono::duration<double>(Clock::now() - began).count();
    run.answered = stats.value(QStringLiteral("acks")) - acksBefore;
    run.toolCpu = cpuSeconds(tool) - toolBefore;
    run.serverCpu = cpuSeconds(server) - serverBefore;
    check(stats.value(QStringLiteral("sent")) >= run.frames && run.answered == run.frames,
          "program: a stream at 960 frames/s is answered frame for frame",
          std::to_string(run.answered) + " of " + std::to_string(run.frames) + " answered");
    std::printf("wine: %d frames at %d/s, %lld answered in %.1f s; korvane.exe CPU %.2f %% of one core, "
                "wineserver %.2f %%\n",
                run.frames, StreamRate, static_cast<long long>(run.answered), run.wall, 100.0 * run.toolCpu / run.wall,
                100.0 * run.serverCpu / run.wall);
    return run;
}

// The benchmark's figures, for korvane-bench-report.
void writeFigures(const Stream& run, int logged, const QString& path)
{
    BenchFigures::Sheet sheet(QStringLiteral("wine"));
    const double offered = run.frames > 0 ? run.frames : 1;
    sheet.add(QStringLiteral("wine960_delivered_share"), QStringLiteral("Wine, 960/s 4-byte: answered and logged / offered"),
              QStringLiteral("%"), 100.0 * static_cast<double>(std::min<qint64>(run.answered, logged)) / offered);
    sheet.add(QStringLiteral("wine960_cpu_percent"), QStringLiteral("Wine, 960/s 4-byte: korvane.exe CPU, % of one core"),
              QStringLiteral("%"), 100.0 * run.toolCpu / run.wall);
    sheet.add(QStringLiteral("wine960_server_cpu_percent"), QStringLiteral("Wine, 960/s 4-byte: wineserver CPU, % of one core"),
              QStringLiteral("%"), 100.0 * run.serverCpu / run.wall);
    sheet.write(path);
}

// The Wine user's profile folder (drive_c/users/<name>).
std::string profileFolder(const Wine& wine)
{
    const std::string users = wine.prefix + "/drive_c/users";
    std::string found;
    if (DIR* dir = ::opendir(users.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != ".." && name != "Public")
                found = users + "/" + name;
        }
        ::closedir(dir);
    }
    return found;
}

struct Install
{
    std::string program;  // C:\Tools\Korvane, where the upgrade moved it
    std::string work;     // Documents\Korvane
    std::string shortcut; // the Start-menu entry
};

constexpr const char* UninstallKey = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Korvane";

// What a folder holds: every file with its size and time.
std::vector<std::string> snapshot(const std::string& folder)
{
    std::vector<std::string> files;
    std::error_code error;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder, error)) {
        std::string line = entry.path().string();
        if (entry.is_regular_file(error))
            line += " " + std::to_string(entry.file_size(error)) + " "
                    + std::to_string(entry.last_write_time(error).time_since_epoch().count());
        files.push_back(line);
    }
    std::sort(files.begin(), files.end());
    return files;
}

// An installer run (args) that must end with code and say reason on its
// standard error (in either of its languages) before touching folder.
void checkRefused(const Wine& wine, const std::vector<std::string>& args, int code, const std::string& reason,
                  const std::string& folder, const char* what)
{
    const std::vector<std::string> before = snapshot(folder);
    int err[2];
    if (::pipe2(err, O_CLOEXEC) != 0)
        return;
    const pid_t pid = start(args, nullptr, err[1]);
    ::close(err[1]);
    const int ended = exitCode(wine, pid);
    const std::string said = drain(err[0]);
    ::close(err[0]);
    const bool untouched = snapshot(folder) == before;
    check(ended == code && said.find(reason) != std::string::npos && untouched, what,
          "exit code " + std::to_string(ended) + (untouched ? "" : ", the folder changed") + ", said: " + said);
}

Install install(const Wine& wine, const Setup& setup)
{
    checkRun(wine, start({wine.loader, setup.installer, "/S"}), "installer /S");
    checkRun(wine, start({wine.loader, setup.installer, "/S"}), "installer /S over the install (an upgrade)");
    const std::string profile = profileFolder(wine);
    const std::string first = profile + "/AppData/Local/Programs/Korvane";

    // Another program's folder: its uninstaller is neither run nor replaced.
    const std::string other = wine.prefix + "/drive_c/Tools/Other";
    std::filesystem::create_directories(other);
    std::ofstream(other + "/Uninstall.exe") << "another program's uninstaller";
    checkRefused(wine, {wine.loader, setup.installer, "/S", "/D=C:\\Tools\\Other"}, 3, "Korvane setup: C:\\Tools\\Other ",
                 other, "installer: a folder with another program's Uninstall.exe is refused");

    // An upgrade into another folder takes the first install away.
    checkRun(wine, start({wine.loader, setup.installer, "/S", "/D=C:\\Tools\\Korvane"}),
             "installer /S into another folder (an upgrade)");
    Install at;
    at.program = wine.prefix + "/drive_c/Tools/Korvane";
    at.work = profile + "/Documents/Korvane";
    at.shortcut = profile + "/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Korvane.lnk";
    std::string registered;
    runTool({wine.loader, "reg", "query", UninstallKey, "/v", "InstallLocation"}, &registered);
    std::ifstream lnk(at.shortcut, std::ios::binary);
    const std::string link{std::istreambuf_iterator<char>(lnk), std::istreambuf_iterator<char>()};
    const bool moved = registered.find("C:\\Tools\\Korvane") != std::string::npos
                       && link.find("C:\\Tools\\Korvane\\korvane.exe") != std::string::npos;
    check(!exists(first) && moved, "installer: an upgrade into another folder removes the first install, and the entries follow",
          (exists(first) ? "the first install stays; " : "") + registered);

    check(exists(at.program + "/korvane.exe") && exists(at.program + "/platforms/qwindows.dll")
              && exists(at.program + "/Qt6Widgets.dll") && exists(at.program + "/licenses/Qt-NOTICE.txt"),
          "program: korvane.exe, Qt, its plugins and the licences installed per user", at.program);
    check(exists(at.shortcut) && exists(at.work), "program: a Start-menu entry and its working folder Documents\\Korvane");
    check(runTool({wine.loader, "reg", "query", UninstallKey}), "program: an uninstaller in the user's Apps list");
    return at;
}

void uninstall(const Wine& wine, const Install& at)
{
    const bool hadLog = exists(at.work + "/Korvane_data.csv");
    checkRun(wine, start({wine.loader, at.program + "/Uninstall.exe", "/S"}), "Uninstall.exe /S");
    // The uninstaller runs on from a copy of itself in the temporary folder.
    const bool gone = waitFor([&at] { return !exists(at.program); });
    const bool listed = runTool({wine.loader, "reg", "query", UninstallKey});
    check(gone && !exists(at.shortcut) && !listed, "program: uninstalling removes the program, its entry and its Apps-list entry",
          std::string(gone ? "" : "the program's folder stays; ") + (exists(at.shortcut) ? "the entry stays; " : "")
              + (listed ? "the Apps list still has it" : ""));
    if (hadLog)
        check(exists(at.work + "/Korvane_data.csv"), "program: uninstalling keeps the user's log");
}

// korvane.exe --history on the session's log: the history window alone,
// titled with the log's name and its row count, and the folder left as it
// was (no link, and no log of its own that would move the old one aside).
void historyOfTheLog(const Wine& wine, const Install& at, std::size_t rows)
{
    const std::vector<std::string> before = snapshot(at.work);
    const pid_t tool = start({wine.loader, at.program + "/korvane.exe", "--history", "Korvane_data.csv"}, at.work.c_str());
    std::string count = std::to_string(rows);
    for (int i = static_cast<int>(count.size()) - 3; i > 0; i -= 3)
        count.insert(static_cast<std::size_t>(i), ",");
    // "Korvane 历史 — Korvane_data.csv — N 帧": the ASCII parts, whatever
    // encoding the title reaches X in.
    const std::string title = "Korvane .* Korvane_data\\.csv .* " + count + " ";
    const bool shown = waitFor([&title] {
        return runTool({"xdotool", "search", "--onlyvisible", "--name", title}, nullptr, ToolLimitMs, true);
    }, RunLimitMs);
    check(shown, "program: korvane.exe --history opens the log's history, titled with its rows", count + " rows");
    runTool({wine.loader, "wineboot", "--end-session"}, nullptr, RunLimitMs);
    check(waitEnd(tool, RunLimitMs) && snapshot(at.work) == before,
          "program: korvane.exe --history ends with the session and leaves the log's folder as it was");
}

} // namespace

void run(const Wine& wine, const Setup& setup)
{
    const auto began = Clock::now();
    ::setenv("KORVANE_SIM", setup.simulator.c_str(), 1);
    ::unsetenv("QT_QPA_PLATFORM"); // korvane.exe has only the Windows platform plugin
    std::string why;
    XDisplay display;
    if (!display.start(&why)) {
        check(false, "program: an X display", why);
        return;
    }
    // A session of its own, on this display.
    stop(wine);
    const Install at = install(wine, setup);
    if (!exists(at.program + "/korvane.exe"))
        return;
    if (!setup.network) {
        // The window has a network mode: a click gone astray must not reach
        // a real 192.168.1.154.
        std::printf("SKIP program: the window is driven only inside a private network namespace\n");
        uninstall(wine, at);
        return;
    }

    // The device: the simulator's pseudo-terminal is Wine's COM3; COM5 leads
    // nowhere (the port box offers 1 to 6 until the mode is switched).
    TestSupport::Child device(TestSupport::OwnConfig);
    QRegularExpressionMatch ready;
    // Its numbered stream waits for "start"; $KORVANE_WINE_STREAM_SECONDS
    // long (3 s; the benchmark runs 60 and writes its figures to
    // $KORVANE_WINE_BENCH_OUT).
    bool given = false;
    const int asked = qEnvironmentVariableIntValue("KORVANE_WINE_STREAM_SECONDS", &given);
    const int streamSeconds = given ? std::max(1, asked) : 3;
    const bool deviceReady = device.startReady({QStringLiteral("--serial"), QStringLiteral("COM3"), QStringLiteral("--hold"),
                                                QStringLiteral("--number"), QStringLiteral("--rate"),
                                                QString::number(StreamRate), QStringLiteral("--count"),
                                                QString::number(StreamRate * streamSeconds), QStringLiteral("--stay")},
                                               &ready);
    const std::string pts = ready.captured(1).section(QLatin1Char(' '), 1).toStdString();
    const std::string devices = wine.prefix + "/dosdevices/";
    ::unlink((devices + "com3").c_str());
    ::unlink((devices + "com5").c_str());
    const std::string absent = setup.scratch + "/no-such-device";
    if (!deviceReady || ::symlink(pts.c_str(), (devices + "com3").c_str()) != 0
        || ::symlink(absent.c_str(), (devices + "com5").c_str()) != 0) {
        check(false, "program: the simulator as COM3", device.describe().toStdString());
        return;
    }

    // Started as its Start-menu entry starts it: in Documents\Korvane.
    int err[2];
    if (::pipe2(err, O_CLOEXEC) != 0)
        return;
    const int out = ::open((setup.scratch + "/korvane.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const pid_t tool = start({wine.loader, at.program + "/korvane.exe"}, at.work.c_str(), err[1], out);
    ::close(err[1]);
    ::close(out);
    ToolWindow window;
    Stream stream;
    const bool shown = window.find(RunLimitMs);
    check(shown, "program: korvane.exe shows its window");
    if (shown) {
        checkRefused(wine, {wine.loader, setup.installer, "/S"}, 4, "\\Korvane\\korvane.exe", at.program,
                     "installer: while korvane.exe runs, /S is refused");
        // In place (_?=), so that its exit code is its own.
        checkRefused(wine, {wine.loader, at.program + "/Uninstall.exe", "/S", "_?=C:\\Tools\\Korvane"}, 4,
                     "\\Korvane\\korvane.exe", at.program, "installer: while korvane.exe runs, Uninstall.exe /S is refused");
        window.choosePort(3);
        window.clickOpen();
        check(device.waitLineIndex(QRegularExpression(QStringLiteral("^connected"))) >= 0, "program: COM3 opens");
        for (const char* command : {"send 01 11 13", "send 02 2E FF F0", "bad 03 01", "send 04 00"})
            device.command(command);
        check(repliesCounted(device, 3, 1), "program: 3 good frames answered FF, 1 bad one F0", device.describe().toStdString());
        stream = streamAtFullRate(device, tool, streamSeconds);

        window.sendFromPanel("05", {"11", "13"});
        const WireCases::Bytes frame = WireCases::frame(0x05, {0x11, 0x13});
        const QString sent = QString::fromLatin1(
            QByteArray(reinterpret_cast<const char*>(frame.data()), static_cast<int>(frame.size())).toHex(' ').toUpper());
        check(device.waitLineIndex(QRegularExpression(QRegularExpression::escape(sent) + QStringLiteral(" \\["))) >= 0,
              "program: a send panel's frame reaches the device", sent.toStdString());
        window.clickOpen();
        check(device.waitLineIndex(QRegularExpression(QStringLiteral("^disconnected"))) >= 0, "program: COM3 closes");

        window.choosePort(5);
        window.clickOpen();
        std::string errors;
        const std::string reason = "korvane: cannot open COM5 (COM5): no such device";
        waitFor([&] {
            errors += drain(err[0]);
            return errors.find(reason) != std::string::npos;
        });
        check(errors.find(reason) != std::string::npos, "program: COM5 with nothing behind it says why", errors);

        TestSupport::Child peer(TestSupport::OwnConfig);
        peer.startReady({QStringLiteral("--tcp"), QStringLiteral("192.168.1.154:4500")});
        window.clickMode();
        window.clickOpen();
        check(peer.waitLineIndex(QRegularExpression(QStringLiteral("^connected"))) >= 0,
              "program: the network link connects to 192.168.1.154:4500");
        peer.command("send 06 01 02");
        peer.command("send 07 11 13");
        check(repliesCounted(peer, 2, 0), "program: frames over TCP answered", peer.describe().toStdString());
    }

    // Log-off: Wine sends every window WM_QUERYENDSESSION and WM_ENDSESSION,
    // then ends the process as Windows does.
    runTool({wine.loader, "wineboot", "--end-session"}, nullptr, RunLimitMs);
    check(waitEnd(tool, RunLimitMs),
          "program: korvane.exe ends with the session");
    ::close(err[0]);
    const TestSupport::LogContents log = TestSupport::readLog(QString::fromStdString(at.work + "/Korvane_data.csv"));
    // The three good frames, the stream, then the two over TCP.
    QList<int> types;
    for (const TestSupport::LogRow& row : log.rows)
        types << row.type;
    QList<int> wanted{1, 2, 4};
    wanted += QList<int>(stream.frames, 1);
    wanted += {6, 7};
    const bool streamWhole = log.rows.size() >= 3 + stream.frames && TestSupport::contiguous(log.rows.mid(3, stream.frames), 0);
    check(log.headerFirst && types == wanted && streamWhole && log.junk.isEmpty() && !log.endsMidLine,
          "program: the session's end leaves a whole log in Documents\\Korvane",
          std::to_string(log.rows.size()) + " rows, " + std::to_string(log.junk.size()) + " bad lines");
    if (qEnvironmentVariableIsSet("KORVANE_WINE_BENCH_OUT"))
        writeFigures(stream, streamWhole ? stream.frames : 0, qEnvironmentVariable("KORVANE_WINE_BENCH_OUT"));
    if (log.readable)
        historyOfTheLog(wine, at, static_cast<std::size_t>(log.rows.size() + log.junk.size()));

    uninstall(wine, at);
    stop(wine);
    std::printf("Whole program under Wine took %.1f s\n", std::chrono::duration<double>(Clock::now() - began).count());
}

} // namespace ProgramCases
