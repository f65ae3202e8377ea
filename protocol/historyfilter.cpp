// Filtering works on the entries alone; only a data pattern decodes rows,
// and only those that every other condition keeps.
#include "historyfilter.h"

#include "monoclock.h"

#include <algorithm>

namespace History {

namespace {

constexpr std::size_t RankBits = 9; // a rank every 512 rows
constexpr std::size_t WordsPerRank = (std::size_t(1) << RankBits) / 64;

int popcount(std::uint64_t word)
{
    return __builtin_popcountll(word);
}

int lowestBit(std::uint64_t word)
{
    return __builtin_ctzll(word);
}

// Whether a frame's data match: len must say as many bytes as the row
// holds, as a frame cut after 50 data bytes has more than it shows.
bool dataMatch(const FramePattern& pattern, const Row& row)
{
    return row.kind == Kind::Frame && row.len == row.dataCount()
        && pattern.matchesBytes(row.type, row.data(), row.dataCount());
}

} // namespace

unsigned verdictsOf(const Entry& entry)
{
    if (entry.kind() != Kind::Frame)
        return VerdictMalformed;
    unsigned bits = entry.good() ? VerdictGood : VerdictBad;
    switch (entry.reply()) {
    case Reply::Ack:
        return bits | VerdictAck;
    case Reply::Nak:
        return bits | VerdictNak;
    case Reply::None:
        return bits | VerdictNoReply;
    case Reply::Unknown:
        break;
    }
    return bits;
}

bool FilterSpec::all() const
{
    return types.all() && (verdicts & AnyVerdict) == AnyVerdict && (directions & AnyDirection) == AnyDirection
        && pattern.empty() && fromUs == INT64_MIN && toUs == INT64_MAX;
}

bool FilterSpec::accepts(const HistoryIndex& index, std::size_t row) const
{
    const Entry entry = index.entry(row);
    const bool frame = entry.kind() == Kind::Frame;
    if (!(verdictsOf(entry) & verdicts))
        return false;
    if (!(directions & (entry.direction() == Direction::Sent ? DirectionSent : DirectionReceived)))
        return false;
    if (frame && !types.test(entry.type()))
        return false;
    const std::int64_t us = entry.offsetUs();
    if (us < fromUs || us > toUs)
        return false;
    if (pattern.empty())
        return true;
    if (!frame || !pattern.mayMatchType(entry.type()))
        return false;
    Row decoded;
    return index.rowUnchecked(row, decoded) && dataMatch(pattern, decoded);
}

HistoryFilter::HistoryFilter(FilterSpec wanted)
    : m_spec(std::move(wanted))
    , m_all(m_spec.all())
{
}

void HistoryFilter::reset()
{
    m_tested = 0;
    m_bits.clear();
    m_rank.clear();
    m_count = 0;
}

bool HistoryFilter::update(const HistoryIndex& index, std::int64_t budgetNs)
{
    const std::size_t size = index.size();
    if (m_all) {
        m_tested = m_count = size;
        return true;
    }
    if (!m_spec.pattern.empty() && !index.intact())
        return false;
    const std::int64_t deadline = budgetNs < 0 ? INT64_MAX : SimClock::monotonicNs() + budgetNs;
    while (m_tested < size) {
        const std::size_t stop = std::min(size, (m_tested | 0xFFFF) + 1);
        for (; m_tested < stop; ++m_tested) {
            if ((m_tested & ((std::size_t(1) << RankBits) - 1)) == 0)
                m_rank.push_back(static_cast<std::uint32_t>(m_count));
            if ((m_tested & 63) == 0)
                m_bits.push_back(0);
            if (m_spec.accepts(index, m_tested)) {
                m_bits.back() |= std::uint64_t(1) << (m_tested & 63);
                ++m_count;
            }
        }
        if (SimClock::monotonicNs() >= deadline)
            break;
    }
    return m_tested == size;
}

std::size_t HistoryFilter::count() const
{
    return m_count;
}

std::size_t HistoryFilter::row(std::size_t shown) const
{
    if (m_all)
        return shown < m_count ? shown : None;
    if (shown >= m_count)
        return None;
    // The last rank block that starts at or before the shown row.
    const auto it = std::upper_bound(m_rank.begin(), m_rank.end(), static_cast<std::uint32_t>(shown));
    std::size_t block = static_cast<std::size_t>(it - m_rank.begin()) - 1;
    std::size_t left = shown - m_rank[block];
    for (std::size_t word = block * WordsPerRank; word < m_bits.size(); ++word) {
        std::uint64_t bits = m_bits[word];
        const std::size_t here = static_cast<std::size_t>(popcount(bits));
        if (left >= here) {
            left -= here;
            continue;
        }
        for (; left > 0; --left)
            bits &= bits - 1;
        return word * 64 + static_cast<std::size_t>(lowestBit(bits));
    }
    return None;
}

std::size_t HistoryFilter::shownAt(std::size_t row) const
{
    if (m_all)
        return row < m_count ? row : None;
    if (!shows(row))
        return None;
    const std::size_t block = row >> RankBits;
    std::size_t shown = m_rank[block];
    for (std::size_t word = block * WordsPerRank; word < row / 64; ++word)
        shown += static_cast<std::size_t>(popcount(m_bits[word]));
    return shown + static_cast<std::size_t>(popcount(m_bits[row / 64] & ((std::uint64_t(1) << (row & 63)) - 1)));
}

std::size_t HistoryFilter::nextShown(std::size_t row) const
{
    if (m_all)
        return row < m_count ? row : None;
    for (std::size_t word = row / 64; word < m_bits.size(); ++word) {
        std::uint64_t bits = m_bits[word];
        if (word == row / 64)
            bits &= ~std::uint64_t(0) << (row & 63);
        if (bits)
            return word * 64 + static_cast<std::size_t>(lowestBit(bits));
    }
    return None;
}

std::size_t HistoryFilter::memoryBytes() const
{
    return m_bits.capacity() * sizeof(std::uint64_t) + m_rank.capacity() * sizeof(std::uint32_t);
}

void RowSet::forEach(const HistoryIndex& index, const std::function<bool(std::size_t)>& visit) const
{
    const std::size_t total = filter ? filter->count() : index.size();
    const auto next = [&](std::size_t row) { return filter ? filter->nextShown(row) : row; };
    if (ranges.empty()) {
        std::size_t row = next(0);
        for (std::size_t n = 0; n < total && row != HistoryFilter::None; ++n, row = next(row + 1)) {
            if (!visit(row))
                return;
        }
        return;
    }
    for (const auto& range : ranges) {
        if (range.first >= total)
            continue;
        std::size_t row = filter ? filter->row(range.first) : range.first;
        const std::size_t last = std::min(range.second, total - 1);
        for (std::size_t n = range.first; n <= last && row != HistoryFilter::None; ++n, row = next(row + 1)) {
            if (!visit(row))
                return;
        }
    }
}

std::size_t find(const HistoryIndex& index, const FramePattern& pattern, std::size_t from, bool forward,
                 const HistoryFilter* within)
{
    const std::size_t size = index.size();
    if (size == 0 || !index.intact())
        return HistoryFilter::None;
    std::size_t row;
    if (forward)
        row = from == HistoryFilter::None ? 0 : from + 1;
    else
        row = from == HistoryFilter::None || from > size ? size : from;
    Row decoded;
    while (forward ? row < size : row-- > 0) {
        const Entry entry = index.entry(row);
        const bool candidate = entry.kind() == Kind::Frame && pattern.mayMatchType(entry.type())
            && (!within || within->shows(row));
        if (candidate && index.rowUnchecked(row, decoded) && dataMatch(pattern, decoded))
            return row;
        if (forward)
            ++row;
    }
    return HistoryFilter::None;
}

Stats stats(const HistoryIndex& index, const RowSet& rows)
{
    Stats result;
    rows.forEach(index, [&](std::size_t row) {
        const std::int64_t us = index.entry(row).offsetUs();
        if (result.count++ == 0)
            result.firstUs = us;
        result.lastUs = us;
        return true;
    });
    const std::int64_t span = result.lastUs - result.firstUs;
    if (result.count > 1 && span > 0)
        result.framesPerSecond = double(result.count - 1) * 1e6 / double(span);
    return result;
}

} // namespace History
