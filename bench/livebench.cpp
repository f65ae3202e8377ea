// The live benchmark: the real window (korvane-bench-host, a process of its
// own) linked to korvane-sim over a pseudo-terminal, the stream paced by the
// simulator, the log file watched from here.
//
//   korvane-bench-live --sim PATH --host PATH [--out FILE] [--soak]
//
// Cases (each run RUNS times, default 5):
//   960 frames/s of 4-byte frames, the same with the history window open
//   and following the session, 225 frames/s of 17-byte frames and 2,500
//   frames/s of 4-byte frames, each for 60 s;
//   with --soak instead: one million 4-byte frames at 2,500 frames/s.
//
// Latency is the time from the simulator's write of a frame's last byte
// (its --timestamps file, CLOCK_REALTIME) to the moment this process sees
// the frame's row in the log file (inotify, CLOCK_REALTIME). Frames are
// matched by order: the k-th row of the log is the simulator's frame k. This
// is checked row by row: 17-byte frames carry their sequence number in data
// bytes 0..3 (--number); 4-byte frames have no data byte, so the simulator
// sends them with types cycling 00..FF and row k must have type k mod 256.
//
// Environment for quick checks: KORVANE_BENCH_RUNS, KORVANE_BENCH_SECONDS
// (default 60), KORVANE_BENCH_SOAK_FRAMES (default 1000000),
// KORVANE_BENCH_CASES (e.g. "960,2500" to run only those rates).

#include "benchfigures.h"
#include "logwatcher.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <map>
#include <vector>

namespace {

constexpr int PortNumber = 3;

struct Case
{
    QString key;     // figure key prefix
    QString label;
    int rate;        // frames per second
    int dataLen;     // data bytes per frame
    long long count; // frames offered
    bool history = false; // the history window open and following throughout
};

// "key=value key=value" fields of a line; -1 for a field that is missing.
class Fields
{
public:
    explicit Fields(const QByteArray& line)
    {
        for (const QByteArray& part : line.split(' ')) {
            const qsizetype eq = part.indexOf('=');
            if (eq > 0)
                values[part.left(eq)] = part.mid(eq + 1).toDouble();
        }
    }
    double at(const char* key) const
    {
        const auto it = values.find(QByteArray(key));
        return it == values.end() ? -1 : it->second;
    }

private:
    std::map<QByteArray, double> values;
};

QByteArray simStats(TestSupport::Child& sim)
{
    return sim.ask("stats", QRegularExpression(QStringLiteral("^stats .*")), 2000).captured(0).toLatin1();
}

struct Paths
{
    QString sim;
    QString host;
};

bool runOnce(const Paths& paths, const Case& c, bool soak, BenchFigures::Sheet& sheet)
{
    QTemporaryDir dir;
    if (!dir.isValid())
        return false;
    QDir(dir.path()).mkpath(QStringLiteral("config"));
    const QString config = dir.filePath(QStringLiteral("config"));
    const QString stamps = dir.filePath(QStringLiteral("stamps.txt"));

    QStringList simArgs{QStringLiteral("--serial"), QStringLiteral("COM%1").arg(PortNumber),
                        QStringLiteral("--rate"), QString::number(c.rate),
                        QStringLiteral("--count"), QString::number(c.count),
                        QStringLiteral("--timestamps"), stamps, QStringLiteral("--quiet"),
                        QStringLiteral("--exit-on-eof"), QStringLiteral("--stay")};
    if (c.dataLen == 0) {
        for (int t = 0; t < 256; ++t)
            simArgs << QStringLiteral("--frame") << QStringLiteral("%1").arg(t, 2, 16, QLatin1Char('0')).toUpper();
    } else {
        QStringList bytes{QStringLiteral("01")};
        for (int i = 0; i < c.dataLen; ++i)
            bytes << QStringLiteral("%1").arg(0x10 + i, 2, 16, QLatin1Char('0')).toUpper();
        simArgs << QStringLiteral("--frame") << bytes.join(QLatin1Char(' ')) << QStringLiteral("--number");
    }

    const QRegularExpression ready(QStringLiteral("^ready"));
    TestSupport::Child sim;
    sim.environment().insert(QStringLiteral("XDG_CONFIG_HOME"), config);
    if (!sim.start(paths.sim, simArgs, dir.path()) || !sim.waitLine(ready).hasMatch()) {
        std::fprintf(stderr, "simulator did not start: %s\n", qPrintable(sim.describe()));
        return false;
    }
    TestSupport::Child host;
    host.environment().insert(QStringLiteral("XDG_CONFIG_HOME"), config);
    if (!host.start(paths.host, {QString::number(PortNumber)}, dir.path()) || !host.waitLine(ready, 0, 20000).hasMatch()) {
        std::fprintf(stderr, "host did not start: %s\n", qPrintable(host.describe()));
        return false;
    }
    LogWatcher watcher(dir.filePath(QStringLiteral("Korvane_data.csv")), c.dataLen);
    if (!watcher.ok()) {
        std::fprintf(stderr, "cannot watch the log\n");
        return false;
    }
    watcher.start();

    if (c.history && !host.ask("history", QRegularExpression(QStringLiteral("^history open"))).hasMatch()) {
        std::fprintf(stderr, "history did not open\n");
        return false;
    }
    if (!host.ask("open", QRegularExpression(QStringLiteral("^opened"))).hasMatch()) {
        std::fprintf(stderr, "link did not open\n");
        return false;
    }

    // The stream runs count/rate seconds; allow a generous tail for a tool
    // that has fallen behind, then take what arrived.
    const double planned = static_cast<double>(c.count) / c.rate;
    QElapsedTimer t;
    t.start();
    const qint64 deadlineMs = static_cast<qint64>(planned * 1000 * 1.5) + 10000;
    QThread::msleep(static_cast<unsigned long>(planned * 1000 * 0.98));
    QByteArray stats;
    double streamSeconds = 0;
    while (t.elapsed() < deadlineMs) {
        // The simulator stays linked after its last frame (--stay), so the
        // port still holds whatever the tool has not read yet.
        stats = simStats(sim);
        streamSeconds = t.nsecsElapsed() * 1e-9;
        if (Fields(stats).at("sent") >= static_cast<double>(c.count))
            break;
        QThread::msleep(20);
    }
    // What the port holds as the simulator writes its last frame.
    const double unreadAtStreamEnd
        = Fields(host.ask("mark", QRegularExpression(QStringLiteral("^unread=.*")), 5000).captured(0).toLatin1()).at("unread");
    // Rows still to come: wait until all are there or nothing moves for 2 s.
    long long last = -1;
    QElapsedTimer still;
    still.start();
    while (watcher.count() < c.count && still.elapsed() < 2000) {
        if (watcher.count() != last) {
            last = watcher.count();
            still.restart();
        }
        QThread::msleep(20);
    }
    const QByteArray result = host.ask("stop", QRegularExpression(QStringLiteral("^result .*"))).captured(0).toLatin1();
    const QString series = host.waitLine(QRegularExpression(QStringLiteral("^backlog_series.*")), 0, 5000).captured(0);
    if (qEnvironmentVariableIsSet("KORVANE_BENCH_VERBOSE"))
        std::printf("    %s\n", qPrintable(series));
    watcher.stop();
    host.waitExit(5000);
    stats = simStats(sim);
    sim.command("quit");
    sim.waitExit(3000);
    if (result.isEmpty() || stats.isEmpty()) {
        std::fprintf(stderr, "no result from the host or no stats from the simulator (stream %.1f s)\n", streamSeconds);
        return false;
    }

    const Fields r(result);
    // Descriptors that differ before and after, named, for a reader to judge.
    for (const QByteArray& part : result.split(' ')) {
        if ((part.startsWith("fds_gone=") || part.startsWith("fds_new=")) && !part.endsWith("=-"))
            std::printf("    descriptors %s\n", part.constData());
    }
    const Fields s(stats);
    const std::vector<SeenRow>& rows = watcher.result();
    const auto delivered = static_cast<long long>(rows.size());

    // Sent times by sequence number.
    std::vector<qint64> sentNs(static_cast<std::size_t>(c.count), -1);
    QFile stampFile(stamps);
    if (stampFile.open(QIODevice::ReadOnly)) {
        while (!stampFile.atEnd()) {
            const QList<QByteArray> f = stampFile.readLine().trimmed().split(' ');
            if (f.size() == 2) {
                const long long seq = f[0].toLongLong();
                if (seq >= 0 && seq < c.count)
                    sentNs[static_cast<std::size_t>(seq)] = f[1].toLongLong();
            }
        }
    }
    // The simulator's own hold-ups: a gap in its writes longer than 20 ms
    // is made up by a burst, which on a line at the poll's ceiling leaves a
    // standing backlog behind (the poll never reads more than its ceiling).
    long long senderStalls = 0;
    qint64 senderMaxGapNs = 0;
    for (std::size_t i = 1; i < sentNs.size(); ++i) {
        if (sentNs[i] < 0 || sentNs[i - 1] < 0)
            continue;
        const qint64 gap = sentNs[i] - sentNs[i - 1];
        senderMaxGapNs = std::max(senderMaxGapNs, gap);
        if (gap > 20000000)
            ++senderStalls;
    }
    std::vector<double> latencies;
    latencies.reserve(rows.size());
    long long outOfOrder = 0;
    for (std::size_t k = 0; k < rows.size(); ++k) {
        if (!rows[k].inOrder)
            ++outOfOrder;
        if (k < sentNs.size() && sentNs[k] >= 0)
            latencies.push_back(static_cast<double>(rows[k].seenNs - sentNs[k]) * 1e-6);
    }
    std::sort(latencies.begin(), latencies.end());

    const double cpu = r.at("cpu");
    const double wall = r.at("wall");
    const QString k = c.key;
    auto add = [&](const char* key, const QString& label, const char* unit, double v) {
        sheet.add(k + QLatin1Char('_') + QLatin1String(key), c.label + QStringLiteral(": ") + label, QLatin1String(unit), v);
    };
    add("offered", QStringLiteral("frames offered"), "frames", static_cast<double>(c.count));
    add("sent", QStringLiteral("frames the simulator wrote"), "frames", s.at("sent"));
    add("delivered", QStringLiteral("frames delivered (log rows)"), "frames", static_cast<double>(delivered));
    add("delivered_share", QStringLiteral("delivered / offered"), "%", 100.0 * static_cast<double>(delivered) / static_cast<double>(c.count));
    add("acks", QStringLiteral("ACKs the simulator received"), "replies", s.at("acks"));
    add("out_of_order", QStringLiteral("rows not in the simulator's order"), "rows", static_cast<double>(outOfOrder));
    add("stream_s", QStringLiteral("stream duration"), "s", streamSeconds);
    add("unread_stream_end", QStringLiteral("bytes unread as the last frame is written"), "bytes", unreadAtStreamEnd);
    add("unread_end", QStringLiteral("bytes unread at the end"), "bytes", r.at("unread"));
    add("backlog_max", QStringLiteral("bytes unread, highest 1 s sample"), "bytes", r.at("backlog_max"));
    add("backlog_last", QStringLiteral("bytes unread, last 1 s sample"), "bytes", r.at("backlog_last"));
    add("sender_stalls", QStringLiteral("simulator write gaps over 20 ms"), "gaps", static_cast<double>(senderStalls));
    add("sender_max_gap_ms", QStringLiteral("simulator's longest write gap"), "ms", senderMaxGapNs * 1e-6);
    add("cpu_us_per_frame", QStringLiteral("tool CPU per frame"), "us/frame", delivered ? cpu * 1e6 / static_cast<double>(delivered) : 0);
    add("cpu_percent", QStringLiteral("tool CPU, % of one core"), "%", 100.0 * cpu / wall);
    add("latency_p50_ms", QStringLiteral("latency to the log, p50"), "ms", BenchFigures::percentile(latencies, 0.50));
    add("latency_p99_ms", QStringLiteral("latency to the log, p99"), "ms", BenchFigures::percentile(latencies, 0.99));
    add("latency_max_ms", QStringLiteral("latency to the log, max"), "ms", latencies.empty() ? 0 : latencies.back());
    add("rss_start_mib", QStringLiteral("resident memory at start"), "MiB", r.at("rss0") / 1048576.0);
    add("rss_end_mib", QStringLiteral("resident memory at the end"), "MiB", r.at("rss1") / 1048576.0);
    add("rss_growth_kib", QStringLiteral("resident memory growth, start to end"), "KiB", (r.at("rss1") - r.at("rss0")) / 1024.0);
    if (soak && r.at("rss10s") > 0)
        add("rss_growth_after_10s_kib", QStringLiteral("resident memory growth, 10 s in to end"), "KiB", (r.at("rss1") - r.at("rss10s")) / 1024.0);
    add("fds_before", QStringLiteral("open descriptors before opening the link"), "fds", r.at("fds_before"));
    add("fds_after", QStringLiteral("open descriptors after closing it"), "fds", r.at("fds_after"));
    add("files_before", QStringLiteral("descriptors other than eventfds, before"), "fds", r.at("files_before"));
    add("files_after", QStringLiteral("descriptors other than eventfds, after"), "fds", r.at("files_after"));
    add("threads_before", QStringLiteral("threads before (one eventfd each)"), "threads", r.at("threads_before"));
    add("threads_after", QStringLiteral("threads after"), "threads", r.at("threads_after"));

    std::printf("    %s: delivered %lld/%lld, cpu %.2f%% (%.2f us/frame), p99 %.2f ms, unread %d at stream end, "
                "sender gaps > 20 ms: %lld\n",
                qPrintable(c.label), delivered, c.count, 100.0 * cpu / wall,
                delivered ? cpu * 1e6 / static_cast<double>(delivered) : 0.0, BenchFigures::percentile(latencies, 0.99),
                static_cast<int>(unreadAtStreamEnd), senderStalls);
    std::fflush(stdout);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    Paths paths;
    QString out;
    bool soak = false;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--sim") && i + 1 < args.size())
            paths.sim = QFileInfo(args[++i]).absoluteFilePath(); // they start in a scratch folder
        else if (args[i] == QLatin1String("--host") && i + 1 < args.size())
            paths.host = QFileInfo(args[++i]).absoluteFilePath();
        else if (args[i] == QLatin1String("--out") && i + 1 < args.size())
            out = args[++i];
        else if (args[i] == QLatin1String("--soak"))
            soak = true;
    }
    if (paths.sim.isEmpty() || paths.host.isEmpty()) {
        std::fprintf(stderr, "usage: korvane-bench-live --sim PATH --host PATH [--out FILE] [--soak]\n");
        return 2;
    }

    const int runs = static_cast<int>(BenchFigures::envCount("KORVANE_BENCH_RUNS", 5));
    const double seconds = BenchFigures::envSeconds("KORVANE_BENCH_SECONDS", 60);
    const long long soakFrames = BenchFigures::envCount("KORVANE_BENCH_SOAK_FRAMES", 1000000);
    const QStringList only = qEnvironmentVariable("KORVANE_BENCH_CASES").split(QLatin1Char(','), Qt::SkipEmptyParts);

    std::vector<Case> cases;
    if (soak) {
        cases.push_back({QStringLiteral("soak"), QStringLiteral("soak, 4-byte frames at 2500/s"), 2500, 0, soakFrames});
    } else {
        auto count = [&](int rate) { return static_cast<long long>(rate * seconds + 0.5); };
        const std::vector<Case> all{
            {QStringLiteral("live960"), QStringLiteral("960/s 4-byte"), 960, 0, count(960)},
            {QStringLiteral("live960h"), QStringLiteral("960/s 4-byte, history following"), 960, 0, count(960), true},
            {QStringLiteral("live225"), QStringLiteral("225/s 17-byte"), 225, 13, count(225)},
            {QStringLiteral("live2500"), QStringLiteral("2500/s 4-byte"), 2500, 0, count(2500)},
        };
        for (const Case& c : all) {
            if (only.isEmpty() || only.contains(QString::number(c.rate)))
                cases.push_back(c);
        }
    }

    BenchFigures::Sheet sheet(soak ? QStringLiteral("soak") : QStringLiteral("live"));
    for (const Case& c : cases) {
        std::printf("%s: %d runs of %lld frames at %d/s\n", qPrintable(c.label), runs, c.count, c.rate);
        std::fflush(stdout);
        int failures = 0;
        for (int run = 0; run < runs; ++run) {
            if (!runOnce(paths, c, soak, sheet)) {
                if (++failures > 2)
                    return 1;
                --run;
            }
        }
    }
    sheet.note(QStringLiteral("seconds_per_case"), seconds);
    sheet.note(QStringLiteral("runs"), runs);
    sheet.print();
    if (!out.isEmpty() && !sheet.write(out))
        return 1;
    return 0;
}
