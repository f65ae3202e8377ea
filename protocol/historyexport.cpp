// Export through the writers the monitor and korvane-cli use, so an
// exported log or capture is one they would have written.
#include "historyexport.h"

#include "linkframe.h"
#include "monitorlog.h"
#include "monoclock.h"
#include "pcapngwriter.h"

namespace History {

namespace {

// Rows handed to the writer between flushes: well within its spool.
constexpr std::uint64_t RowsPerFlush = 1024;

// The writer's flush(), with what a failure or a drop means for the export.
template <typename Writer>
bool flushed(Writer& writer, ExportResult& result)
{
    if (!writer.flush()) {
        result.error = "cannot write " + writer.path() + ": " + writer.why();
        return false;
    }
    if (writer.dropped() > 0) {
        result.error = "cannot write " + writer.path() + ": it did not take rows as fast as they came";
        return false;
    }
    return true;
}

template <typename Writer>
ExportResult finish(Writer& writer, ExportResult result)
{
    if (!result.error.empty())
        return result;
    if (flushed(writer, result)) {
        // Regular files are written by flush() itself; a FIFO's reader gets a minute.
        writer.drain(SimClock::monotonicNs() + 60000000000LL);
        result.ok = flushed(writer, result);
    }
    return result;
}

ReceivedFrame receivedFrame(const Row& row)
{
    ReceivedFrame frame;
    frame.startWallNs = row.wallUs * 1000;
    frame.type = row.type;
    frame.len = row.len;
    frame.data.assign(row.bytes.begin() + 3, row.bytes.end() - 1);
    frame.checksum = row.checksum;
    frame.good = row.good;
    return frame;
}

// Opens the file, hands the writer each row that put() takes (counting
// the others as skipped) and sees it all written.
template <typename Writer, typename Open, typename Put>
ExportResult exportWith(const HistoryIndex& index, const RowSet& rows, Writer& writer, Open open, Put put)
{
    ExportResult result;
    if (!index.intact()) {
        result.error = index.path() + " was cut short: open it again";
        return result;
    }
    if (!open(result.error))
        return result;
    Row row;
    rows.forEach(index, [&](std::size_t at) {
        if (!index.rowUnchecked(at, row) || !put(row, result.written)) {
            ++result.skipped;
            return true;
        }
        return ++result.written % RowsPerFlush != 0 || flushed(writer, result);
    });
    return finish(writer, result);
}

} // namespace

ExportResult exportLog(const HistoryIndex& index, const RowSet& rows, const std::string& path)
{
    MonitorLog log;
    const auto open = [&](std::string& error) { return log.open(path, error, false, index.firstWallUs() * 1000); };
    return exportWith(index, rows, log, open, [&](const Row& row, std::uint64_t written) {
        if (row.kind != Kind::Frame)
            return false;
        log.row(receivedFrame(row), row.logIndex >= 0 ? static_cast<std::uint64_t>(row.logIndex) : written + 1, nullptr);
        return true;
    });
}

ExportResult exportPcapng(const HistoryIndex& index, const RowSet& rows, const std::string& path)
{
    PcapngWriter capture;
    const auto open = [&](std::string& error) {
        return capture.open(path, "exported from " + index.path(), error, "korvane", "korvane-history");
    };
    return exportWith(index, rows, capture, open, [&](const Row& row, std::uint64_t) {
        if (row.kind == Kind::Malformed)
            return false;
        const bool sent = row.direction == Direction::Sent;
        const auto way = sent ? PcapngWriter::Direction::Outbound : PcapngWriter::Direction::Inbound;
        const auto back = sent ? PcapngWriter::Direction::Inbound : PcapngWriter::Direction::Outbound;
        const std::int64_t ns = row.wallUs * 1000;
        capture.packet(way, ns, row.bytes.data(), row.bytes.size(),
                       row.logIndex >= 0 ? "[" + std::to_string(row.logIndex) + "]" : std::string());
        if (row.reply == Reply::Ack || row.reply == Reply::Nak) {
            const std::uint8_t reply = row.reply == Reply::Ack ? LinkFrame::Ack : LinkFrame::Nak;
            capture.packet(back, ns, &reply, 1);
        }
        return true;
    });
}

} // namespace History
