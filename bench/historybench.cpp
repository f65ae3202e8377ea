// The history's index over ten million frames:
//
//   korvane-bench-history [--out FILE] [--dir DIR]
//
// Writes a traffic log of FRAMES good received frames (the window's rows)
// and a capture of FRAMES packets, each a frame one way with the reply to
// the other way's last frame in front of it, through the shared writers;
// then, RUNS times each, opens and indexes them as the history window does
// (20 ms slices) and times: the first rows (open, the first slice, the first
// 50 rows decoded), the whole index, a filter by type and one by verdict
// (NAK), and the anonymous memory the index added per frame (RssAnon, so the
// mapped file's pages do not count; the heap trimmed before each run). The files are read from the page cache
// (just written), as they are when the window opens its own record.
//
// FRAMES: KORVANE_BENCH_HISTORY_FRAMES, default 10,000,000; RUNS:
// KORVANE_BENCH_RUNS, default 5. The files go to DIR (default: a temporary
// folder) and are removed at the end.

#include "benchfigures.h"
#include "historyfiles.h"
#include "historyfilter.h"
#include "monoclock.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <malloc.h>
#include <string>

namespace {

double msSince(std::int64_t startNs)
{
    return double(SimClock::monotonicNs() - startNs) / 1e6;
}

bool measure(const std::string& path, const QString& key, const QString& what, BenchFigures::Sheet& sheet)
{
    // What the last run freed goes back to the system, or this run would
    // grow into it unseen.
    malloc_trim(0);
    const double before = BenchFigures::rssAnonBytes();
    History::HistoryIndex index;
    std::string error;
    const std::int64_t start = SimClock::monotonicNs();
    if (!index.open(path, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return false;
    }
    History::HistoryIndex::Progress progress = index.indexMore();
    History::Row row;
    for (std::size_t i = 0; i < 50 && i < index.size(); ++i)
        index.row(i, row);
    const double first = msSince(start);
    while (!progress.done)
        progress = index.indexMore();
    const double whole = msSince(start);
    const double perFrame = (BenchFigures::rssAnonBytes() - before) / double(index.size());

    History::FilterSpec byType;
    byType.types.reset();
    byType.types.set(3);
    std::int64_t at = SimClock::monotonicNs();
    History::HistoryFilter typeFilter(byType);
    typeFilter.update(index);
    const double typeMs = msSince(at);
    History::FilterSpec byVerdict;
    byVerdict.verdicts = History::VerdictNak;
    at = SimClock::monotonicNs();
    History::HistoryFilter verdictFilter(byVerdict);
    verdictFilter.update(index);
    const double verdictMs = msSince(at);
    const History::RowSet all;
    const double rowsPerSecond = History::stats(index, all).framesPerSecond;

    std::printf("%s: %zu rows, %zu of type 03, %zu NAKed (%.0f frames/s)\n", qPrintable(what), index.size(),
                typeFilter.count(), verdictFilter.count(), rowsPerSecond);
    sheet.add(key + QStringLiteral("_first_rows_ms"), what + QStringLiteral(": first rows"), QStringLiteral("ms"), first);
    sheet.add(key + QStringLiteral("_index_s"), what + QStringLiteral(": whole index"), QStringLiteral("s"), whole / 1000);
    sheet.add(key + QStringLiteral("_filter_type_ms"), what + QStringLiteral(": filter by type"), QStringLiteral("ms"), typeMs);
    sheet.add(key + QStringLiteral("_filter_verdict_ms"), what + QStringLiteral(": filter by verdict (NAK)"),
              QStringLiteral("ms"), verdictMs);
    sheet.add(key + QStringLiteral("_bytes_per_frame"), what + QStringLiteral(": memory beyond the map"),
              QStringLiteral("B/frame"), perFrame);
    return index.size() > 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const HistoryFiles::Options options = HistoryFiles::Options::fromArguments(app.arguments());
    const std::uint64_t frames = options.frames;
    QTemporaryDir work(options.folderPattern(QStringLiteral("korvane-history")));
    if (!work.isValid()) {
        std::fprintf(stderr, "cannot make a folder for the files\n");
        return 1;
    }
    const std::string log = work.filePath(QStringLiteral("Korvane_data-bench.csv")).toStdString();
    const std::string capture = work.filePath(QStringLiteral("bench.pcapng")).toStdString();
    std::int64_t at = SimClock::monotonicNs();
    if (!HistoryFiles::writeLog(log, frames) || !HistoryFiles::writeCapture(capture, frames))
        return 1;
    std::printf("wrote %llu rows and %llu packets in %.1f s (%lld + %lld MB)\n", static_cast<unsigned long long>(frames),
                static_cast<unsigned long long>(frames), msSince(at) / 1000,
                static_cast<long long>(QFile(QString::fromStdString(log)).size() >> 20),
                static_cast<long long>(QFile(QString::fromStdString(capture)).size() >> 20));

    BenchFigures::Sheet sheet(QStringLiteral("history"));
    sheet.note(QStringLiteral("history_frames"), static_cast<double>(frames));
    for (int run = 0; run < options.runs; ++run) {
        if (!measure(log, QStringLiteral("history_log"), QStringLiteral("traffic log"), sheet)
            || !measure(capture, QStringLiteral("history_pcap"), QStringLiteral("capture"), sheet))
            return 1;
    }
    sheet.print();
    return options.out.isEmpty() || sheet.write(options.out) ? 0 : 1;
}
