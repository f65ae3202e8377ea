#pragma once
// The signals of a single-threaded poll() loop: SIGTERM, SIGINT and SIGHUP
// set a flag and make a pipe readable that the loop polls with its lines, so
// a stop is seen on the next turn whatever the loop is busy with (with every
// line always ready, a signal that could only land inside the wait would
// never land at all). The loop then ends at a known point and the lines are
// always cleaned up. SIGPIPE and SIGXFSZ are ignored: a vanished reader or a
// file size limit then fails the write in question instead of killing the
// process.

#include <csignal>

namespace LoopSignals {

// Sets the signals up; returns the descriptor to poll for reading, -1 when
// no pipe could be made (the flag still works, at the next wake-up).
int prepare();
// Stop signals that have arrived so far.
int stopCount();
inline bool stopRequested() { return stopCount() > 0; }
// Empties the pipe, so it can be polled again for a further signal.
void clear();

} // namespace LoopSignals
