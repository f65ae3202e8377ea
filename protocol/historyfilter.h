#pragma once
// Which rows of a history to show: combined conditions on type, verdict,
// direction, data pattern and time, kept as one bit per row (with a rank
// table, so the n-th shown row is found at once), and extended as the index
// grows. Also the search for a pattern and the figures of a set of rows.

#include "framepattern.h"
#include "historyindex.h"

#include <bitset>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

namespace History {

// Verdict bits; a frame has "good" or "bad" by its checksum, and "ACK",
// "NAK" or "no reply" by what the other side answered (a traffic log's rows
// have neither reply, nor "no reply").
enum Verdict : unsigned {
    VerdictGood = 1,
    VerdictBad = 2,
    VerdictAck = 4,
    VerdictNak = 8,
    VerdictNoReply = 16,
    VerdictMalformed = 32, // malformed and noise rows
    AnyVerdict = 63,
};
enum DirectionBits : unsigned { DirectionReceived = 1, DirectionSent = 2, AnyDirection = 3 };

struct FilterSpec
{
    std::bitset<256> types = std::bitset<256>().set(); // types shown; malformed rows count as shown types
    unsigned verdicts = AnyVerdict;                   // a row is shown when it has any of these
    unsigned directions = AnyDirection;
    FramePattern pattern;                             // empty: any data
    std::int64_t fromUs = INT64_MIN;                  // offsetUs range, both ends included
    std::int64_t toUs = INT64_MAX;

    // Everything shown: no need to keep a bit per row.
    bool all() const;
    // Whether one row is shown; the pattern is tried on rows the other
    // conditions keep only, as it needs the row decoded.
    bool accepts(const HistoryIndex& index, std::size_t row) const;
};

// The verdict bits of an entry.
unsigned verdictsOf(const Entry& entry);

class HistoryFilter
{
public:
    static constexpr std::size_t None = static_cast<std::size_t>(-1);

    explicit HistoryFilter(FilterSpec wanted = FilterSpec());
    const FilterSpec& wanted() const { return m_spec; }

    // Tests the rows the index gained since the last call, for about budgetNs
    // (-1: all of them). True when every row of the index is tested.
    bool update(const HistoryIndex& index, std::int64_t budgetNs = -1);
    // Forgets all rows (after the index was truncated).
    void reset();

    std::size_t rowsTested() const { return m_tested; }
    // Rows shown so far.
    std::size_t count() const;
    // The index row of the n-th shown row.
    std::size_t row(std::size_t shown) const;
    // Whether an index row is shown.
    bool shows(std::size_t row) const { return m_all ? row < m_count : row < m_tested && ((m_bits[row / 64] >> (row & 63)) & 1); }
    // Where an index row is among the shown ones, or None.
    std::size_t shownAt(std::size_t row) const;
    // The first shown row at or after an index row, None when there is none
    // (go to a time lands on a shown row).
    std::size_t nextShown(std::size_t row) const;
    std::size_t memoryBytes() const;

private:
    FilterSpec m_spec;
    bool m_all;
    std::size_t m_tested = 0;
    std::vector<std::uint64_t> m_bits;  // one per tested row
    std::vector<std::uint32_t> m_rank;  // rows shown before each 512 rows
    std::size_t m_count = 0;
};

// Rows to count or export: the rows a filter shows (all rows without one),
// or, when ranges are given, those of its shown rows (positions among the
// shown ones, both ends included: the table's selection).
struct RowSet
{
    const HistoryFilter* filter = nullptr;
    std::vector<std::pair<std::size_t, std::size_t>> ranges;

    // Calls visit(indexRow) for each row in order until it returns false.
    void forEach(const HistoryIndex& index, const std::function<bool(std::size_t)>& visit) const;
};

// The next row after `from` (before it, going back) whose data match the
// pattern, among the rows the filter shows (all rows without one); None
// when there is none. Searches at most the whole index once.
std::size_t find(const HistoryIndex& index, const FramePattern& pattern, std::size_t from, bool forward,
                 const HistoryFilter* within = nullptr);

struct Stats
{
    std::size_t count = 0;
    std::int64_t firstUs = 0;       // offsetUs of the first and last row
    std::int64_t lastUs = 0;
    double framesPerSecond = 0;     // count-1 gaps over the span; 0 for fewer than two rows or no span
};
Stats stats(const HistoryIndex& index, const RowSet& rows);

} // namespace History
