#pragma once
// The monitor's traffic log (--log FILE): the tool's header block and rows,
// one per good frame of either direction, with a last column "dir" that
// says which way the frame went:
//   12:34:56,789,2E,01,02,0A,FF,F3,-,[1],A>B
// The index is the frame's number in its direction, as on the printed line;
// a bad frame gets a number too but no row, as the tool logs none. Rows are
// gathered and written whole by flush(); a write that fails ends the log.

#include "appendfile.h"
#include "framedecoder.h"

#include <cstdint>
#include <string>

class MonitorLog
{
public:
    // Creates the file and writes the header block.
    bool open(const std::string& path, std::string& error);
    void row(const ReceivedFrame& frame, std::uint64_t index, const char* direction);
    // Writes the rows made since the last call; false when that failed and
    // ended the log.
    bool flush();

    bool active() const { return m_file.isOpen(); }
    bool pending() const { return !m_rows.empty(); }
    const std::string& why() const { return m_file.why(); }
    const std::string& path() const { return m_file.path(); }

private:
    AppendFile m_file;
    std::string m_rows;
};
