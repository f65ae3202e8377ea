#pragma once
// Reads back the tool's traffic log (Korvane_data.csv): one row per good
// frame, "hh:mm:ss,zzz,2E,tt,ll,dd..,ss,-,[n]", after a header block.

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace TrafficLog {

// The longest row there can be: the time, the start byte, type, len, 255
// data bytes (len is one byte) and the checksum, "-" and an index of up to
// 20 digits (the tool counts in 64 bits). A longer line is refused before
// any of it is split, so a hostile log costs no more memory than this.
constexpr std::size_t MaxIndexDigits = 20;
constexpr std::size_t MaxRowLength = 12 + 3 * (4 + 255) + 2 + 3 + MaxIndexDigits;

struct Row
{
    std::int64_t offsetMs = 0;        // time since the first row
    std::vector<std::uint8_t> bytes;  // start byte to checksum, as logged
};

struct Contents
{
    std::vector<Row> rows;
    // "line N: why" for the first reasonsKept rows that did not parse and
    // were skipped: a log of nothing but bad lines costs no more memory
    // than a few of them.
    std::vector<std::string> skipped;
    std::size_t reasonsKept = 20;
    // All the rows skipped.
    std::uint64_t skippedRows = 0;
};

// Parses one row: the time of day in milliseconds and the frame's bytes.
// Returns false with the reason in why when it is not a row.
bool parseRow(const std::string& line, std::int64_t& msOfDay, std::vector<std::uint8_t>& bytes, std::string& why);

// Reads a whole log. The header lines and blank lines are passed over; the
// time offsets run on across midnight. False only when the file cannot be read.
bool read(const std::string& path, Contents& contents, std::string& error);
// The same from a buffer holding a log.
void read(std::streambuf& buffer, Contents& contents);

// A field as it may be quoted in a message on a terminal: bytes outside
// printable ASCII as \xHH, and cut after a few dozen characters.
std::string quoted(const std::string& field);

} // namespace TrafficLog
