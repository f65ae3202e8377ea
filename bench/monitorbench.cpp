// The monitor benchmark: korvane-sim --monitor between the host's end of
// COM3 (its pseudo-terminal) and a device line (a pseudo-terminal whose
// slave the monitor opens as a serial device), with its capture and log on.
// This process plays both ends, writes paced frames into both and reads
// what comes out of the other end.
//
//   korvane-bench-monitor --sim PATH [--out FILE]
//
// Cases (each run KORVANE_BENCH_RUNS times, default 5, taking turns run by
// run):
//   line:  960 four-byte frames a second each way, the line's full rate, for
//          KORVANE_BENCH_SECONDS (default 60);
//   flood: the same frames A>B while B>A carries noise as fast as 4 KiB
//          every 2 ms, for KORVANE_BENCH_FLOOD_SECONDS (default 10);
//   socat: the line case with socat in the monitor's place, a forwarder that
//          does nothing else: the floor that waking up for every read puts
//          under any program that passes bytes on at once on this machine.
// Latency per frame runs from the return of the write() that put it on one
// end to the read() that took its last byte from the other (CLOCK_MONOTONIC):
// what the monitor adds, plus two pseudo-terminal hops and this process's
// own wake-up. Every byte read is compared with what was written. CPU is the
// monitor's own time on a core, all its threads (/proc/PID/task/*/schedstat),
// over the same wall time.
// KORVANE_BENCH_CASES ("line", "flood", "socat") picks cases.

#include "benchfigures.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <poll.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

namespace {

constexpr int FrameRate = 960;
constexpr int FrameBytes = 4;           // 2E, type, len 0, checksum
constexpr std::size_t FloodChunk = 4096;
constexpr std::int64_t FloodPeriodNs = 2000000;

std::int64_t monotonicNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// Nanoseconds the process has run on a core, all its threads together (the
// monitor writes its output on threads of its own).
std::int64_t cpuNs(qint64 pid)
{
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    std::int64_t total = -1;
    for (const QString& task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile file(tasks.filePath(task + QStringLiteral("/schedstat")));
        if (file.open(QIODevice::ReadOnly))
            total = std::max<std::int64_t>(total, 0) + file.readAll().split(' ').value(0).toLongLong();
    }
    return total;
}

// One way through the monitor: what goes in at one end, what comes out at
// the other, checked byte by byte.
struct Way
{
    int in = -1;
    int out = -1;
    bool noise = false;              // a flood instead of frames
    std::int64_t nextNs = 0;         // next write due
    std::int64_t periodNs = 0;
    std::uint64_t written = 0;       // bytes
    std::uint64_t read = 0;
    std::uint64_t wrong = 0;         // bytes that came out changed
    std::vector<std::int64_t> sentNs; // per frame
    std::vector<double> latencyMs;

    std::uint8_t byteAt(std::uint64_t at) const
    {
        if (noise)
            return static_cast<std::uint8_t>(0x30 + at % 0x40); // never 2E, F0 or FF
        const auto type = static_cast<std::uint8_t>(at / FrameBytes);
        const std::uint8_t frame[FrameBytes] = {0x2E, type, 0x00, static_cast<std::uint8_t>(~type)};
        return frame[at % FrameBytes];
    }

    void writeDue(std::int64_t now)
    {
        while (now >= nextNs) {
            std::uint8_t bytes[FloodChunk];
            const std::size_t count = noise ? FloodChunk : FrameBytes;
            for (std::size_t i = 0; i < count; ++i)
                bytes[i] = byteAt(written + i);
            const ssize_t n = ::write(in, bytes, count);
            if (n > 0) {
                written += static_cast<std::uint64_t>(n);
                if (!noise)
                    sentNs.push_back(monotonicNs());
            }
            nextNs += periodNs;
        }
    }

    void readSome(std::int64_t now)
    {
        std::uint8_t bytes[65536];
        const ssize_t n = ::read(out, bytes, sizeof bytes);
        for (ssize_t i = 0; i < n; ++i, ++read) {
            if (bytes[i] != byteAt(read))
                ++wrong;
            const std::uint64_t frame = read / FrameBytes;
            if (!noise && read % FrameBytes == FrameBytes - 1 && frame < sentNs.size())
                latencyMs.push_back(static_cast<double>(now - sentNs[frame]) * 1e-6);
        }
    }
};

struct Run
{
    double cpuPercent = 0;
    std::vector<double> latencyMs; // the framed ways together
    std::uint64_t frames = 0;
    std::uint64_t lost = 0;        // written but never read, or read changed
    double noiseKibPerS = 0;
};

bool waitForText(const QString& path, const QByteArray& text, int timeoutMs)
{
    QFile file(path);
    for (int waited = 0; waited < timeoutMs; waited += 10) {
        if (file.open(QIODevice::ReadOnly) && file.readAll().contains(text))
            return true;
        file.close();
        QThread::msleep(10);
    }
    return false;
}

enum class Case { Line, Flood, Socat };

// Starts the monitor (or socat) between COM3 in dir's ports folder and the
// device's line, and opens COM3 as the host.
bool startForwarder(QProcess& forwarder, Case which, const QString& sim, const QTemporaryDir& dir, const QString& deviceLine,
                    TestSupport::Stream& host)
{
    const QString out = dir.filePath(QStringLiteral("monitor.out"));
    const QString com3 = dir.filePath(QStringLiteral("config/korvane/ports/COM3"));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral("config")));
    forwarder.setProcessEnvironment(env);
    forwarder.setStandardOutputFile(out);
    forwarder.setStandardErrorFile(dir.filePath(QStringLiteral("monitor.err")));
    if (which == Case::Socat) {
        QDir().mkpath(QFileInfo(com3).path());
        forwarder.start(QStringLiteral("socat"), {QStringLiteral("pty,raw,echo=0,link=") + com3, deviceLine + QStringLiteral(",raw,echo=0")});
        return forwarder.waitForStarted() && QTest::qWaitFor([&] { return host.openTerminal(com3); }, 10000);
    }
    forwarder.start(sim, {QStringLiteral("--monitor"), QStringLiteral("COM3"), deviceLine, QStringLiteral("--pcap"),
                          dir.filePath(QStringLiteral("cap.pcapng")), QStringLiteral("--log"), dir.filePath(QStringLiteral("log.csv"))});
    return forwarder.waitForStarted() && waitForText(out, "ready ", 10000) && host.openTerminal(com3)
        && waitForText(out, "connected COM3", 10000);
}

bool runOnce(const QString& sim, Case which, double seconds, Run& run)
{
    QTemporaryDir dir;
    TestSupport::Pty device;
    if (!dir.isValid() || !device.isValid())
        return false;
    const bool flood = which == Case::Flood;
    QProcess monitor;
    TestSupport::Stream host;
    if (!startForwarder(monitor, which, sim, dir, device.slavePath(), host)) {
        std::fprintf(stderr, "the forwarder did not start\n");
        return false;
    }
    const std::int64_t framePeriod = 1000000000LL / FrameRate;
    const std::int64_t start = monotonicNs() + 100000000LL;
    Way ab;
    ab.in = host.fd();
    ab.out = device.fd();
    Way ba;
    ba.in = device.fd();
    ba.out = host.fd();
    ba.noise = flood;
    ab.periodNs = framePeriod;
    ba.periodNs = flood ? FloodPeriodNs : framePeriod;
    ab.nextNs = start;
    ba.nextNs = start + framePeriod / 2; // the two ways do not write in step
    const std::int64_t end = start + static_cast<std::int64_t>(seconds * 1e9);
    const std::int64_t cpuBefore = cpuNs(monitor.processId());
    const std::int64_t wallBefore = monotonicNs();
    std::int64_t lastRead = end;
    for (;;) {
        const std::int64_t now = monotonicNs();
        if (now < end) {
            ab.writeDue(now);
            ba.writeDue(now);
        } else if ((ab.read == ab.written && ba.read == ba.written) || now - lastRead > 2000000000LL) {
            break; // all through, or nothing more for 2 s: the rest is lost
        }
        const std::int64_t wake = now < end ? std::min(ab.nextNs, ba.nextNs) : now + 100000000LL;
        const std::int64_t wait = std::max<std::int64_t>(0, wake - now);
        timespec timeout{static_cast<time_t>(wait / 1000000000LL), static_cast<long>(wait % 1000000000LL)};
        pollfd fds[2] = {{ab.out, POLLIN, 0}, {ba.out, POLLIN, 0}};
        if (::ppoll(fds, 2, &timeout, nullptr) < 0 && errno != EINTR)
            return false;
        const std::int64_t readAt = monotonicNs();
        if (fds[0].revents & POLLIN)
            ab.readSome(readAt);
        if (fds[1].revents & POLLIN)
            ba.readSome(readAt);
        if (now >= end && ((fds[0].revents | fds[1].revents) & POLLIN))
            lastRead = readAt;
    }
    const double wall = static_cast<double>(std::min(monotonicNs(), end) - wallBefore);
    run.cpuPercent = 100.0 * static_cast<double>(cpuNs(monitor.processId()) - cpuBefore) / wall;
    monitor.write("quit\n");
    if (which == Case::Socat)
        monitor.terminate();
    if (!monitor.waitForFinished(10000))
        monitor.kill();
    run.latencyMs = ab.latencyMs;
    run.latencyMs.insert(run.latencyMs.end(), ba.latencyMs.begin(), ba.latencyMs.end());
    std::sort(run.latencyMs.begin(), run.latencyMs.end());
    run.frames = ab.sentNs.size() + ba.sentNs.size();
    run.lost = (ab.written - ab.read) + (ba.written - ba.read) + ab.wrong + ba.wrong;
    run.noiseKibPerS = flood ? static_cast<double>(ba.read) / 1024.0 / seconds : 0;
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QString sim;
    QString outPath;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); ++i) {
        if (args[i] == QLatin1String("--sim"))
            sim = QFileInfo(args[++i]).absoluteFilePath();
        else if (args[i] == QLatin1String("--out"))
            outPath = args[++i];
    }
    if (sim.isEmpty()) {
        std::fprintf(stderr, "usage: korvane-bench-monitor --sim PATH [--out FILE]\n");
        return 2;
    }
#ifdef __linux__
    // Default timer slack (50 us) would blur the ~1 ms frame period.
    prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
#endif
    const int runs = static_cast<int>(BenchFigures::envCount("KORVANE_BENCH_RUNS", 5));
    const QStringList only = qEnvironmentVariable("KORVANE_BENCH_CASES").split(QLatin1Char(','), Qt::SkipEmptyParts);
    BenchFigures::Sheet sheet(QStringLiteral("monitor"));
    struct Named
    {
        Case which;
        QString key;
        QString label;
    };
    const std::vector<Named> cases{
        {Case::Line, QStringLiteral("line"), QStringLiteral("monitor, 960 frames/s each way")},
        {Case::Flood, QStringLiteral("flood"), QStringLiteral("monitor, noise flood B>A, frames A>B")},
        {Case::Socat, QStringLiteral("socat"), QStringLiteral("socat in its place, 960 frames/s each way")},
    };
    // Run by run the cases take turns, so the monitor and socat see the same
    // machine: a load that comes and goes falls on both alike.
    for (int i = 0; i < runs; ++i) {
        for (const Named& named : cases) {
            const QString& key = named.key;
            const QString& label = named.label;
            const bool flood = named.which == Case::Flood;
            if (!only.isEmpty() && !only.contains(key))
                continue;
            const double seconds = flood ? BenchFigures::envSeconds("KORVANE_BENCH_FLOOD_SECONDS", 10)
                                         : BenchFigures::envSeconds("KORVANE_BENCH_SECONDS", 60);
            const QString k = QStringLiteral("monitor_") + key + QLatin1Char('_');
            std::printf("%s: run %d of %d, %.0f s\n", qPrintable(label), i + 1, runs, seconds);
            std::fflush(stdout);
            Run run;
            if (!runOnce(sim, named.which, seconds, run))
                return 1;
            auto add = [&](const char* name, const QString& text, const char* unit, double value) {
                sheet.add(k + QLatin1String(name), label + QStringLiteral(": ") + text, QLatin1String(unit), value);
            };
            add("cpu_percent", QStringLiteral("CPU, % of one core"), "%", run.cpuPercent);
            add("latency_p50_ms", QStringLiteral("added latency per frame, median"), "ms", BenchFigures::percentile(run.latencyMs, 0.5));
            add("latency_p99_ms", QStringLiteral("added latency per frame, p99"), "ms", BenchFigures::percentile(run.latencyMs, 0.99));
            add("latency_max_ms", QStringLiteral("added latency per frame, max"), "ms", run.latencyMs.empty() ? 0 : run.latencyMs.back());
            add("frames", QStringLiteral("frames written, both ways"), "frames", static_cast<double>(run.frames));
            add("lost_bytes", QStringLiteral("bytes lost or changed"), "bytes", static_cast<double>(run.lost));
            if (flood)
                add("noise_kib_s", QStringLiteral("noise passed B>A"), "KiB/s", run.noiseKibPerS);
            std::printf("    cpu %.3f%%, latency p50 %.3f ms p99 %.3f ms max %.3f ms, %llu frames, %llu bytes lost%s\n",
                        run.cpuPercent, BenchFigures::percentile(run.latencyMs, 0.5), BenchFigures::percentile(run.latencyMs, 0.99),
                        run.latencyMs.empty() ? 0.0 : run.latencyMs.back(), static_cast<unsigned long long>(run.frames),
                        static_cast<unsigned long long>(run.lost),
                        flood ? qPrintable(QStringLiteral(", noise %1 KiB/s").arg(run.noiseKibPerS, 0, 'f', 0)) : "");
            std::fflush(stdout);
        }
    }
    sheet.note(QStringLiteral("runs"), runs);
    sheet.print();
    if (!outPath.isEmpty() && !sheet.write(outPath))
        return 1;
    return 0;
}
