// Two passes over the entries: the types and time span first, then the
// buckets and gaps.
#include "historyplots.h"

#include <algorithm>

namespace History {

namespace {

// Gap bins on a 1-2-5 ladder from 100 us to a minute, then one for longer.
std::vector<std::int64_t> gapLadder()
{
    std::vector<std::int64_t> upper;
    for (std::int64_t decade = 100; decade <= 10000000; decade *= 10) {
        for (std::int64_t step : {1, 2, 5})
            upper.push_back(decade * step);
    }
    upper.push_back(60000000);
    upper.push_back(INT64_MAX);
    return upper;
}

} // namespace

PlotData plotData(const HistoryIndex& index, const HistoryFilter* filter, std::size_t buckets)
{
    PlotData plot;
    RowSet rows;
    rows.filter = filter;
    std::uint64_t perType[256] = {};
    std::int64_t first = INT64_MAX;
    std::int64_t last = INT64_MIN;
    rows.forEach(index, [&](std::size_t row) {
        const Entry entry = index.entry(row);
        if (entry.kind() == Kind::Frame) {
            ++perType[entry.type()];
            first = std::min(first, entry.offsetUs());
            last = std::max(last, entry.offsetUs());
        }
        return true;
    });
    plot.gapUpperUs = gapLadder();
    plot.gapCounts.assign(plot.gapUpperUs.size(), 0);
    plot.gapFirstRow.assign(plot.gapUpperUs.size(), HistoryFilter::None);
    if (first > last || buckets == 0)
        return plot;

    std::vector<int> types(256);
    for (int t = 0; t < 256; ++t)
        types[static_cast<std::size_t>(t)] = t;
    std::stable_sort(types.begin(), types.end(), [&](int a, int b) { return perType[a] > perType[b]; });
    std::uint8_t series[256];
    std::fill(std::begin(series), std::end(series), static_cast<std::uint8_t>(PlotData::MaxSeries));
    for (std::size_t i = 0; i < PlotData::MaxSeries && perType[types[i]] > 0; ++i) {
        plot.types.push_back(static_cast<std::uint8_t>(types[i]));
        series[types[i]] = static_cast<std::uint8_t>(i);
    }
    // The "other" series follows the named ones.
    for (auto& s : series) {
        if (s == PlotData::MaxSeries)
            s = static_cast<std::uint8_t>(plot.types.size());
    }

    plot.fromUs = first;
    const std::int64_t span = last - first + 1;
    plot.bucketUs = std::max<std::int64_t>(1, (span + static_cast<std::int64_t>(buckets) - 1) / static_cast<std::int64_t>(buckets));
    plot.buckets.resize(static_cast<std::size_t>((span + plot.bucketUs - 1) / plot.bucketUs));
    for (auto& bucket : plot.buckets)
        bucket.firstRow = HistoryFilter::None;
    std::int64_t previous = INT64_MIN;
    rows.forEach(index, [&](std::size_t row) {
        const Entry entry = index.entry(row);
        if (entry.kind() != Kind::Frame)
            return true;
        const std::int64_t us = entry.offsetUs();
        auto& bucket = plot.buckets[static_cast<std::size_t>((us - first) / plot.bucketUs)];
        if (bucket.frames++ == 0)
            bucket.firstRow = row;
        ++bucket.byType[series[entry.type()]];
        bucket.bad += !entry.good();
        bucket.naks += entry.reply() == Reply::Nak;
        if (previous != INT64_MIN) {
            const std::int64_t gap = std::max<std::int64_t>(0, us - previous);
            const auto bin = static_cast<std::size_t>(
                std::upper_bound(plot.gapUpperUs.begin(), plot.gapUpperUs.end() - 1, gap) - plot.gapUpperUs.begin());
            if (plot.gapCounts[bin]++ == 0)
                plot.gapFirstRow[bin] = row;
        }
        previous = us;
        return true;
    });
    return plot;
}

} // namespace History
