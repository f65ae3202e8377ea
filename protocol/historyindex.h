#pragma once
// The history of a session's frames over a file that may hold ten million of
// them: a traffic log (Korvane_data.csv, a kept Korvane_data-*.csv, the
// monitor's log with its direction column) or a pcapng capture (the
// monitor's, korvane-cli's, the window's session record). The file is
// memory-mapped; the index keeps 12 bytes per row (historyentries.h) and
// decodes the row's bytes from the map only when asked.
//
// Indexing is incremental: indexMore() indexes the next slice and returns,
// so the window can show the first rows at once and stay responsive. It
// follows a file that another program appends to, and notices one that is
// cut short (it then indexes it again from the start).
//
// A row is a frame (sent or received, good or bad checksum, with the reply
// the other side gave it) or something that is not one: a malformed log
// line or capture block, or bytes on the line outside a frame. Nothing the
// file holds is passed over without a row or a count.
//
// Not thread-safe: one thread indexes and reads (the window does both on
// its own thread, in slices).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace History {

enum class Direction : std::uint8_t { Received = 0, Sent = 1 };
// What the other side answered to a frame. Unknown where the file cannot
// tell (a traffic log holds no replies).
enum class Reply : std::uint8_t { Unknown = 0, None = 1, Ack = 2, Nak = 3 };
enum class Kind : std::uint8_t {
    Frame = 0,
    Malformed = 1, // a log line or capture block that does not parse
    Noise = 2,     // bytes on the line outside a frame, as the tool skips them
};

// One row of the index as the store gives it out: where it is in the file
// and what filters need.
struct Entry
{
    // Bits 0..39: file offset of the row's line or packet block; 40..63:
    // offset of the frame's start byte in the packet's data (0 for a log).
    std::uint64_t where = 0;
    // Bits 0..47: microseconds since the file's first row; 48..55: type;
    // 56: sent; 57: good checksum; 58..59: Reply; 60..61: Kind.
    std::uint64_t packed = 0;

    std::uint64_t fileOffset() const { return where & ((std::uint64_t(1) << 40) - 1); }
    std::uint32_t offsetInPacket() const { return static_cast<std::uint32_t>(where >> 40); }
    std::int64_t offsetUs() const { return static_cast<std::int64_t>(packed & ((std::uint64_t(1) << 48) - 1)); }
    std::uint8_t type() const { return static_cast<std::uint8_t>(packed >> 48); }
    Direction direction() const { return static_cast<Direction>((packed >> 56) & 1); }
    bool good() const { return (packed >> 57) & 1; }
    Reply reply() const { return static_cast<Reply>((packed >> 58) & 3); }
    Kind kind() const { return static_cast<Kind>((packed >> 60) & 3); }
};
static_assert(sizeof(Entry) == 16, "an index entry is 16 bytes");

// One row decoded from the map.
struct Row
{
    Kind kind = Kind::Frame;
    Direction direction = Direction::Received;
    std::int64_t offsetUs = 0;  // since the file's first row
    std::int64_t wallUs = 0;    // microseconds since 1970 UTC; a log's rows: its header's date, local time
    std::vector<std::uint8_t> bytes; // start byte to checksum as on the line; a noise row: its bytes
    std::uint8_t type = 0;
    std::uint8_t len = 0;       // as on the line
    std::uint8_t checksum = 0;
    bool good = false;          // checksum matched
    Reply reply = Reply::Unknown;
    std::int64_t logIndex = -1; // the log's "[n]", -1 where the file has none
    std::uint64_t fileOffset = 0; // of the line or packet block
    std::int64_t line = 0;        // 1-based line of a log's row; 0 in a capture
    std::string problem;          // a malformed row: why it is not a frame
    // The data bytes, as many as the row holds.
    const std::uint8_t* data() const { return bytes.size() > 3 ? bytes.data() + 3 : nullptr; }
    std::size_t dataCount() const { return bytes.size() > 4 ? bytes.size() - 4 : 0; }
};

class Reader; // one per file format (historyreader.h)

class HistoryIndex
{
public:
    enum class Format { Unknown, TrafficLog, Pcapng };
    struct Progress
    {
        std::uint64_t bytesDone = 0;  // of the file, indexed
        std::uint64_t bytesTotal = 0; // the file's size when last looked at
        std::size_t rows = 0;
        bool done = false;            // all of the file is indexed (it may still grow)
    };
    enum class Change { None, Grew, Truncated };

    HistoryIndex();
    ~HistoryIndex();
    HistoryIndex(const HistoryIndex&) = delete;
    HistoryIndex& operator=(const HistoryIndex&) = delete;

    // Maps the file. False, with a message for the user, when it cannot be
    // read or mapped; an empty file opens (it may be a record being written).
    bool open(const std::string& path, std::string& error);
    void close();
    // Indexes for about budgetNs of wall time (at least one slice), then
    // returns. A file that turns out to be neither a traffic log nor a pcapng
    // capture stops the index: failed() and message() say so.
    Progress indexMore(std::int64_t budgetNs = 20 * 1000 * 1000);
    // Looks at the file's size again: a file that grew is indexed on by
    // indexMore(); one cut below what was indexed is indexed again from the
    // start (rows are gone: the caller resets its views).
    Change refresh();

    const std::string& path() const;
    Format format() const;
    bool failed() const;
    // For the user: why the file cannot be shown ("the file is empty", "...
    // is neither a traffic log nor a pcapng capture"), or what was skipped
    // ("12 blocks of unknown type skipped"); empty when there is nothing to say.
    std::string message() const;
    // Capture blocks of types the history does not read, and packets on an
    // interface of another link type, skipped and counted.
    std::uint64_t skippedBlocks() const;
    std::uint64_t skippedPackets() const;

    std::size_t size() const;
    Entry entry(std::size_t row) const;
    // Decodes a row from the map. False when the file no longer holds it
    // (cut short since: call refresh()).
    bool row(std::size_t row, Row& out) const;
    // For loops over many rows: whether the file still holds all it held
    // when mapped, checked once, then rows decoded without the check.
    bool intact() const;
    bool rowUnchecked(std::size_t row, Row& out) const;
    // The first row's time, microseconds since 1970 UTC.
    std::int64_t firstWallUs() const;
    // The first row at or after offsetUs (size() when none): rows are in
    // file order, which is time order.
    std::size_t rowAtTime(std::int64_t offsetUs) const;
    // Heap bytes the index holds beyond the map.
    std::size_t memoryBytes() const;

private:
    struct Data;
    std::unique_ptr<Data> d;
};

} // namespace History
