#pragma once
// Commands typed on standard input, handed out a whole line at a time, so a
// command split over two reads is still one command.

#include <string>
#include <vector>

class InputLines
{
public:
    // Reads what fd has and appends each finished line, without its "\n" or
    // "\r\n", to lines. Returns false at the end of the input, after handing
    // out an unfinished last line as well.
    bool read(int fd, std::vector<std::string>& lines);

private:
    std::string m_partial;
};
