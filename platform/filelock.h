#pragma once
// What the traffic log needs from the system: a lock that one running tool
// holds on its log, so that a second instance started in the same directory
// leaves the file alone instead of cutting or interleaving it, while anyone
// may still read the log (on Windows, where locks are mandatory, it covers
// one byte far beyond the data); and writes that never wait, whatever stands
// behind the log's name.

namespace Platform {

// Takes an exclusive lock on the open file descriptor without waiting.
// Returns false only when another open file description holds it. Where the
// file system has no locks to give, it says so once on standard error and
// returns true: the file is used unlocked. The lock goes away with the
// descriptor.
bool tryLockExclusive(int fd);

// Makes writes on the descriptor give up at once when the far end cannot
// take them, instead of waiting: a pipe or a terminal behind the log's name
// whose reader has stopped would otherwise hold the GUI thread, and with it
// the whole tool, for ever. Regular files are not affected. Returns false
// when the mode cannot be set.
bool setWritesNonBlocking(int fd);

} // namespace Platform
