#pragma once
// The signals of a single-threaded ppoll() loop: SIGTERM, SIGINT and SIGHUP
// are blocked everywhere except inside ppoll(), so they end the loop at a
// known point and the lines are always cleaned up. SIGPIPE and SIGXFSZ are
// ignored: a vanished reader or a file size limit then fails the write in
// question instead of killing the process.

#include <csignal>

namespace LoopSignals {

// Sets the signals up and returns the mask to hand to ppoll().
sigset_t prepare();
// A stop signal has arrived.
bool stopRequested();

} // namespace LoopSignals
