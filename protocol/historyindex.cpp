// The index over the mapped file: which reader the file wants, the slices
// it is indexed in, and what happens when another program changes it.
#include "historyindex.h"

#include "historyreader.h"
#include "monoclock.h"
#include "pcapngblocks.h"

#include <algorithm>
#include <cstring>

namespace History {

namespace {

constexpr std::size_t RowsPerSlice = 8192;
constexpr std::uint64_t Mask40 = (std::uint64_t(1) << 40) - 1;
constexpr std::uint64_t Mask48 = (std::uint64_t(1) << 48) - 1;

} // namespace

Entry makeEntry(std::uint64_t fileOffset, std::uint32_t inPacket, std::int64_t offsetUs, std::uint8_t type,
                Direction direction, bool good, Reply reply, Kind kind)
{
    Entry entry;
    entry.where = (fileOffset & Mask40) | (std::uint64_t(inPacket & 0xFFFFFF) << 40);
    const std::uint64_t us = offsetUs > 0 ? std::min<std::uint64_t>(static_cast<std::uint64_t>(offsetUs), Mask48) : 0;
    entry.packed = us | (std::uint64_t(type) << 48) | (std::uint64_t(direction == Direction::Sent) << 56)
        | (std::uint64_t(good) << 57) | (std::uint64_t(reply) << 58) | (std::uint64_t(kind) << 60);
    return entry;
}

struct HistoryIndex::Data
{
    MappedFile file;
    std::unique_ptr<Reader> reader;
    EntryStore entries;
    Format format = Format::Unknown;
    std::uint64_t done = 0; // bytes of the file indexed
    std::string failure;

    void restart()
    {
        reader.reset();
        entries.clear();
        format = Format::Unknown;
        done = 0;
        failure.clear();
    }
};

HistoryIndex::HistoryIndex()
    : d(new Data)
{
}

HistoryIndex::~HistoryIndex() = default;

bool HistoryIndex::open(const std::string& path, std::string& error)
{
    close();
    if (!d->file.open(path, error))
        return false;
    if (d->file.currentSize() > MaxFileSize) {
        error = path + " is larger than the 1 TiB the history can index";
        d->file.close();
        return false;
    }
    return true;
}

void HistoryIndex::close()
{
    d->file.close();
    d->restart();
}

HistoryIndex::Progress HistoryIndex::indexMore(std::int64_t budgetNs)
{
    const std::int64_t deadline = SimClock::monotonicNs() + budgetNs;
    Progress progress;
    const std::uint64_t end = d->file.mappedSize();
    if (!d->reader && d->failure.empty() && end > 0) {
        const std::uint8_t* map = d->file.data();
        std::uint32_t first = 0;
        if (end >= 4)
            std::memcpy(&first, map, 4);
        bool neither = false;
        if (first == Pcapng::SectionHeader) {
            d->format = Format::Pcapng;
            d->reader = makePcapngReader();
        } else if (looksLikeLog(map, end, neither)) {
            d->format = Format::TrafficLog;
            d->reader = makeLogReader();
        } else if (neither) {
            d->failure = d->file.path() + " is neither a Korvane traffic log nor a pcapng capture";
        }
    }
    bool stalled = !d->reader;
    if (d->reader) {
        do {
            const std::uint64_t reached = d->reader->scan(d->file, d->done, RowsPerSlice, d->entries);
            stalled = reached == d->done;
            d->done = reached;
            if (stalled || d->done >= end)
                break;
        } while (SimClock::monotonicNs() < deadline);
    }
    progress.bytesDone = d->done;
    progress.bytesTotal = end;
    progress.rows = d->entries.size();
    // Done also when what is left is a piece a writer has not finished.
    progress.done = stalled || d->done >= end;
    if (progress.done)
        d->entries.shrink();
    return progress;
}

HistoryIndex::Change HistoryIndex::refresh()
{
    const std::uint64_t size = d->file.currentSize();
    const std::uint64_t mapped = d->file.mappedSize();
    if (size == mapped)
        return Change::None;
    std::string error;
    const bool shrunk = size < mapped;
    if (shrunk)
        d->restart();
    if (!d->file.remap(error))
        d->failure = error;
    return shrunk ? Change::Truncated : Change::Grew;
}

const std::string& HistoryIndex::path() const
{
    return d->file.path();
}

HistoryIndex::Format HistoryIndex::format() const
{
    return d->format;
}

bool HistoryIndex::failed() const
{
    return !d->failure.empty();
}

std::string HistoryIndex::message() const
{
    if (!d->failure.empty())
        return d->failure;
    if (d->file.mappedSize() == 0)
        return "the file is empty";
    std::string text;
    if (skippedBlocks() > 0)
        text = std::to_string(skippedBlocks()) + " blocks of other types skipped";
    if (skippedPackets() > 0)
        text += (text.empty() ? "" : "; ") + std::to_string(skippedPackets())
            + " packets of another link type skipped";
    return text;
}

std::uint64_t HistoryIndex::skippedBlocks() const
{
    return d->reader ? d->reader->skippedBlocks() : 0;
}

std::uint64_t HistoryIndex::skippedPackets() const
{
    return d->reader ? d->reader->skippedPackets() : 0;
}

std::size_t HistoryIndex::size() const
{
    return d->entries.size();
}

Entry HistoryIndex::entry(std::size_t row) const
{
    return d->entries[row];
}

bool HistoryIndex::row(std::size_t row, Row& out) const
{
    // A file cut short since it was mapped would fault on a read past its end.
    if (row >= d->entries.size() || d->file.currentSize() < d->file.mappedSize())
        return false;
    return d->reader->decode(d->file, d->entries, row, out);
}

bool HistoryIndex::rowUnchecked(std::size_t row, Row& out) const
{
    return d->reader->decode(d->file, d->entries, row, out);
}

bool HistoryIndex::intact() const
{
    return d->file.currentSize() >= d->file.mappedSize();
}

std::int64_t HistoryIndex::firstWallUs() const
{
    return d->reader ? d->reader->firstWallUs() : 0;
}

std::size_t HistoryIndex::rowAtTime(std::int64_t offsetUs) const
{
    std::size_t low = 0;
    std::size_t high = d->entries.size();
    while (low < high) {
        const std::size_t middle = low + (high - low) / 2;
        if (d->entries[middle].offsetUs() < offsetUs)
            low = middle + 1;
        else
            high = middle;
    }
    return low;
}

std::size_t HistoryIndex::memoryBytes() const
{
    return d->entries.memoryBytes() + (d->reader ? d->reader->memoryBytes() : 0);
}

} // namespace History
