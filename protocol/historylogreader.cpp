// The history of a traffic log: one row per line after the header block,
// good or not. The index parses each row in place, without a copy; a line
// it cannot take is left to the log's own row parser, which decides, and
// says why when the row is shown.
#include "historyreader.h"

#include "hexbytes.h"
#include "linkframe.h"
#include "trafficlog.h"

#include <cstring>
#include <ctime>

namespace History {

namespace {

constexpr std::int64_t DayMs = 24 * 3600 * 1000;
// A row of the entry's line number is kept for each so many entries; the
// line of any other is counted from there.
constexpr std::size_t LineCheckpointBits = 12;

bool isDigit(std::uint8_t c)
{
    return c >= '0' && c <= '9';
}

// The monitor's log adds the direction as a last field: "A>B" was sent by
// the side the tool stands for, "B>A" received.
std::size_t stripDirection(const char* line, std::size_t size, Direction& direction)
{
    direction = Direction::Received;
    if (size > 4 && line[size - 4] == ',' && line[size - 2] == '>'
        && ((line[size - 3] == 'A' && line[size - 1] == 'B') || (line[size - 3] == 'B' && line[size - 1] == 'A'))) {
        direction = line[size - 3] == 'A' ? Direction::Sent : Direction::Received;
        return size - 4;
    }
    return size;
}

struct ParsedRow
{
    std::int64_t msOfDay = 0;
    std::uint8_t type = 0;
    bool good = false;
};

// The common row, "hh:mm:ss,zzz,2E,tt,ll,dd..,ss,-,[n]", read in place.
// False for anything else, which the log's own parser then looks at.
bool parseFast(const std::uint8_t* p, std::size_t n, ParsedRow& row)
{
    if (n < 12 + 12 + 5 || p[2] != ':' || p[5] != ':' || p[8] != ',' || p[12] != ',')
        return false;
    for (int i : {0, 1, 3, 4, 6, 7, 9, 10, 11}) {
        if (!isDigit(p[i]))
            return false;
    }
    const int hours = (p[0] - '0') * 10 + (p[1] - '0');
    const int minutes = (p[3] - '0') * 10 + (p[4] - '0');
    const int seconds = (p[6] - '0') * 10 + (p[7] - '0');
    if (hours > 23 || minutes > 59 || seconds > 59)
        return false;
    row.msOfDay = ((hours * 60 + minutes) * 60 + seconds) * 1000LL + (p[9] - '0') * 100 + (p[10] - '0') * 10
        + (p[11] - '0');
    std::size_t at = 13;
    std::uint8_t bytes[4 + 255];
    std::size_t count = 0;
    while (at + 2 < n && p[at] != '-') {
        const int high = HexBytes::digit(static_cast<char>(p[at]));
        const int low = HexBytes::digit(static_cast<char>(p[at + 1]));
        if (high < 0 || low < 0 || p[at + 2] != ',' || count == sizeof bytes)
            return false;
        bytes[count++] = static_cast<std::uint8_t>(high * 16 + low);
        at += 3;
    }
    // "-,[digits]" and nothing after.
    if (at + 4 > n || p[at] != '-' || p[at + 1] != ',' || p[at + 2] != '[' || p[n - 1] != ']' || n - at - 4 < 1
        || n - at - 4 > TrafficLog::MaxIndexDigits)
        return false;
    for (std::size_t i = at + 3; i < n - 1; ++i) {
        if (!isDigit(p[i]))
            return false;
    }
    if (count < LinkFrame::Overhead || bytes[0] != LinkFrame::StartByte || bytes[2] != count - LinkFrame::Overhead)
        return false;
    row.type = bytes[1];
    row.good = LinkFrame::checksum(bytes[1], bytes[2], bytes + 3, bytes[2]) == bytes[count - 1];
    return true;
}

bool isHeader(const std::uint8_t* p, std::size_t n)
{
    for (const char* start : {"Korvane Bus Traffic File", "New Data ,", "new Time ,", "time,time_ms,"}) {
        const std::size_t length = std::strlen(start);
        if (n >= length && std::memcmp(p, start, length) == 0)
            return true;
    }
    return false;
}

// "New Data ,2026-12-09 ": local midnight of that day in microseconds since
// 1970, or -1.
std::int64_t headerDay(const std::uint8_t* p, std::size_t n)
{
    const char prefix[] = "New Data ,";
    const std::size_t at = sizeof prefix - 1;
    if (n < at + 10 || std::memcmp(p, prefix, at) != 0 || p[at + 4] != '-' || p[at + 7] != '-')
        return -1;
    auto number = [&](std::size_t from, std::size_t digits) {
        int value = 0;
        for (std::size_t i = from; i < from + digits; ++i) {
            if (!isDigit(p[i]))
                return -1;
            value = value * 10 + (p[i] - '0');
        }
        return value;
    };
    std::tm day{};
    day.tm_year = number(at, 4) - 1900;
    day.tm_mon = number(at + 5, 2) - 1;
    day.tm_mday = number(at + 8, 2);
    day.tm_isdst = -1;
    if (day.tm_year < 0 || day.tm_mon < 0 || day.tm_mday < 1)
        return -1;
    const std::time_t midnight = std::mktime(&day);
    return midnight == static_cast<std::time_t>(-1) ? -1 : static_cast<std::int64_t>(midnight) * 1000000;
}

std::string lineText(const std::uint8_t* p, std::size_t n)
{
    return std::string(reinterpret_cast<const char*>(p), n);
}

class LogReader : public Reader
{
public:
    std::uint64_t scan(const MappedFile& file, std::uint64_t at, std::size_t rows, EntryStore& out) override;
    bool decode(const MappedFile& file, const EntryStore& entries, std::size_t row, Row& out) const override;
    std::size_t memoryBytes() const override { return m_lines.capacity() * sizeof(std::int64_t); }

private:
    // The offset of the line feed that ends a line too long for a row, or
    // how far a slice looked for it (the end of the map at most); holes of a
    // sparse file are jumped, not read, where the system tells them.
    static std::uint64_t lineEnd(const MappedFile& file, std::uint64_t from);
    void add(EntryStore& out, const Entry& entry);

    std::int64_t m_line = 0;       // lines read so far
    bool m_longLine = false;       // in a line too long for a row, its row added
    std::int64_t m_dayUs = 0;      // the header's day, local midnight
    std::int64_t m_previousMs = -1;
    std::int64_t m_offsetMs = 0;
    std::vector<std::int64_t> m_lines; // line of every 4096th entry
};

std::uint64_t LogReader::lineEnd(const MappedFile& file, std::uint64_t from)
{
    constexpr std::uint64_t Step = 1 << 20;
    constexpr std::uint64_t PerSlice = 64 << 20; // bytes read; holes jumped cost nothing
    const std::uint64_t end = file.mappedSize();
    for (std::uint64_t read = 0; from < end && read < PerSlice;) {
        const std::uint64_t size = std::min(Step, end - from);
        const void* found = std::memchr(file.data() + from, '\n', size);
        if (found)
            return static_cast<std::uint64_t>(static_cast<const std::uint8_t*>(found) - file.data());
        read += size;
        from = std::max(from + size, file.nextData(from + size));
    }
    return std::min(from, end);
}

void LogReader::add(EntryStore& out, const Entry& entry)
{
    if ((out.size() & ((std::size_t(1) << LineCheckpointBits) - 1)) == 0)
        m_lines.push_back(m_line);
    out.push(entry);
}

std::uint64_t LogReader::scan(const MappedFile& file, std::uint64_t at, std::size_t rows, EntryStore& out)
{
    const std::uint8_t* map = file.data();
    const std::uint64_t end = file.mappedSize();
    const std::size_t target = out.size() + rows;
    while (at < end && out.size() < target) {
        if (m_longLine) {
            // Its end is looked for a slice at a time.
            const std::uint64_t stop = lineEnd(file, at);
            m_longLine = stop >= end || map[stop] != '\n';
            if (m_longLine)
                return stop;
            at = stop + 1;
            continue;
        }
        const std::uint64_t window = std::min<std::uint64_t>(end - at, TrafficLog::MaxRowLength + 2);
        const auto* feed = static_cast<const std::uint8_t*>(std::memchr(map + at, '\n', window));
        if (!feed) {
            // A row not yet written in full waits for its line feed.
            if (end - at < TrafficLog::MaxRowLength + 2)
                break;
            ++m_line;
            add(out, makeEntry(at, 0, m_offsetMs * 1000, 0, Direction::Received, false, Reply::Unknown,
                               Kind::Malformed));
            m_longLine = true;
            at += window;
            continue;
        }
        const std::uint8_t* line = map + at;
        std::size_t size = static_cast<std::size_t>(feed - line);
        const std::uint64_t lineStart = at;
        at += size + 1;
        ++m_line;
        if (size > 0 && line[size - 1] == '\r')
            --size;
        if (size == 0)
            continue;
        if (isHeader(line, size)) {
            const std::int64_t day = headerDay(line, size);
            if (day >= 0 && !m_started)
                m_dayUs = day;
            continue;
        }
        Direction direction;
        size = stripDirection(reinterpret_cast<const char*>(line), size, direction);
        ParsedRow row;
        bool parsed = parseFast(line, size, row);
        if (!parsed) {
            std::vector<std::uint8_t> bytes;
            std::string why;
            parsed = TrafficLog::parseRow(lineText(line, size), row.msOfDay, bytes, why);
            if (parsed) {
                row.type = bytes[1];
                row.good = LinkFrame::checksum(bytes[1], bytes[2], bytes.data() + 3, bytes[2]) == bytes.back();
            }
        }
        if (!parsed) {
            add(out, makeEntry(lineStart, 0, m_offsetMs * 1000, 0, direction, false, Reply::Unknown,
                               Kind::Malformed));
            continue;
        }
        if (m_previousMs >= 0) {
            std::int64_t step = row.msOfDay - m_previousMs;
            // A step back is the log running past midnight; one that would
            // mean a wait of over half a day is the clock set back instead.
            if (step < 0)
                step += DayMs;
            if (step > DayMs / 2 && row.msOfDay < m_previousMs)
                step = 0;
            m_offsetMs += step;
        } else {
            m_firstWallUs = m_dayUs + row.msOfDay * 1000;
            m_started = true;
        }
        m_previousMs = row.msOfDay;
        add(out, makeEntry(lineStart, 0, m_offsetMs * 1000, row.type, direction, row.good, Reply::Unknown,
                           Kind::Frame));
    }
    return at;
}

bool LogReader::decode(const MappedFile& file, const EntryStore& entries, std::size_t index, Row& out) const
{
    const Entry entry = entries[index];
    const std::uint64_t at = entry.fileOffset();
    const std::uint64_t end = file.mappedSize();
    if (at >= end)
        return false;
    fromEntry(entry, out);
    const std::uint8_t* line = file.data() + at;
    const std::uint64_t window = std::min<std::uint64_t>(end - at, TrafficLog::MaxRowLength + 2);
    const auto* feed = static_cast<const std::uint8_t*>(std::memchr(line, '\n', window));
    std::size_t size = feed ? static_cast<std::size_t>(feed - line) : static_cast<std::size_t>(window);

    // The line's number: counted from the nearest kept one.
    const std::size_t checkpoint = index >> LineCheckpointBits;
    if (checkpoint < m_lines.size()) {
        const std::size_t first = checkpoint << LineCheckpointBits;
        std::int64_t number = m_lines[checkpoint];
        for (const std::uint8_t* p = file.data() + entries[first].fileOffset(); p < file.data() + at; ++number) {
            p = static_cast<const std::uint8_t*>(std::memchr(p, '\n', static_cast<std::size_t>(file.data() + at - p)));
            if (!p)
                break;
            ++p;
        }
        out.line = number;
    }
    if (!feed && window > TrafficLog::MaxRowLength + 1) {
        out.problem = "longer than any row";
        return true;
    }
    if (size > 0 && line[size - 1] == '\r')
        --size;
    size = stripDirection(reinterpret_cast<const char*>(line), size, out.direction);
    const std::string text = lineText(line, size);
    std::int64_t msOfDay = 0;
    if (!TrafficLog::parseRow(text, msOfDay, out.bytes, out.problem)) {
        out.kind = Kind::Malformed;
        out.bytes.clear();
        return true;
    }
    out.problem.clear();
    out.type = out.bytes[1];
    out.len = out.bytes[2];
    out.checksum = out.bytes.back();
    out.good = LinkFrame::checksum(out.type, out.len, out.bytes.data() + 3, out.len) == out.checksum;
    const std::size_t open = text.rfind('[');
    if (open != std::string::npos)
        out.logIndex = static_cast<std::int64_t>(std::strtoull(text.c_str() + open + 1, nullptr, 10));
    return true;
}

} // namespace

std::unique_ptr<Reader> makeLogReader()
{
    return std::make_unique<LogReader>();
}

bool looksLikeLog(const std::uint8_t* data, std::uint64_t size, bool& neither)
{
    neither = false;
    std::uint64_t at = 0;
    // Blank lines before the header do no harm; anything else decides.
    while (at < size) {
        const std::uint64_t window = std::min<std::uint64_t>(size - at, TrafficLog::MaxRowLength + 2);
        const auto* feed = static_cast<const std::uint8_t*>(std::memchr(data + at, '\n', window));
        const std::uint8_t* line = data + at;
        std::size_t length = feed ? static_cast<std::size_t>(feed - line) : static_cast<std::size_t>(window);
        if (length > 0 && line[length - 1] == '\r')
            --length;
        if (length > 0 && (line[0] < 0x20 || line[0] >= 0x7F)) {
            neither = true;
            return false;
        }
        if (!feed) {
            neither = window > TrafficLog::MaxRowLength + 1;
            return false;
        }
        at += static_cast<std::uint64_t>(feed - line) + 1;
        if (length == 0)
            continue;
        if (isHeader(line, length))
            return true;
        Direction direction;
        length = stripDirection(reinterpret_cast<const char*>(line), length, direction);
        std::int64_t ms = 0;
        std::vector<std::uint8_t> bytes;
        std::string why;
        neither = !TrafficLog::parseRow(lineText(line, length), ms, bytes, why);
        return !neither;
    }
    return false;
}

} // namespace History
