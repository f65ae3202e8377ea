#pragma once
// The monitor (--monitor A B): one single-threaded poll() loop between two
// lines. Every read on one line is written to the other at once, unchanged,
// before anything else is done with it or with a read from the other line;
// then it goes to the capture and is decoded and printed for its direction
// (A>B or B>A); what that writes is gathered and handed, within 20 ms, to
// writer threads of its own (outputspool.h), so no reader of the output can
// hold the lines up. Standard input takes "stats" and "quit"; "quit" and a
// stop signal let each line write what waits for it first, for a bounded
// time, and count the rest as dropped.
//   ready A=COM4 /dev/pts/5 B=/dev/ttyUSB0
//   connected COM4 | disconnected COM4        (a program opened/closed COMn)
//                                             bytes for a closed COMn are dropped,
//                                             and so are those it left unread
//   lost /dev/ttyUSB0: why | back /dev/ttyUSB0
//   12:34:56.789 A>B  2E 01 02 0A FF F3 [1]   (see directiondecoder.h)
//   stats ab_frames=.. ab_bad=.. ab_replies=.. ab_noise_bytes=.. ab_bytes=.. ab_dropped=..
//         ba_...=.. pcap_packets=.. lines_dropped=.. pcap_dropped=.. log_dropped=..
// The *_dropped of the outputs count whole lines, capture blocks and log
// rows that were not written because their reader did not keep up.

#include "directiondecoder.h"
#include "inputlines.h"
#include "monitorline.h"
#include "options.h"
#include "recordfiles.h"

class Monitor
{
public:
    explicit Monitor(const Options& options);
    Monitor(const Monitor&) = delete;
    Monitor& operator=(const Monitor&) = delete;

    // Runs until quit or a stop signal; returns the exit status.
    int run();

private:
    bool setUp();
    bool openOutputs();
    // What one read took from a line.
    struct Chunk
    {
        std::uint8_t bytes[16384];
        std::size_t count = 0;
        std::int64_t wallNs = 0;
    };
    // One read from `from`, written to `to` at once.
    void forward(MonitorLine& from, MonitorLine& to, Chunk& chunk);
    // Then captured and decoded, once both directions have been passed on.
    void record(const Chunk& chunk, DirectionDecoder& direction, PcapngWriter::Direction flag);
    void readInput();
    void printStats();
    // Gathered capture blocks, log rows and printed lines are handed on.
    void flushOutputs();
    // Lets each line write what waits for it, within the time that takes
    // on the line and at most maxNs; drops and counts the rest.
    void drainLines(std::int64_t maxNs, int signalFd);
    std::int64_t waitNs(std::int64_t now) const;

    Options m_options;
    MonitorLine m_a;
    MonitorLine m_b;
    RecordFiles m_files;
    MonitorLog& m_log = m_files.log;
    PcapngWriter& m_pcap = m_files.pcap;
    DirectionDecoder m_ab;
    DirectionDecoder m_ba;
    InputLines m_input;
    bool m_inputOpen = true;
    bool m_stop = false;
    std::int64_t m_outputDue = -1; // monotonic time the gathered output goes out
};
