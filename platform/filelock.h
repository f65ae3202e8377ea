#pragma once
// An advisory, whole-file lock that one running tool holds on its traffic
// log, so that a second instance started in the same directory leaves the
// file alone instead of cutting or interleaving it.

namespace Platform {

// Takes an exclusive lock on the open file descriptor without waiting.
// Returns false when another open file description holds it. The lock goes
// away with the descriptor.
bool tryLockExclusive(int fd);

} // namespace Platform
