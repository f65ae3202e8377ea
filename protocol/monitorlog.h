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

class MonitorLog
{
public:
    // Creates the file and writes the header block.
    bool open(const std::string& path, std::string& error, bool directions = true);
    // direction: "A>B", or null for a log without directions.
    void row(const ReceivedFrame& frame, std::uint64_t index, const char* direction);
    // Hands the rows made since the last call on; false once, when writing
    // has failed and ended the log.
    bool flush();

    bool active() const { return m_spool && !m_spool->ended(); }
    // Something for flush() to hand on or say.
    bool pending() const { return m_spool && (m_spool->waiting() || (m_spool->ended() && !m_endSaid)); }
    const std::string& why() const { return m_file->why(); }
    const std::string& path() const { return m_file->path(); }
    // Rows dropped while the log could not keep up.
    std::uint64_t dropped() const { return m_spool ? m_spool->dropped() : 0; }
    std::uint64_t droppedUntilResumed() { return m_spool ? m_spool->droppedUntilResumed() : 0; }
    void drain(std::int64_t deadlineNs)
    {
        if (m_spool)
            m_spool->drain(deadlineNs);
    }

private:
    // Shared with the writer thread, which may outlive this object.
    std::shared_ptr<AppendFile> m_file = std::make_shared<AppendFile>();
    std::unique_ptr<OutputSpool> m_spool;
    std::string m_row;
    bool m_endSaid = false;
};
