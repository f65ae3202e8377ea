#pragma once
// What the fault tests measure and check besides the window itself: memory
// and descriptors of this or another process, CPU time, a private mount
// namespace for small disks and read-only directories, a capture of
// standard output, frames in wire form, and a strict reader of the traffic
// log that tells whole rows from torn ones.

#include "testsupport.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QTemporaryFile>

#include <cstdint>
#include <functional>
#include <vector>

namespace Faults {

// ---- process figures -------------------------------------------------------

// Resident set size in bytes from /proc/<pid>/statm (0: this process); -1
// when it cannot be read.
qint64 residentBytes(qint64 pid = 0);
// Open descriptors of another process (/proc/<pid>/fd); -1 when unknown.
int descriptorCountOf(qint64 pid);
// Bytes the C library's allocator has handed out and not had back; -1 where
// that cannot be told (another allocator, such as a sanitizer's).
qint64 heapInUse();
// False under AddressSanitizer, whose quarantine keeps freed memory resident
// on purpose: there resident size says nothing about leaks, and the leak
// checker at exit does that job instead.
constexpr bool residentSizeTellsLeaks()
{
#if defined(__SANITIZE_ADDRESS__)
    return false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return false;
#else
    return true;
#endif
#else
    return true;
#endif
}
// Runs cycles(warmUp), takes the descriptors, resident size and heap in use,
// runs cycles(count) and checks that none of them grew (heap by less than 64
// bytes a cycle, resident size by less than 1 MiB where it tells leaks).
// Prints the figures under `what`. Returns an empty text when all held,
// else what went wrong.
QString growthOverCycles(const std::function<bool(int)>& cycles, int warmUp, int count, const char* what);
// Bytes the window sends to the device on the pseudo-terminal, collected
// while the event loop runs, until n have come or the time is up.
QByteArray receiveFromTool(TestSupport::Pty& pty, int n, int timeoutMs = 10000);
// CPU time (user + system) this process has used, in seconds.
double processCpuSeconds();

// ---- mounts ------------------------------------------------------------------

// Moves the calling process into a mount namespace of its own whose mounts
// do not propagate back. Call from main() while the process has one thread:
// without root it needs a user namespace, which only such a process may
// make. On failure returns false with the reason in *why.
bool enterPrivateMounts(QString* why);
// Mounts a tmpfs of `bytes` bytes (rounded up to pages) on dir, read-only
// if asked. Only inside a private mount namespace.
bool mountTmpfs(const QString& dir, qint64 bytes, bool readOnly, QString* why);
bool unmount(const QString& dir);

// ---- standard output ---------------------------------------------------------

// Sends the process's standard output (or standard error) to a file while
// it lives, so that the tool's console lines can be counted without flooding
// the test's output. At the end everything else that was printed meanwhile
// is passed on.
class OutputCapture
{
public:
    explicit OutputCapture(int fd = 1);
    ~OutputCapture();
    OutputCapture(const OutputCapture&) = delete;
    OutputCapture& operator=(const OutputCapture&) = delete;

    QByteArray text();

private:
    QTemporaryFile file;
    int target;
    int saved = -1;
};

// ---- frames ------------------------------------------------------------------

// The wire bytes of a good frame; a bad one has its checksum raised by one.
QByteArray frame(std::uint8_t type, const QByteArray& data, bool bad = false);
// A frame whose first four data bytes carry seq big-endian, followed by tail.
QByteArray numberedFrame(std::uint8_t type, std::uint32_t seq, const QByteArray& tail = QByteArray(), bool bad = false);

// ---- the traffic log ----------------------------------------------------------

struct LogRow
{
    QByteArray time;  // "hh:mm:ss,zzz"
    int type = 0;
    int len = 0;
    QByteArray data;
    int sum = 0;
    qint64 index = 0;
    // First four data bytes big-endian, or -1 for shorter frames.
    qint64 sequence() const;
};

// Parses one row without its line feed. A row is whole only when every field
// is there in its exact form, len matches the data listed and the checksum is
// the one the frame's bytes give; anything else is refused.
bool parseRow(const QByteArray& line, LogRow* row);

struct LogContents
{
    bool readable = false;
    int headers = 0;         // title lines "Korvane Bus Traffic File "
    bool headerFirst = false; // the file starts with a whole header block
    QList<LogRow> rows;      // whole rows, in file order
    QList<QByteArray> junk;  // lines after the header that are not whole rows
    bool endsMidLine = false; // the last byte is not a line feed
};

// Reads and sorts out the log in the working directory (or at path).
LogContents readLog(const QString& path = QStringLiteral("Korvane_data.csv"));

// The sequence numbers of the rows, in order.
QList<qint64> sequences(const QList<LogRow>& rows);
// True when the sequence numbers run first, first+1, ... without a gap.
bool contiguous(const QList<LogRow>& rows, qint64 first);

} // namespace Faults
