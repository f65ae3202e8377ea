#pragma once
// Output that the loop hands on and never waits for: printed lines, capture
// blocks, log rows. A thread of its own writes them, so a terminal paused
// with Ctrl-S, a pipe into a pager that stopped or a FIFO that Wireshark
// reads live and then pauses holds up that thread only, never the lines.
// A regular file takes every write at once, so there the loop writes
// itself, one write per flush, and no thread is woken.
// What waits is bounded: once it is full, each new piece (a whole line,
// block or row) is dropped whole and counted, so what gets written is
// always whole pieces and a capture stays readable.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class OutputSpool
{
public:
    // Writes one batch of whole pieces, on the spool's thread; false ends the
    // spool (nothing more is written, later pieces are not kept).
    using Writer = std::function<bool(const std::string& batch)>;

    // threaded: false for a regular file, written by flush() itself.
    // tendNs: how often the thread calls the writer with an empty batch
    // while it has nothing to write (0: never).
    OutputSpool(std::size_t limit, Writer writer, bool threaded = true, std::int64_t tendNs = 0);
    OutputSpool(const OutputSpool&) = delete;
    OutputSpool& operator=(const OutputSpool&) = delete;
    // Lets go of a thread still stuck in a write instead of waiting for it.
    ~OutputSpool();

    // One whole piece, gathered until flush(); false when it was dropped.
    bool put(const char* data, std::size_t size);
    bool put(const std::string& piece) { return put(piece.data(), piece.size()); }
    // A printed line, its line feed added.
    bool putLine(const std::string& text);
    // Hands what was gathered to the thread: one write for all of it.
    void flush();
    bool gathered() const { return !m_gathered.empty(); }
    // Something still to hand on, to be written, or to be said: the loop
    // should come back to flush() soon.
    bool waiting() const { return !m_gathered.empty() || m_shared->held > 0 || m_dropped != m_droppedSaid; }
    // Flushes and waits until all is written or the monotonic deadline has
    // passed; true when all is out.
    bool drain(std::int64_t deadlineNs);

    std::uint64_t dropped() const { return m_dropped; }
    // The pieces dropped since the last call, once writing has caught up
    // with everything kept (0 before that): said once when output resumes.
    std::uint64_t droppedUntilResumed();
    // The writer gave up (the capture's disk is full, ...).
    bool ended() const;

private:
    struct Shared
    {
        std::mutex mutex;
        std::condition_variable wake;   // work for the thread, or stop
        std::condition_variable idle;   // a batch was written
        std::string queue;              // handed on, not yet taken
        std::atomic<std::size_t> held{0}; // queued and being written
        bool stop = false;
        bool busy = false;
        std::atomic<bool> ended{false};
    };
    static void run(std::shared_ptr<Shared> shared, Writer writer, std::int64_t tendNs);

    std::size_t m_limit;
    Writer m_direct; // set when there is no thread
    std::shared_ptr<Shared> m_shared;
    std::thread m_thread;
    std::string m_gathered;
    std::uint64_t m_dropped = 0;
    std::uint64_t m_droppedSaid = 0;
};

// The part of a spooled file's writer (the capture, the monitor's log) that
// its caller sees: whether it still writes, what waits, what was dropped,
// and the one report that writing ended.
class SpooledOutput
{
public:
    // Hands what was gathered on; false once, when writing has failed and
    // ended the output.
    bool flush();
    bool active() const { return m_spool && !m_spool->ended(); }
    // Something for flush() to hand on or say.
    bool pending() const { return m_spool && (m_spool->waiting() || (m_spool->ended() && !m_endSaid)); }
    // Pieces dropped while the output could not keep up.
    std::uint64_t dropped() const { return m_spool ? m_spool->dropped() : 0; }
    // Pieces given to the output, dropped or not: once it is drained, those
    // not in the file are all that the file lacks.
    std::uint64_t offered() const { return m_offered; }
    std::uint64_t droppedUntilResumed() { return m_spool ? m_spool->droppedUntilResumed() : 0; }
    // Waits for what was handed on, at most until the monotonic deadline.
    void drain(std::int64_t deadlineNs)
    {
        if (m_spool)
            m_spool->drain(deadlineNs);
    }

protected:
    std::unique_ptr<OutputSpool> m_spool; // made when the file is opened
    std::uint64_t m_offered = 0;
    // What the writer thread, which may outlive this object, counts as
    // written: packets, or lines.
    std::shared_ptr<std::atomic<std::uint64_t>> m_written = std::make_shared<std::atomic<std::uint64_t>>(0);

private:
    bool m_endSaid = false;
};
