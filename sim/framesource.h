#pragma once
// Where the frames the device sends on its own come from: the command line's
// stream (FrameScheduler) or a replayed traffic log (LogReplay). The
// simulator runs a source only while the tool is there and pauses it
// otherwise; a resumed source goes on from where it stopped.

#include "outqueue.h"

#include <cstddef>
#include <cstdint>

class FrameSource
{
public:
    virtual ~FrameSource() = default;

    virtual bool hasWork() const = 0;
    virtual bool running() const = 0;
    virtual bool finished() const = 0;
    // Paced sources queue a frame only when all before it are out, so a tool
    // that does not read never gets a stale burst later.
    virtual bool paced() const = 0;

    // Starts (or, after a pause, resumes) with the next frame due at nowNs.
    virtual void start(std::int64_t nowNs) = 0;
    virtual void pause() = 0;
    // Queues the frames that are due at nowNs while the queue holds fewer
    // than queueLimit bytes.
    virtual void emitDue(std::int64_t nowNs, OutQueue& queue, std::size_t queueLimit) = 0;
    // Monotonic time of the next frame, or -1 when none is pending on time.
    virtual std::int64_t nextDeadline() const = 0;
};
