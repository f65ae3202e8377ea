#include "historyfiles.h"

#include "benchfigures.h"
#include "linkframe.h"
#include "monitorlog.h"
#include "monoclock.h"
#include "pcapngwriter.h"

#include <QDir>

#include <cstdio>
#include <vector>

namespace HistoryFiles {

namespace {

// Type cycles 01..08, data 4 bytes, every 10th frame NAKed (and its
// checksum bad), 1 ms apart.
std::vector<std::uint8_t> frameBytes(std::uint64_t n)
{
    const std::uint8_t data[] = {std::uint8_t(n), std::uint8_t(n >> 8), std::uint8_t(n >> 16), 0x0A};
    std::vector<std::uint8_t> bytes(sizeof data + LinkFrame::Overhead);
    LinkFrame::encode(static_cast<std::uint8_t>(1 + n % 8), sizeof data, data, bytes.data());
    if (n % 10 == 7)
        bytes.back() = static_cast<std::uint8_t>(bytes.back() + 1);
    return bytes;
}

constexpr std::int64_t BaseNs = 1772366400LL * 1000000000;

} // namespace

bool writeLog(const std::string& path, std::uint64_t frames)
{
    MonitorLog log;
    std::string error;
    if (!log.open(path, error, false)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return false;
    }
    ReceivedFrame frame;
    for (std::uint64_t n = 0; n < frames; ++n) {
        std::vector<std::uint8_t> bytes = frameBytes(n);
        bytes.back() = LinkFrame::checksum(bytes[1], bytes[2], bytes.data() + 3, bytes[2]); // the log holds good frames
        frame.startWallNs = BaseNs + std::int64_t(n) * 1000000;
        frame.type = bytes[1];
        frame.len = bytes[2];
        frame.data.assign(bytes.begin() + 3, bytes.end() - 1);
        frame.checksum = bytes.back();
        frame.good = true;
        log.row(frame, n + 1, nullptr);
        if (n % 1024 == 1023 && !log.flush())
            return false;
    }
    log.drain(SimClock::monotonicNs() + 600000000000LL);
    return log.flush();
}

bool writeCapture(const std::string& path, std::uint64_t packets)
{
    PcapngWriter capture;
    std::string error;
    if (!capture.open(path, "bench", error, "korvane-bench-history", "korvane-bench")) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return false;
    }
    for (std::uint64_t n = 0; n < packets; ++n) {
        std::vector<std::uint8_t> bytes = frameBytes(n);
        if (n > 0)
            bytes.insert(bytes.begin(), (n - 1) % 10 == 7 ? LinkFrame::Nak : LinkFrame::Ack);
        capture.packet(n % 2 ? PcapngWriter::Direction::Outbound : PcapngWriter::Direction::Inbound,
                       BaseNs + std::int64_t(n) * 1000000, bytes.data(), bytes.size());
        if (n % 1024 == 1023 && !capture.flush())
            return false;
    }
    capture.drain(SimClock::monotonicNs() + 600000000000LL);
    return capture.flush();
}

Options Options::fromArguments(const QStringList& args)
{
    Options options;
    for (int i = 1; i + 1 < args.size(); ++i) {
        if (args[i] == QLatin1String("--out"))
            options.out = args[++i];
        else if (args[i] == QLatin1String("--dir"))
            options.dir = args[++i];
    }
    options.frames = static_cast<std::uint64_t>(BenchFigures::envCount("KORVANE_BENCH_HISTORY_FRAMES", 10000000));
    options.runs = static_cast<int>(BenchFigures::envCount("KORVANE_BENCH_RUNS", 5));
    return options;
}

QString Options::folderPattern(const QString& name) const
{
    return (dir.isEmpty() ? QDir::tempPath() : dir) + QLatin1Char('/') + name + QStringLiteral("-XXXXXX");
}

} // namespace HistoryFiles
