// korvane-cli against korvane-sim on a pseudo-terminal (COM3):
//
//   korvane-bench-cli --sim PATH --cli PATH [--out FILE]
//
// Start-up: `korvane-cli --port COM3 send 01` from the fork that starts it
// to the wait that reaps it, 100 times a run, the simulator answering.
// Listening: the simulator sends 4-byte frames (types cycling 00..FF) at 960
// a second, as to the window in korvane-bench-live; `korvane-cli listen
// --log FILE` answers and logs each and prints its event line (to
// /dev/null). Its CPU is the user and system time wait4() reports over its
// wall time; every frame must have been answered (the simulator's ACKs).
//
// Each run RUNS times (KORVANE_BENCH_RUNS, default 5); the stream lasts
// KORVANE_BENCH_SECONDS (default 60).
//
// With --rfc2217, only the listening, with the simulator's line served by
// Debian's ser2net as labgrid's exporter serves it, and korvane-cli on
// rfc2217://127.0.0.1:PORT.

#include "benchfigures.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int Starts = 100;

struct Finished
{
    bool ok = false;
    double wallS = 0;
    double cpuS = 0;
};

// Runs the program with its output to /dev/null and the simulator's config
// folder; waits for it.
Finished runCli(const std::vector<std::string>& args, const QString& config)
{
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const QByteArray home = config.toLocal8Bit();
    const auto began = Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, STDIN_FILENO);
        ::dup2(null, STDOUT_FILENO);
        ::setenv("XDG_CONFIG_HOME", home.constData(), 1);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    Finished f;
    int status = 0;
    struct rusage usage = {};
    if (pid < 0 || ::wait4(pid, &status, 0, &usage) != pid)
        return f;
    f.wallS = std::chrono::duration<double>(Clock::now() - began).count();
    f.cpuS = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
    f.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return f;
}

bool startSim(TestSupport::Child& sim, const QString& path, const QStringList& extra)
{
    QStringList args{QStringLiteral("--serial"), QStringLiteral("COM3"), QStringLiteral("--quiet")};
    sim.environment().insert(QStringLiteral("XDG_CONFIG_HOME"), sim.configHome());
    if (sim.start(path, args + extra) && sim.waitLine(QRegularExpression(QStringLiteral("^ready"))).hasMatch())
        return true;
    std::fprintf(stderr, "simulator did not start: %s\n", qPrintable(sim.describe()));
    return false;
}

bool startupRun(const QString& simPath, const std::string& cli, BenchFigures::Sheet& sheet)
{
    TestSupport::Child sim(TestSupport::OwnConfig);
    if (!startSim(sim, simPath, {}))
        return false;
    std::vector<double> ms;
    for (int i = 0; i < Starts; ++i) {
        const Finished f = runCli({cli, "--port", "COM3", "send", "01"}, sim.configHome());
        if (!f.ok) {
            std::fprintf(stderr, "korvane-cli send did not get its ACK\n");
            return false;
        }
        ms.push_back(f.wallS * 1e3);
    }
    sim.command("quit");
    sim.waitExit(3000);
    std::sort(ms.begin(), ms.end());
    sheet.add(QStringLiteral("cli_startup_p50_ms"), QStringLiteral("korvane-cli send, exec to exit, p50"), QStringLiteral("ms"),
              BenchFigures::percentile(ms, 0.5));
    sheet.add(QStringLiteral("cli_startup_p99_ms"), QStringLiteral("korvane-cli send, exec to exit, p99"), QStringLiteral("ms"),
              BenchFigures::percentile(ms, 0.99));
    std::printf("    start-up: p50 %.2f ms, p99 %.2f ms\n", BenchFigures::percentile(ms, 0.5), BenchFigures::percentile(ms, 0.99));
    return true;
}

bool listenRun(const QString& simPath, const std::string& cli, double seconds, bool rfc2217, BenchFigures::Sheet& sheet)
{
    constexpr int Rate = 960;
    const long long count = static_cast<long long>(Rate * seconds + 0.5);
    QStringList frames{QStringLiteral("--rate"), QString::number(Rate), QStringLiteral("--count"), QString::number(count),
                       QStringLiteral("--stay")};
    for (int t = 0; t < 256; ++t)
        frames << QStringLiteral("--frame") << QStringLiteral("%1").arg(t, 2, 16, QLatin1Char('0')).toUpper();
    if (rfc2217)
        frames << QStringLiteral("--hold");
    TestSupport::Child sim(TestSupport::OwnConfig);
    QTemporaryDir dir;
    if (!dir.isValid() || !startSim(sim, simPath, frames))
        return false;
    TestSupport::Ser2net server;
    std::string port = "COM3";
    if (rfc2217) {
        QString why;
        const QString device = sim.lines().value(0).section(QLatin1Char(' '), 2, 2);
        if (!server.start(device, &why)) {
            std::fprintf(stderr, "%s\n", qPrintable(why));
            return false;
        }
        port = server.url().toStdString();
    }
    // The stream waits for the port to be opened; the listener stops a
    // second after its planned end.
    const std::vector<std::string> args{cli, "--port", port, "--log", dir.filePath(QStringLiteral("log.csv")).toStdString(),
                                        "listen", "--duration", std::to_string(seconds + 1.0)};
    Finished f;
    if (rfc2217) {
        // ser2net opens the line at the connect, before the negotiation
        // and its purge, which drops what the device sent meanwhile: the
        // stream starts once the open has settled (it takes tens of ms).
        std::thread listener([&] { f = runCli(args, sim.configHome()); });
        const bool connected = sim.waitLine(QRegularExpression(QStringLiteral("^connected"))).hasMatch();
        QThread::msleep(300);
        sim.command("start");
        listener.join();
        if (!connected)
            f.ok = false;
    } else {
        f = runCli(args, sim.configHome());
    }
    const QMap<QString, qint64> stats = sim.stats();
    sim.command("quit");
    sim.waitExit(3000);
    if (!f.ok || stats.isEmpty()) {
        std::fprintf(stderr, "korvane-cli listen failed or the simulator gave no stats\n");
        return false;
    }
    const double acks = static_cast<double>(stats.value(QStringLiteral("acks")));
    const QString key = rfc2217 ? QStringLiteral("rfc2217_cli960") : QStringLiteral("cli960");
    const QString what = rfc2217 ? QStringLiteral("korvane-cli listen over rfc2217:// (ser2net), 960/s 4-byte: ")
                                 : QStringLiteral("korvane-cli listen, 960/s 4-byte: ");
    sheet.add(key + QStringLiteral("_answered_share"), what + QStringLiteral("ACKed / offered"), QStringLiteral("%"),
              100.0 * acks / static_cast<double>(count));
    sheet.add(key + QStringLiteral("_cpu_percent"), what + QStringLiteral("CPU, % of one core"), QStringLiteral("%"),
              100.0 * f.cpuS / f.wallS);
    sheet.add(key + QStringLiteral("_cpu_us_per_frame"), what + QStringLiteral("CPU per frame"), QStringLiteral("us/frame"),
              acks > 0 ? f.cpuS * 1e6 / acks : 0);
    std::printf("    listen: %.0f/%lld ACKed, cpu %.2f%%\n", acks, count, 100.0 * f.cpuS / f.wallS);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QString sim;
    QString cli;
    QString out;
    bool rfc2217 = false;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--rfc2217"))
            rfc2217 = true;
        else if (i + 1 == args.size())
            break;
        else if (args[i] == QLatin1String("--sim"))
            sim = QFileInfo(args[++i]).absoluteFilePath();
        else if (args[i] == QLatin1String("--cli"))
            cli = QFileInfo(args[++i]).absoluteFilePath();
        else if (args[i] == QLatin1String("--out"))
            out = args[++i];
    }
    if (sim.isEmpty() || cli.isEmpty()) {
        std::fprintf(stderr, "usage: korvane-bench-cli --sim PATH --cli PATH [--out FILE] [--rfc2217]\n");
        return 2;
    }
    const int runs = static_cast<int>(BenchFigures::envCount("KORVANE_BENCH_RUNS", 5));
    const double seconds = BenchFigures::envSeconds("KORVANE_BENCH_SECONDS", 60);
    const std::string program = cli.toStdString();

    BenchFigures::Sheet sheet(rfc2217 ? QStringLiteral("rfc2217_cli") : QStringLiteral("cli"));
    std::printf("korvane-cli: %d runs of %d starts and of %.0f s of listening at 960/s\n", runs, Starts, seconds);
    std::fflush(stdout);
    for (int run = 0; run < runs; ++run) {
        if ((!rfc2217 && !startupRun(sim, program, sheet)) || !listenRun(sim, program, seconds, rfc2217, sheet))
            return 1;
        std::fflush(stdout);
    }
    sheet.print();
    return out.isEmpty() || sheet.write(out) ? 0 : 1;
}
