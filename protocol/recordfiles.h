#pragma once
// What a run keeps of the traffic (--log and --pcap), opened together for
// the monitor and korvane-cli alike. Two names for one file are refused,
// through links or not, also when that file is not there yet; a file that
// the refused run made is removed again.

#include "monitorlog.h"
#include "pcapngwriter.h"

#include <cstdint>
#include <string>
#include <vector>

struct RecordFiles
{
    MonitorLog log;
    PcapngWriter pcap;

    // What the capture's section header and interface say made it.
    struct Source
    {
        std::string application;   // "korvane-cli 1.4.0"
        std::string interfaceName; // the port, or the monitor's two lines
        std::string description;
    };

    // An empty path: that file is not kept. directions: the log's "dir"
    // column. False, with the reason, when the run cannot keep them.
    bool open(const std::string& logPath, bool directions, const std::string& pcapPath,
              const Source& source, std::string& error);
    // Hands on what was gathered; returns what there is to tell, once each:
    // a file that stopped being written (goesOn: what goes on without it),
    // and rows or packets dropped, once writing has caught up.
    std::vector<std::string> flush(const std::string& goesOn);

    // Log rows and capture packets not in their files.
    struct Lacking
    {
        std::uint64_t logRows = 0;
        std::uint64_t pcapPackets = 0;
        bool any() const { return logRows > 0 || pcapPackets > 0; }
        bool operator!=(const Lacking& other) const { return logRows != other.logRows || pcapPackets != other.pcapPackets; }
    };
    // Dropped so far, while the files could not keep up.
    Lacking dropped() const { return {log.dropped(), pcap.dropped()}; }
    // Everything given that is not in the files: once they are drained, also
    // what was still waiting for a stalled reader, or came after a failed
    // write.
    Lacking lacking() const;
};
