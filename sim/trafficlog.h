#pragma once
// Reads back the tool's traffic log (Korvane_data.csv): one row per good
// frame, "hh:mm:ss,zzz,2E,tt,ll,dd..,ss,-,[n]", after a header block.

#include <cstdint>
#include <string>
#include <vector>

namespace TrafficLog {

struct Row
{
    std::int64_t offsetMs = 0;        // time since the first row
    std::vector<std::uint8_t> bytes;  // start byte to checksum, as logged
};

struct Contents
{
    std::vector<Row> rows;
    // "line N: why" for each row that did not parse and was skipped.
    std::vector<std::string> skipped;
};

// Parses one row: the time of day in milliseconds and the frame's bytes.
// Returns false with the reason in why when it is not a row.
bool parseRow(const std::string& line, std::int64_t& msOfDay, std::vector<std::uint8_t>& bytes, std::string& why);

// Reads a whole log. The header lines and blank lines are passed over; the
// time offsets run on across midnight. False only when the file cannot be read.
bool read(const std::string& path, Contents& contents, std::string& error);

} // namespace TrafficLog
