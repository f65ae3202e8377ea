#pragma once
// What --log and --pcap keep of a run: the window's traffic log rows of the
// good frames received and a pcapng capture of both directions, written by
// the shared writers (monitorlog.h, pcapngwriter.h) on threads of their own.

#include "framedecoder.h"
#include "recordfiles.h"

#include <cstdint>
#include <climits>
#include <string>

class Recording
{
public:
    Recording() = default;
    Recording(const Recording&) = delete;
    Recording& operator=(const Recording&) = delete;

    // Creates the files asked for (an empty path: none); false, with the
    // reason, when one cannot be written. The capture names the port.
    bool open(const std::string& logPath, const std::string& pcapPath, const std::string& port, std::string& error);
    // What was read from the line (inbound) or written to it.
    void packet(bool inbound, std::int64_t wallNs, const std::uint8_t* bytes, std::size_t count);
    // A good frame received, numbered as the window numbers its lines.
    void row(const ReceivedFrame& frame, std::uint64_t index);
    // Hands on what was gathered; says on standard error, as the monitor
    // does, a file that stopped being written and the rows or packets
    // dropped while one could not keep up.
    void flush();
    // Waits for the writers, at most until the monotonic deadline.
    void drain(std::int64_t deadlineNs);

    // Rows and packets that the files lack so far: those dropped while a
    // file could not keep up, and after drain() also those still waiting
    // for it then, or given after its writes failed.
    RecordFiles::Lacking dropped() const;
    // The counts for a "dropped" event, when they changed since the last
    // one and that was at least a second before nowNs (monotonic); a nowNs
    // of Final, at the end, reports a change at once.
    bool dropReport(std::int64_t nowNs, RecordFiles::Lacking& counts);
    static constexpr std::int64_t Final = INT64_MAX;
    // When a change not yet reported is due (monotonic), or -1.
    std::int64_t dropReportDueNs() const;
    // The run's last word on its record: empty when the files lack nothing.
    std::string summary() const;

private:
    RecordFiles m_files;
    bool m_drained = false;
    RecordFiles::Lacking m_reported;
    std::int64_t m_reportedNs = 0;
};
