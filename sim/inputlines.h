#pragma once
// Commands typed on standard input, handed out a whole line at a time, so a
// command split over two reads is still one command. A line longer than
// MaxLine is no command: it is discarded, with one message, and costs no
// more memory or time than MaxLine bytes, however long it runs.

#include <cstddef>
#include <string>
#include <vector>

class InputLines
{
public:
    static constexpr std::size_t MaxLine = 4096;

    // Reads what fd has and appends each finished line, without its "\n" or
    // "\r\n", to lines. Returns false at the end of the input, after handing
    // out an unfinished last line as well.
    bool read(int fd, std::vector<std::string>& lines);

private:
    std::string m_partial;
    bool m_discarding = false; // in a line that was too long, up to its end
};
