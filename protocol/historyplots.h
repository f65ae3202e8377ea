#pragma once
// The figures under the history's table, counted in one pass over the
// entries (no row is decoded), so their time stays bounded on ten million
// rows: frames per second over time by type, the gaps between frames, and
// the rate of bad frames and NAKs over time.

#include "historyfilter.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace History {

struct PlotData
{
    static constexpr std::size_t MaxSeries = 6; // the most frequent types; the rest is "other"

    std::int64_t fromUs = 0;   // offsetUs of the first bucket's start
    std::int64_t bucketUs = 1; // each bucket's width
    // Types of the series, most frequent first; the last series (index
    // types.size()) is every other type.
    std::vector<std::uint8_t> types;
    struct Bucket
    {
        std::array<std::uint32_t, MaxSeries + 1> byType{}; // frames per series
        std::uint32_t frames = 0;
        std::uint32_t bad = 0;   // bad checksum
        std::uint32_t naks = 0;  // answered NAK
        std::size_t firstRow = 0; // the bucket's first row, for a click on it
    };
    std::vector<Bucket> buckets;

    // Gaps between one frame and the next: bin i holds gaps below
    // gapUpperUs[i] (and at least the bin before's); the last bin has no
    // upper bound.
    std::vector<std::int64_t> gapUpperUs;
    std::vector<std::uint64_t> gapCounts;
    std::vector<std::size_t> gapFirstRow; // the later frame of a bin's first gap, for a click

    // Frames per second in a bucket.
    double rate(std::uint32_t count) const { return bucketUs > 0 ? count * 1e6 / double(bucketUs) : 0; }
};

// Over the rows a filter shows (all rows without one), at most `buckets`
// buckets across their time span; malformed and noise rows are not frames.
PlotData plotData(const HistoryIndex& index, const HistoryFilter* filter = nullptr, std::size_t buckets = 600);

} // namespace History
