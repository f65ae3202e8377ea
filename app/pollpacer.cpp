#include "pollpacer.h"

bool PollPacer::owed(bool full)
{
    if (!full || !clock.isValid()) {
        drained();
        return false;
    }
    ++ticks;
    // Intervals begun since the port was last found drained, that tick included. Half an
    // interval of slack either way keeps a tick that comes a little early or
    // late in its own interval.
    const qint64 intervals = (clock.elapsed() + interval / 2) / interval + 1;
    if (intervals - ticks > MaxOwed)
        ticks = intervals - MaxOwed;
    return intervals > ticks;
}
