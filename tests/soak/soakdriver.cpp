// The soak: a long stream of frames from korvane-sim over a pseudo-terminal
// into the real window (korvane-window-host, the window run as the tool's
// main() runs it, clicking `open` on COM1), with a share of bad checksums and
// runs of noise between frames. While it runs, every new row of the traffic
// log is checked against the frame it must come from, and the tool's memory
// and descriptors are sampled. At the end:
//
//   rows written == good frames sent, in order and byte for byte;
//   the device got exactly one 0xFF per good frame and one 0xF0 per bad one;
//   resident memory and descriptors of the tool stayed flat (RSS within a
//   margin of its size after warm-up; descriptors in the second half of the
//   run never above the first half's most).
//
//   korvane-soak --host PATH --sim PATH
//   SOAK_FRAMES (1000000), SOAK_RATE frames/s (1000), SOAK_BAD_SHARE (0.1),
//   SOAK_NOISE_SHARE (0.1), SOAK_RSS_MARGIN_KB (4096)
//
// Exit status 0 when every check holds, 1 when one does not, 2 on a setup
// failure.

#include "testsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cmath>

namespace {

struct Options
{
    QString host;
    QString sim;
    qint64 frames = 1000000;
    double rate = 1000;
    double badShare = 0.1;
    double noiseShare = 0.1;
    qint64 rssMarginKb = 4096;
};

double envDouble(const char* name, double fallback)
{
    bool ok = false;
    const double v = qEnvironmentVariable(name).toDouble(&ok);
    return ok ? v : fallback;
}

void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void say(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::putchar('\n');
    std::fflush(stdout);
}

// The frames the simulator sends, in its order: the two templates in turn,
// the sequence number in data bytes 0..3, and exactly floor(n * share) bad
// ones spread by error diffusion, as korvane-sim --bad-share does.
class Expectation
{
public:
    Expectation(qint64 total, double badShare)
        : count(total), badPpm(std::llround(badShare * 1e6))
    {
    }

    // Moves to the next good frame; false when none is left.
    bool nextGood()
    {
        while (seq + 1 < count) {
            ++seq;
            accumulator += badPpm;
            if (accumulator >= 1000000) {
                accumulator -= 1000000;
                ++bad;
                continue;
            }
            return true;
        }
        return false;
    }
    qint64 sequence() const { return seq; }
    int type() const { return seq % 2 == 0 ? 0x01 : 0x7F; }
    QByteArray data() const
    {
        QByteArray d;
        const auto s = static_cast<quint32>(seq);
        d.append(char(s >> 24)).append(char(s >> 16)).append(char(s >> 8)).append(char(s));
        if (seq % 2 != 0)
            d.append('\x2E');
        return d;
    }

    static qint64 goodIn(qint64 total, double badShare)
    {
        Expectation e(total, badShare);
        qint64 good = 0;
        while (e.nextGood())
            ++good;
        return good;
    }

private:
    qint64 count;
    qint64 badPpm;
    qint64 seq = -1;
    qint64 accumulator = 0;
    qint64 bad = 0;
};

// Checks the log's rows as they arrive.
class LogChecker
{
public:
    LogChecker(const QString& path, qint64 frames, double badShare) : file(path), expect(frames, badShare) {}

    // Reads what has been added since the last call.
    void poll()
    {
        if (!file.isOpen() && !file.open(QIODevice::ReadOnly))
            return;
        pending += file.readAll();
        int start = 0;
        for (;;) {
            const int nl = int(pending.indexOf('\n', start));
            if (nl < 0)
                break;
            take(pending.mid(start, nl - start));
            start = nl + 1;
        }
        pending.remove(0, start);
    }

    qint64 rows = 0;
    qint64 headerLines = 0;
    qint64 mismatches = 0;
    QString firstMismatch;
    bool trailingPartial() const { return !pending.isEmpty(); }

private:
    void take(const QByteArray& line)
    {
        if (headerLines < 7) {
            ++headerLines;
            return;
        }
        TestSupport::LogRow row;
        QString problem;
        if (!TestSupport::parseRow(line, &row)) {
            problem = QStringLiteral("not a whole row");
        } else if (!expect.nextGood()) {
            problem = QStringLiteral("more rows than good frames");
        } else if (row.type != expect.type() || row.data != expect.data()) {
            problem = QStringLiteral("expected frame %1").arg(expect.sequence());
        } else if (row.index != rows + 2) { // [1] is the status line of the open
            problem = QStringLiteral("index %1, expected %2").arg(row.index).arg(rows + 2);
        }
        ++rows;
        if (!problem.isEmpty()) {
            if (mismatches++ == 0)
                firstMismatch = QStringLiteral("row %1 \"%2\": %3").arg(rows).arg(QString::fromLatin1(line), problem);
        }
    }

    QFile file;
    QByteArray pending;
    Expectation expect;
};

struct Stats
{
    qint64 sent = -1, sentBad = -1, noise = -1, acks = -1, naks = -1;
};

Stats statsOf(const QMap<QString, qint64>& fields)
{
    auto field = [&fields](const char* name) { return fields.value(QLatin1String(name), -1); };
    return {field("sent"), field("sent_bad"), field("noise_bytes"), field("acks"), field("naks")};
}

int run(const Options& o)
{
    QTemporaryDir base;
    if (!base.isValid())
        return 2;
    const QString work = base.filePath(QStringLiteral("work"));
    const QString config = base.filePath(QStringLiteral("config"));
    QDir().mkpath(work);
    QDir().mkpath(config + QStringLiteral("/korvane/ports"));

    const qint64 expectedGood = Expectation::goodIn(o.frames, o.badShare);
    const qint64 expectedBad = o.frames - expectedGood;
    say("soak: %lld frames at %.0f frames/s (about %.0f s), bad share %.3f, noise share %.3f",
        o.frames, o.rate, double(o.frames) / o.rate, o.badShare, o.noiseShare);

    TestSupport::Child sim;
    sim.environment().insert(QStringLiteral("XDG_CONFIG_HOME"), config);
    const QStringList simArgs = {
        QStringLiteral("--serial"), QStringLiteral("COM1"),
        QStringLiteral("--rate"), QString::number(o.rate),
        QStringLiteral("--count"), QString::number(o.frames),
        QStringLiteral("--bad-share"), QString::number(o.badShare),
        QStringLiteral("--noise-share"), QString::number(o.noiseShare),
        QStringLiteral("--noise-max"), QStringLiteral("8"),
        QStringLiteral("--frame"), QStringLiteral("01 00 00 00 00"),
        QStringLiteral("--frame"), QStringLiteral("7F 00 00 00 00 2E"),
        QStringLiteral("--number"), QStringLiteral("--quiet"), QStringLiteral("--stay")};
    if (!sim.start(o.sim, simArgs, work) || !sim.waitLine(QRegularExpression(QStringLiteral("^ready "))).hasMatch()) {
        say("soak: korvane-sim did not start");
        return 2;
    }
    TestSupport::Child tool;
    tool.environment().insert(QStringLiteral("XDG_CONFIG_HOME"), config);
    if (!tool.start(o.host, {QStringLiteral("--open-serial"), QStringLiteral("1")}, work)
        || !tool.waitLine(QRegularExpression(QStringLiteral("^open 1$")), 0, 20000).hasMatch()) {
        say("soak: the tool did not open COM1");
        return 2;
    }
    const qint64 pid = tool.process().processId();

    LogChecker checker(work + QStringLiteral("/Korvane_data.csv"), o.frames, o.badShare);
    QElapsedTimer clock;
    clock.start();
    qint64 lastRows = 0;
    qint64 lastProgressMs = 0;
    qint64 lastReportMs = 0;
    qint64 lastSampleMs = -10000;
    qint64 rssWarm = -1, rssMin = -1, rssMax = -1, rssLast = -1;
    int fdsMin = -1, fdsMax = -1;
    // The toolkit's worker threads come and go with a descriptor or two of
    // their own; a leak shows as a second half that goes above the first.
    int fdsFirstHalfMax = -1, fdsSecondHalfMax = -1;
    const qint64 warmRows = qMax<qint64>(1000, expectedGood / 50);
    bool stalled = false;

    while (checker.rows < expectedGood) {
        QThread::msleep(500);
        checker.poll();
        const qint64 now = clock.elapsed();
        if (tool.process().state() == QProcess::NotRunning) {
            say("soak: the tool ended early (exit status %d)", tool.process().exitCode());
            break;
        }
        if (checker.rows != lastRows) {
            lastRows = checker.rows;
            lastProgressMs = now;
        } else if (now - lastProgressMs > 60000) {
            stalled = true;
            say("soak: no new row for 60 s");
            break;
        }
        if (now - lastSampleMs >= 10000 && checker.rows >= warmRows) {
            lastSampleMs = now;
            const qint64 rss = TestSupport::residentBytes(pid);
            const int fds = TestSupport::descriptorCountOf(pid);
            if (rssWarm < 0)
                rssWarm = rss;
            rssLast = rss;
            rssMin = rssMin < 0 ? rss : qMin(rssMin, rss);
            rssMax = qMax(rssMax, rss);
            fdsMin = fdsMin < 0 ? fds : qMin(fdsMin, fds);
            fdsMax = qMax(fdsMax, fds);
            int& half = checker.rows < (expectedGood + warmRows) / 2 ? fdsFirstHalfMax : fdsSecondHalfMax;
            half = qMax(half, fds);
        }
        if (now - lastReportMs >= 60000) {
            lastReportMs = now;
            say("  %4lld s: %lld of %lld rows, %lld mismatches, tool RSS %.1f MiB, %d descriptors", now / 1000,
                checker.rows, expectedGood, checker.mismatches, double(TestSupport::residentBytes(pid)) / 1048576.0,
                TestSupport::descriptorCountOf(pid));
        }
    }
    const double seconds = double(clock.elapsed()) / 1000.0;

    // Every reply has reached the device once the counts add up.
    Stats stats;
    QElapsedTimer settle;
    settle.start();
    for (;;) {
        stats = statsOf(sim.stats());
        if (stats.acks + stats.naks >= o.frames || stalled || settle.elapsed() > 30000)
            break;
        QThread::msleep(200);
    }

    // An orderly stop, as from a terminal: the tool must exit with 0.
    ::kill(static_cast<pid_t>(pid), SIGTERM);
    const bool exited = tool.process().waitForFinished(30000);
    const bool cleanExit = exited && tool.process().exitStatus() == QProcess::NormalExit && tool.process().exitCode() == 0;
    checker.poll();
    const Stats final = statsOf(TestSupport::Child::parseStats(sim.ask("quit", QRegularExpression(QStringLiteral("^stats .*"))).captured(0)));
    sim.process().waitForFinished(10000);
    if (final.sent >= 0)
        stats = final;

    const qint64 rssGrowthKb = rssWarm >= 0 ? (rssLast - rssWarm) / 1024 : 0;
    say("soak figures (%.0f s, %.0f frames/s):", seconds, double(stats.sent) / seconds);
    say("  frames sent        %lld (bad %lld, expected %lld; noise bytes %lld)", stats.sent, stats.sentBad, expectedBad,
        stats.noise);
    say("  rows written       %lld (good frames %lld)", checker.rows, expectedGood);
    say("  rows not matching  %lld%s%s", checker.mismatches, checker.mismatches ? ", first: " : "",
        qPrintable(checker.firstMismatch));
    say("  device got 0xFF    %lld (expected %lld)", stats.acks, expectedGood);
    say("  device got 0xF0    %lld (expected %lld)", stats.naks, expectedBad);
    say("  tool RSS           %.2f MiB after warm-up, %.2f MiB at the end, min %.2f, max %.2f, growth %lld KiB",
        double(rssWarm) / 1048576.0, double(rssLast) / 1048576.0, double(rssMin) / 1048576.0,
        double(rssMax) / 1048576.0, rssGrowthKb);
    say("  tool descriptors   min %d, max %d; most in the first half %d, in the second %d", fdsMin, fdsMax,
        fdsFirstHalfMax, fdsSecondHalfMax);
    say("  tool exit          %s", cleanExit ? "0 after SIGTERM" : "not clean");

    const bool ok = stats.sent == o.frames && stats.sentBad == expectedBad && checker.rows == expectedGood
        && checker.mismatches == 0 && !checker.trailingPartial() && stats.acks == expectedGood
        && stats.naks == expectedBad && rssWarm > 0 && rssGrowthKb <= o.rssMarginKb && fdsFirstHalfMax > 0
        && fdsSecondHalfMax <= fdsFirstHalfMax
        && cleanExit;
    say("soak: %s", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (qstrcmp(argv[i], "--host") == 0)
            o.host = QString::fromLocal8Bit(argv[i + 1]);
        else if (qstrcmp(argv[i], "--sim") == 0)
            o.sim = QString::fromLocal8Bit(argv[i + 1]);
    }
    if (o.host.isEmpty() || o.sim.isEmpty()) {
        std::fprintf(stderr, "usage: korvane-soak --host PATH --sim PATH\n");
        return 2;
    }
    o.frames = qint64(envDouble("SOAK_FRAMES", double(o.frames)));
    o.rate = envDouble("SOAK_RATE", o.rate);
    o.badShare = envDouble("SOAK_BAD_SHARE", o.badShare);
    o.noiseShare = envDouble("SOAK_NOISE_SHARE", o.noiseShare);
    o.rssMarginKb = qint64(envDouble("SOAK_RSS_MARGIN_KB", double(o.rssMarginKb)));
    if (o.frames <= 0 || o.rate <= 0 || o.badShare < 0 || o.badShare > 1 || o.noiseShare < 0 || o.noiseShare > 1) {
        std::fprintf(stderr, "korvane-soak: SOAK_FRAMES and SOAK_RATE must be positive, shares within 0..1\n");
        return 2;
    }
    return run(o);
}
