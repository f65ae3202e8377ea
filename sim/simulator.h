#pragma once
// The simulated device: one single-threaded ppoll() loop over the link end,
// standard input and the frame timetable (a stream or a replayed log). It decodes and answers what the
// tool sends, sends what the command line and standard input ask for, and
// prints the events (see report.h).

#include "commands.h"
#include "endpoint.h"
#include "framedecoder.h"
#include "framesource.h"
#include "inputlines.h"
#include "options.h"
#include "outqueue.h"
#include "report.h"

#include <cstdio>
#include <memory>
#include <string>

class Simulator : public FrameSink, public ChunkListener
{
public:
    explicit Simulator(const Options& options);
    ~Simulator() override;
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Runs until quit, a signal or the end of a bounded run; returns the exit status.
    int run();

private:
    void frameReceived(const ReceivedFrame& frame) override;
    void replyReceived(std::uint8_t reply) override;
    void chunkWritten(ChunkKind kind, std::int64_t seq, std::size_t bytes, std::int64_t wallNs) override;

    bool setUp();
    bool loadReplay();
    // Returns true when the peer was found gone.
    bool readPeer();
    void writePeer();
    void takePeer();
    // Prints connected/disconnected when the tool came or went.
    void notePresence();
    // A lost peer (the tool went) or the user's close/rst.
    // A serial device that went away is tried again every second instead.
    void dropPeer(bool byUser, bool reset, const std::string& why = std::string());
    // Another try at a lost serial device, when one is due.
    void retryLink(std::int64_t now);
    // Time that queued output gets to go out after "quit".
    static constexpr std::int64_t QuitDrainNs = 2000000000LL;

    void readInput();
    void execute(const std::string& line);
    void queueFrame(std::uint8_t type, const std::vector<std::uint8_t>& data, bool bad);
    std::int64_t waitNs(std::int64_t now) const;
    std::size_t queueLimit() const;
    void printStats();

    Options m_options;
    std::unique_ptr<Endpoint> m_link;
    FrameDecoder m_decoder;
    std::unique_ptr<FrameSource> m_source;
    OutQueue m_out;
    SimStats m_stats;
    std::uint64_t m_rxIndex = 0;
    std::FILE* m_timestamps = nullptr;

    InputLines m_input;
    bool m_present = false;     // the tool is there (connected / has COMn open)
    bool m_inputOpen = true;
    bool m_started = false;     // the --frame stream may run (false under --hold until "start")
    bool m_quitting = false;
    bool m_stop = false;
    std::int64_t m_drainUntil = -1;
    std::int64_t m_lingerUntil = -1;
    int m_exitCode = 0;
};
