#pragma once
// The files the history benchmarks open: a traffic log of good received
// frames (the window's rows) and a capture of packets, each a 4-byte frame
// one way with the reply to the other way's last frame in front of it,
// written through the shared writers. Types cycle 01..08, every tenth frame
// is NAKed (its checksum bad in the capture), 1 ms apart.

#include <QString>
#include <QStringList>

#include <cstdint>
#include <string>

namespace HistoryFiles {

// What both history benchmarks take: --out FILE for the figures, --dir DIR
// for the files (default: the temporary folder); from the environment the
// frames (KORVANE_BENCH_HISTORY_FRAMES, default 10,000,000) and the runs
// (KORVANE_BENCH_RUNS, default 5).
struct Options
{
    QString out;
    QString dir;
    std::uint64_t frames = 0;
    int runs = 0;

    static Options fromArguments(const QStringList& args);
    // A new folder for a run's files under dir, named after the benchmark.
    QString folderPattern(const QString& name) const;
};

bool writeLog(const std::string& path, std::uint64_t frames);
bool writeCapture(const std::string& path, std::uint64_t packets);

} // namespace HistoryFiles
