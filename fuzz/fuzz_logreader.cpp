// libFuzzer target for korvane-sim's reader of the traffic log and the
// replay that plays it: whatever bytes a log holds, the reader must keep
// only whole frames as logged, give time offsets that never go back, hold
// no more than a row of any line, and say of each skipped line a short
// thing in plain printable text; and the replay must send the rows in order
// at deadlines that never come before the ones of the rows ahead, at any
// speed the command line allows. Any difference aborts, and libFuzzer keeps
// the input.
//
// Input layout: byte 0 picks the replay speed from a fixed list; the rest is
// the log.

#include "fuzzfailure.h"
#include "linkframe.h"
#include "logreplay.h"
#include "outqueue.h"
#include "trafficlog.h"

#include <cstdint>
#include <streambuf>
#include <string>

namespace {

// The command line's bounds and a few steps between them.
const double Speeds[] = {0.001, 0.01, 0.5, 1, 2, 1000, 1e6};
// "line N: ", a field quoted with at most 40 bytes shown, each escaped to at
// most four characters, and why.
constexpr std::size_t MessageLimit = 256;

using Fuzz::fail;

// The log's bytes read in place.
class MemoryBuffer : public std::streambuf
{
public:
    MemoryBuffer(const std::uint8_t* data, std::size_t size)
    {
        char* begin = const_cast<char*>(reinterpret_cast<const char*>(data));
        setg(begin, begin, begin + size);
    }
};

void checkContents(const TrafficLog::Contents& contents, std::size_t lines)
{
    if (contents.rows.size() + contents.skippedRows > lines)
        fail("%zu rows and %llu skipped from %zu lines", contents.rows.size(),
             static_cast<unsigned long long>(contents.skippedRows), lines);
    if (contents.skipped.size() > contents.reasonsKept || contents.skipped.size() > contents.skippedRows)
        fail("%zu reasons kept for %llu skipped rows", contents.skipped.size(),
             static_cast<unsigned long long>(contents.skippedRows));
    std::int64_t previous = 0;
    for (const TrafficLog::Row& row : contents.rows) {
        const std::size_t n = row.bytes.size();
        if (n < LinkFrame::Overhead || row.bytes[0] != LinkFrame::StartByte || row.bytes[2] != n - LinkFrame::Overhead)
            fail("a row of %zu bytes that is no whole frame", n);
        if (row.offsetMs < previous)
            fail("offset %lld after %lld", static_cast<long long>(row.offsetMs), static_cast<long long>(previous));
        previous = row.offsetMs;
    }
    for (const std::string& why : contents.skipped) {
        if (why.size() > MessageLimit)
            fail("a message of %zu bytes", why.size());
        for (char c : why) {
            if (c < 0x20 || c > 0x7E)
                fail("a message with the byte 0x%02X", static_cast<unsigned char>(c));
        }
    }
}

// Plays the rows one at a time: none goes out before its deadline, each at
// it, in order, and no deadline comes before the one of the row ahead.
void checkReplay(const TrafficLog::Contents& contents, double speed)
{
    LogReplay replay(contents.rows, speed);
    OutQueue queue;
    const std::int64_t start = 1000000000; // any monotonic time
    replay.start(start);
    std::int64_t previous = start;
    std::size_t sent = 0;
    for (; !replay.finished(); ++sent) {
        const std::int64_t due = replay.nextDeadline();
        if (due < previous)
            fail("row %zu due at %lld, before %lld", sent, static_cast<long long>(due), static_cast<long long>(previous));
        replay.emitDue(due - 1, queue, 1);
        if (!queue.empty())
            fail("row %zu sent before its deadline", sent);
        replay.emitDue(due, queue, 1); // a queue limit of one byte: one row
        if (sent >= contents.rows.size() || queue.pending() != contents.rows[sent].bytes.size())
            fail("row %zu not sent whole at its deadline", sent);
        queue.clear(); // as if written
        previous = due;
    }
    if (sent != contents.rows.size())
        fail("%zu of %zu rows sent", sent, contents.rows.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const double speed = Speeds[data[0] % (sizeof Speeds / sizeof Speeds[0])];
    MemoryBuffer log(data + 1, size - 1);
    TrafficLog::Contents contents;
    TrafficLog::read(log, contents);
    std::size_t lines = 1;
    for (std::size_t i = 1; i < size; ++i)
        lines += data[i] == '\n';
    checkContents(contents, lines);
    checkReplay(contents, speed);
    return 0;
}
