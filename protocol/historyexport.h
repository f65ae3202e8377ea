#pragma once
// Rows of a history written out: as a traffic log in the tool's own format
// (header block, "hh:mm:ss,zzz,2E,tt,ll,dd..,ss,-,[n]" rows, which the
// history and any spreadsheet read back), or as a pcapng capture that the
// dissector and the history read back with directions and replies.

#include "historyfilter.h"

#include <cstdint>
#include <string>

namespace History {

struct ExportResult
{
    bool ok = false;
    std::uint64_t written = 0;  // rows written
    std::uint64_t skipped = 0;  // rows a log cannot hold (malformed and noise rows)
    std::string error;          // why the file could not be written
};

// A log row's [n] is the row's own log index where it has one, else its
// place in the export from 1. Sent frames go in too (a log has no column
// for the direction); malformed and noise rows are counted, not written.
ExportResult exportLog(const HistoryIndex& index, const RowSet& rows, const std::string& path);
// Each frame one packet with its direction, its reply the next packet the
// other way, its log index a packet comment "[n]"; malformed rows are
// counted, not written; noise rows go as packets of their bytes.
ExportResult exportPcapng(const HistoryIndex& index, const RowSet& rows, const std::string& path);

} // namespace History
