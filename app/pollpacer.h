#pragma once

#include <QElapsedTimer>
#include <QtGlobal>

// Keeps the receive poll at one tick per interval on average. The poll
// timer keeps a steady timetable but skips the ticks it missed when the
// process was held up (a busy machine), and at 100 bytes a tick every
// skipped tick leaves 100 bytes behind for good on a line that fills the
// poll. The pacer counts the intervals since the port was last found
// drained against the ticks since, and says when a full tick is owed one
// more: the poll then runs it at once, with the same 100-byte cap. At most a
// second's worth of ticks is owed; over time there is still one tick per
// interval.
class PollPacer
{
public:
    explicit PollPacer(int intervalMs) : interval(intervalMs) {}

    // Counts a tick and says whether an extra tick is owed now. A tick that
    // read less than a full poll left nothing behind.
    bool owed(bool full);
    // A tick found nothing waiting: the count starts from here.
    void drained()
    {
        clock.start();
        ticks = 1;
    }
    // The poll starts anew (a link opens): no tick is owed for the time it
    // was stopped, and the first tick starts the count.
    void restart()
    {
        clock.invalidate();
        ticks = 0;
    }

private:
    static constexpr qint64 MaxOwed = 100;

    int interval;
    QElapsedTimer clock; // runs from the last tick that drained the port
    qint64 ticks = 0;    // ticks since then, that one included
};
