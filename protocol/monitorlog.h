#pragma once
// The monitor's traffic log (--log FILE): the tool's header block and rows,
// one per good frame of either direction, with a last column "dir" that
// says which way the frame went:
//   12:34:56,789,2E,01,02,0A,FF,F3,-,[1],A>B
// Without directions (the command-line client, which logs what the device
// sent) the header and rows are the tool's own, without that column.
// The index is the frame's number in its direction, as on the printed line;
// a bad frame gets a number too but no row, as the tool logs none. Rows are
// gathered and handed whole to a writer thread by flush() (outputspool.h);
// when it cannot keep up, whole rows are dropped and counted. A write that
// fails ends the log. The file takes the tool's own log lock, so a log that
// a running tool writes is refused, not emptied.

#include "appendfile.h"
#include "framedecoder.h"
#include "outputspool.h"

#include <cstdint>
#include <memory>
#include <string>

class MonitorLog : public SpooledOutput
{
public:
    // Creates the file and writes the header block, dated now or, for rows
    // of another day, at headerWallNs.
    bool open(const std::string& path, std::string& error, bool directions = true, std::int64_t headerWallNs = 0);
    // Closes it and removes it when open() made it.
    void discard();
    // direction: "A>B", or null for a log without directions.
    void row(const ReceivedFrame& frame, std::uint64_t index, const char* direction);
    // Rows in the file so far.
    std::uint64_t rows() const { return *m_written > m_headerLines ? *m_written - m_headerLines : 0; }
    const std::string& why() const { return m_file->why(); }
    const std::string& path() const { return m_file->path(); }

private:
    // Shared with the writer thread, which may outlive this object.
    std::shared_ptr<AppendFile> m_file = std::make_shared<AppendFile>();
    std::string m_row;
    std::uint64_t m_headerLines = 0;
};
