#pragma once
// Inside the history index: the store of its entries and the two readers
// that fill it, one for traffic logs and one for pcapng captures. A reader
// scans the map front to back in slices, keeping what it needs between
// them, and decodes one row again from its entry.

#include "historyentries.h"
#include "historyindex.h"
#include "mappedfile.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace History {

// The largest file an entry can point into: 40 bits of offset.
constexpr std::uint64_t MaxFileSize = std::uint64_t(1) << 40;

Entry makeEntry(std::uint64_t fileOffset, std::uint32_t inPacket, std::int64_t offsetUs, std::uint8_t type,
                Direction direction, bool good, Reply reply, Kind kind);

class Reader
{
public:
    virtual ~Reader() = default;
    // Indexes from `at` onwards, stopping at the end of the map, at a piece
    // not yet whole (a line without its line feed, a block cut short by a
    // writer still at work) or once `rows` rows have been added. Returns the
    // offset reached.
    virtual std::uint64_t scan(const MappedFile& file, std::uint64_t at, std::size_t rows, EntryStore& out) = 0;
    // Decodes the row of an entry; false when the map no longer holds it.
    virtual bool decode(const MappedFile& file, const EntryStore& entries, std::size_t row, Row& out) const = 0;
    // Wall time of offsetUs 0, microseconds since 1970 UTC.
    std::int64_t firstWallUs() const { return m_firstWallUs; }
    // Set when the file turned out not to be this reader's kind.
    const std::string& failure() const { return m_failure; }
    std::uint64_t skippedBlocks() const { return m_skippedBlocks; }
    std::uint64_t skippedPackets() const { return m_skippedPackets; }
    virtual std::size_t memoryBytes() const { return 0; }

protected:
    // A row with the fields its entry holds; the reader decodes the rest.
    void fromEntry(const Entry& entry, Row& out) const
    {
        out = Row();
        out.kind = entry.kind();
        out.direction = entry.direction();
        out.reply = entry.reply();
        out.offsetUs = entry.offsetUs();
        out.wallUs = m_firstWallUs + out.offsetUs;
        out.fileOffset = entry.fileOffset();
    }

    std::int64_t m_firstWallUs = 0;
    bool m_started = false; // m_firstWallUs is set
    std::string m_failure;
    std::uint64_t m_skippedBlocks = 0;
    std::uint64_t m_skippedPackets = 0;
};

std::unique_ptr<Reader> makeLogReader();
std::unique_ptr<Reader> makePcapngReader();
// Whether a file's first lines are a log's header or row; neither is set
// when they are something else, left clear while too little is there to tell.
bool looksLikeLog(const std::uint8_t* data, std::uint64_t size, bool& neither);

} // namespace History
