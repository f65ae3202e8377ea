#pragma once
// Cuts standard input into lines in bounded memory: a line longer than the
// limit is kept only as the fact that it was too long, and the rest of it
// is skipped up to its end.

#include <cstddef>
#include <string>
#include <vector>

class LineSplitter
{
public:
    struct Line
    {
        std::string text;       // without the line end; empty when oversized
        bool oversized = false;
    };

    explicit LineSplitter(std::size_t limit) : m_limit(limit) {}

    // Adds bytes; each line they complete is appended to lines.
    void feed(const char* bytes, std::size_t count, std::vector<Line>& lines);
    // At the end of input: a last line without its line end is a line.
    void finish(std::vector<Line>& lines);

private:
    std::size_t m_limit;
    std::string m_partial;
    bool m_skipping = false; // in an oversized line
};
