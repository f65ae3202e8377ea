#pragma once
// Standard input and output of the client and the wait for them and the
// line together. On POSIX one poll() covers standard input and the line's
// descriptor. On Windows a thread reads standard input, and the line is
// looked at every millisecond, since its handle cannot be waited on beside
// a pipe.

#include <cstddef>
#include <memory>
#include <string>

class Console
{
public:
    Console();
    ~Console();
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    struct Ready
    {
        bool input = false;  // standard input has bytes or its end
        bool line = false;   // the line may have bytes (or room): look at it
        bool hungUp = false; // the line's far end hung up
    };
    // Waits up to timeoutMs (-1: no limit) for standard input, when
    // watchInput, or for the line's descriptor, when it is not -1: for
    // bytes to read, and for room to write when lineRoom.
    Ready wait(int lineDescriptor, bool watchInput, bool lineRoom, int timeoutMs);

    // Takes what standard input has: the count, 0 at its end, -1 for
    // nothing now.
    long readInput(char* buffer, std::size_t size);
    // Writes all of text; false once standard output is gone (its reader
    // closed it): the caller then lets the port go and ends.
    bool writeOutput(const std::string& text);

private:
    struct Reader;
    std::unique_ptr<Reader> m_reader; // Windows only
};
