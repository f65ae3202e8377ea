// Reading the tool's traffic log back.
#include "trafficlog.h"

#include "hexbytes.h"
#include "linkframe.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <streambuf>

namespace TrafficLog {

namespace {

constexpr std::int64_t DayMs = 24 * 3600 * 1000;

// "12" within 0..most, or -1.
int twoDigits(const std::string& text, std::size_t at, int most)
{
    if (at + 2 > text.size() || text[at] < '0' || text[at] > '9' || text[at + 1] < '0' || text[at + 1] > '9')
        return -1;
    const int value = (text[at] - '0') * 10 + (text[at + 1] - '0');
    return value <= most ? value : -1;
}

bool allDigits(const std::string& text)
{
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

std::vector<std::string> split(const std::string& line)
{
    std::vector<std::string> fields;
    std::size_t from = 0;
    for (;;) {
        const std::size_t comma = line.find(',', from);
        fields.push_back(line.substr(from, comma - from));
        if (comma == std::string::npos)
            return fields;
        from = comma + 1;
    }
}

// The next line, without its line feed, kept only up to `limit` bytes;
// `length` tells how long it really was. False at the end of the input.
bool readLine(std::streambuf& in, std::string& line, std::size_t limit, std::size_t& length)
{
    line.clear();
    length = 0;
    int c;
    while ((c = in.sbumpc()) != std::char_traits<char>::eof()) {
        if (c == '\n')
            return true;
        if (++length <= limit)
            line.push_back(static_cast<char>(c));
    }
    return length > 0;
}

// The lines of the header block that the tool writes at start.
bool isHeader(const std::string& line)
{
    for (const char* start : {"Korvane Bus Traffic File", "New Data ,", "new Time ,", "time,time_ms,"}) {
        if (line.rfind(start, 0) == 0)
            return true;
    }
    return false;
}

void skip(Contents& contents, std::int64_t lineNumber, const std::string& why)
{
    if (contents.skipped.size() < contents.reasonsKept)
        contents.skipped.push_back("line " + std::to_string(lineNumber) + ": " + why);
    ++contents.skippedRows;
}

} // namespace

bool parseRow(const std::string& line, std::int64_t& msOfDay, std::vector<std::uint8_t>& bytes, std::string& why)
{
    const std::vector<std::string> fields = split(line);
    const std::string& time = fields[0];
    const int hours = twoDigits(time, 0, 23);
    const int minutes = twoDigits(time, 3, 59);
    const int seconds = twoDigits(time, 6, 59);
    if (time.size() != 8 || time[2] != ':' || time[5] != ':' || hours < 0 || minutes < 0 || seconds < 0) {
        why = quoted(time) + " is not a time hh:mm:ss";
        return false;
    }
    const std::string millis = fields.size() > 1 ? fields[1] : std::string();
    if (millis.size() != 3 || !allDigits(millis)) {
        why = quoted(millis) + " is not three digits of milliseconds";
        return false;
    }
    msOfDay = ((hours * 60 + minutes) * 60 + seconds) * 1000LL + std::stoi(millis);

    // start, type, len, checksum and the "-" and "[n]" fields at least
    const std::size_t n = fields.size();
    const std::string& index = fields[n - 1];
    if (n < 8 || fields[n - 2] != "-" || index.size() < 3 || index.size() > MaxIndexDigits + 2 || index.front() != '['
        || index.back() != ']' || !allDigits(index.substr(1, index.size() - 2))) {
        why = "it does not end in \",-,[n]\" after start byte, type, len and checksum";
        return false;
    }
    bytes.clear();
    for (std::size_t i = 2; i < n - 2; ++i) {
        const std::string& field = fields[i];
        if (field.size() != 2 || HexBytes::digit(field[0]) < 0 || HexBytes::digit(field[1]) < 0) {
            why = quoted(field) + " is not a hex byte";
            return false;
        }
        bytes.push_back(static_cast<std::uint8_t>(HexBytes::digit(field[0]) * 16 + HexBytes::digit(field[1])));
    }
    if (bytes[0] != LinkFrame::StartByte) {
        why = "the frame does not begin with the start byte 2E";
        return false;
    }
    if (bytes[2] != bytes.size() - LinkFrame::Overhead) {
        why = "len " + fields[4] + " does not match its " + std::to_string(bytes.size() - LinkFrame::Overhead)
            + " data bytes";
        return false;
    }
    return true;
}

std::string quoted(const std::string& field)
{
    constexpr std::size_t Shown = 40;
    std::string text = "\"";
    for (std::size_t i = 0; i < field.size() && i < Shown; ++i) {
        const auto c = static_cast<unsigned char>(field[i]);
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            text += static_cast<char>(c);
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            text += escaped;
        }
    }
    text += '"';
    if (field.size() > Shown)
        text += " (" + std::to_string(field.size()) + " bytes)";
    return text;
}

bool read(const std::string& path, Contents& contents, std::string& error)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    read(*file.rdbuf(), contents);
    return true;
}

void read(std::streambuf& buffer, Contents& contents)
{
    std::string line;
    std::size_t length = 0;
    std::int64_t lineNumber = 0;
    std::int64_t previous = -1;
    std::int64_t offset = 0;
    // One byte more than a row, for a Windows line end.
    while (readLine(buffer, line, MaxRowLength + 1, length)) {
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
            --length;
        }
        if (length > MaxRowLength) {
            skip(contents, lineNumber, std::to_string(length) + " bytes, longer than any row");
            continue;
        }
        if (line.empty() || isHeader(line))
            continue;
        Row row;
        std::int64_t msOfDay = 0;
        std::string why;
        if (!parseRow(line, msOfDay, row.bytes, why)) {
            skip(contents, lineNumber, why);
            continue;
        }
        if (previous >= 0) {
            std::int64_t step = msOfDay - previous;
            // A step back is the log running past midnight. One that would
            // mean a wait of over half a day is the clock set back instead.
            if (step < 0)
                step += DayMs;
            if (step > DayMs / 2 && msOfDay < previous)
                step = 0;
            offset += step;
        }
        previous = msOfDay;
        row.offsetMs = offset;
        contents.rows.push_back(std::move(row));
    }
}

} // namespace TrafficLog
