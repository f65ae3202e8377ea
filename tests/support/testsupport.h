#pragma once
// Real parts for the test suites, the benchmarks and the soak: descriptors
// with deadlines (pseudo-terminals standing in for a serial device, the
// tool's end of a terminal, sockets), a private config directory for the
// COMn links, private network and mount namespaces, child processes read
// line by line (the device simulator, the window host), figures of a
// process, captured console output, frames in wire form and a strict reader
// of the traffic log.
//
// Everything here needs a POSIX system; on Windows only the window and panel
// suites run, and they use the header-only window helpers.

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QMap>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>

#include <cstdint>
#include <functional>
#include <future>
#include <vector>

#include <unistd.h>

namespace TestSupport {

constexpr int WaitMs = 10000;

// ---- descriptors ---------------------------------------------------------------

// A descriptor read and written with deadlines: the device's end of a
// pseudo-terminal, the tool's end of a terminal, or a socket.
class Stream
{
public:
    Stream() = default;
    // Takes over fd (made non-blocking); -1 leaves the stream closed.
    explicit Stream(int fd);
    virtual ~Stream();
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    bool isOpen() const { return m_fd >= 0; }
    int fd() const { return m_fd; }
    // Opens a terminal in raw mode, as the tool opens COMn.
    bool openTerminal(const QString& path);
    bool connectLoopback(quint16 port);
    void close();

    // Writes everything, waiting (bounded) while the far end is full.
    bool write(const QByteArray& bytes, int timeoutMs = WaitMs);
    // Reads until `count` bytes have come (or the deadline, EOF or an error);
    // chunk limits each read, to play a slow reader.
    QByteArray read(int count, int timeoutMs = WaitMs, int chunk = 65536);
    // Whatever has arrived, without waiting.
    QByteArray readAvailable();
    // Waits for the end of the stream. Returns 0 on an orderly end, the errno
    // of a failed read (EIO for a hung-up terminal, ECONNRESET), or -1 on timeout.
    int waitEnd(int timeoutMs = WaitMs);

protected:
    int m_fd = -1;
};

// The master side of a new pseudo-terminal: the test plays the device at
// the master while the code under test opens slavePath(). The line starts
// in raw mode, so bytes pass unchanged both ways.
class Pty : public Stream
{
public:
    Pty();
    bool isValid() const { return isOpen(); }
    QString slavePath() const { return slave; }
    // Closes the master: the device has gone away.
    void hangUp() { close(); }

private:
    QString slave;
};

// Bytes the window sends to the device, collected while the event loop
// runs, until n have come or the time is up.
QByteArray receiveFromTool(Stream& device, int n, int timeoutMs = WaitMs);

// Makes a FIFO at path and opens it for reading, without waiting for a
// writer (a live capture's reader); -1 when either fails.
int fifoReader(const QString& path);

// ---- the ports folder -----------------------------------------------------------

// A temporary directory set as $XDG_CONFIG_HOME while it lives (the old
// value comes back afterwards), holding korvane/ports for COMn links.
class PortsDir
{
public:
    PortsDir();
    ~PortsDir();
    PortsDir(const PortsDir&) = delete;
    PortsDir& operator=(const PortsDir&) = delete;

    bool isValid() const;
    QString portsPath() const;
    // Makes (or replaces) the symbolic link korvane/ports/<comName> -> target.
    bool link(const QString& comName, const QString& target);

private:
    QTemporaryDir dir;
    QByteArray oldValue;
    bool hadOldValue = false;
};

// ---- private namespaces -----------------------------------------------------------

// These move the whole calling process. Without root they need a user
// namespace, which only a process with a single thread may make, so call
// them from main() before QTest::qExec (Qt Test runs a watchdog thread). On
// failure they return false and say why in *why; callers skip with that
// reason.

// A network namespace that holds only loopback, with lo up and 127.0.0.1
// and 192.168.1.<host> on it.
bool enterPrivateNetwork(QString* why, int host = 154);
// A mount namespace whose mounts do not propagate back.
bool enterPrivateMounts(QString* why);
// A private mount namespace where the tests decide which serial devices
// exist: /dev is a fresh tmpfs holding only null, zero, full, random,
// urandom, tty, shm and the pseudo-terminals of a devpts instance of its own
// (pts, ptmx), with an empty tmpfs on /dev/serial (by-id and by-path made)
// and empty tmpfs on /sys/class/tty and /sys/dev/char.
bool enterPrivateDevices(QString* why);
// Mounts a tmpfs of `bytes` bytes (rounded up to pages) on dir, read-only
// if asked. Only inside a private mount namespace.
bool mountTmpfs(const QString& dir, qint64 bytes, bool readOnly, QString* why);
bool unmount(const QString& dir);

// main() of a suite whose whole process lives in a private namespace:
// enter(&why) runs while the process has one thread, then Test(entered, why)
// runs under App and skips what needs the namespace when it was not made.
template <class App, class Test, class Enter>
int execIsolated(int argc, char** argv, Enter enter)
{
    QString why;
    const bool entered = enter(&why);
    App app(argc, argv);
    Test test(entered, why);
    return QTest::qExec(&test, argc, argv);
}

// A TCP listener standing in for the device at 192.168.1.<host>:<port>; only
// usable inside the namespace that enterPrivateNetwork() made.
class DeviceListener
{
public:
    explicit DeviceListener(int host = 154, int port = 4500, int backlog = 16);
    // Listens on a dotted address (127.0.0.1 outside a private namespace);
    // port 0 takes a free one, which port() then gives.
    DeviceListener(const QByteArray& address, int port, int backlog = 16);
    ~DeviceListener();
    DeviceListener(const DeviceListener&) = delete;
    DeviceListener& operator=(const DeviceListener&) = delete;

    bool isListening() const { return fd >= 0; }
    // One accepted connection, or -1 when none comes in time.
    int accept(int timeoutMs, bool nonBlocking = false);
    int port() const;

private:
    void listenOn(const QByteArray& address, int port, int backlog);
    int fd = -1;
};

// A server on loopback that accepts one connection on another thread and
// writes `greeting` at once, so that a telnet client's negotiation meets it
// while the connect still holds the caller (the window's open, say).
struct FakeServer
{
    DeviceListener listener;
    std::future<int> accepted;

    explicit FakeServer(int port = 0)
        : listener("127.0.0.1", port)
    {
    }
    void serve(const QByteArray& greeting)
    {
        accepted = std::async(std::launch::async, [this, greeting] {
            const int fd = listener.accept(WaitMs);
            if (fd >= 0 && !greeting.isEmpty())
                Stream(::dup(fd)).write(greeting);
            return fd;
        });
    }
};

// ---- child processes ----------------------------------------------------------------

// Whether a child sees this process's $XDG_CONFIG_HOME (and so the ports of
// a PortsDir) or a fresh temporary one of its own.
enum ConfigHome { InheritedConfig, OwnConfig };

// A child process read line by line: the device simulator, the window host.
// It runs on the offscreen platform in this process's environment as it is
// at construction. Waits keep this process's event loop turning, so a window
// under test works on meanwhile. The child is killed at the end.
class Child
{
public:
    explicit Child(ConfigHome config = InheritedConfig);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    QProcessEnvironment& environment() { return m_env; }
    QString configHome() const { return m_config.path(); }
    QString portsDir() const { return m_config.path() + QStringLiteral("/korvane/ports"); }

    bool start(const QString& program, const QStringList& arguments, const QString& workDir = QString());
    // Starts the simulator from $KORVANE_SIM (set by CTest).
    bool startSim(const QStringList& arguments);
    // Starts the simulator and waits for its ready line, returned in readyMatch.
    bool startReady(const QStringList& arguments, QRegularExpressionMatch* readyMatch = nullptr);

    void command(const QByteArray& line);
    // The first line from index `from` on that matches; an invalid match on timeout.
    QRegularExpressionMatch waitLine(const QRegularExpression& pattern, int from = 0, int timeoutMs = WaitMs);
    // The same, giving the line's index in lines(), or -1 on timeout.
    int waitLineIndex(const QRegularExpression& pattern, int from = 0, int timeoutMs = WaitMs);
    // Sends a command and waits for a matching line printed after it.
    QRegularExpressionMatch ask(const QByteArray& line, const QRegularExpression& pattern, int timeoutMs = WaitMs);
    // Sends "stats" and waits for the stats line it prints; fields by name.
    QMap<QString, qint64> stats();
    static QMap<QString, qint64> parseStats(const QString& line);

    // Waits for the process to end; returns its exit code, or -1 on timeout or a crash.
    int waitExit(int timeoutMs = WaitMs);
    bool signal(int number);

    const QStringList& lines() { collect(); return m_lines; }
    QString errorOutput() { collect(); return QString::fromLocal8Bit(m_errors); }
    QString describe(); // everything printed so far, for failure messages
    qint64 pid() const { return m_process.processId(); }
    QProcess& process() { return m_process; }

private:
    void collect();

    QTemporaryDir m_config;
    QProcessEnvironment m_env;
    QProcess m_process;
    QStringList m_lines;
    QByteArray m_partial;
    QByteArray m_errors;
};

// Debian's ser2net serving a device as labgrid's exporter does, RFC 2217
// over telnet with max-connections: 10, listening on 127.0.0.1 only.
class Ser2net
{
public:
    // Starts it in front of `device` on a free port and waits until it
    // listens, without connecting (a connection would open the device). False
    // with the reason in *why.
    bool start(const QString& device, QString* why);
    void stop();
    int port() const { return m_port; }
    QString url() const { return QStringLiteral("rfc2217://127.0.0.1:%1").arg(m_port); }
    Child& process() { return m_child; }

private:
    QTemporaryDir m_dir;
    Child m_child;
    int m_port = 0;
};

// ---- process figures ------------------------------------------------------------------

// Descriptors this process has open now; -1 when they cannot be counted.
int openDescriptorCount();
// This process's descriptors open on the file at path (an absolute path
// without links), also once the file is gone: exact where a count of all
// descriptors would also see what Qt or the C library opened meanwhile.
int descriptorsOn(const QString& path);
// Open descriptors of another process (/proc/<pid>/fd); -1 when unknown.
int descriptorCountOf(qint64 pid);
// Resident set size in bytes from /proc/<pid>/statm (0: this process); -1
// when it cannot be read.
qint64 residentBytes(qint64 pid = 0);
// The most another process has had resident so far (VmHWM); -1 when unknown.
qint64 peakResidentBytes(qint64 pid);
// Bytes the C library's allocator has handed out and not had back; -1 where
// that cannot be told (another allocator, such as a sanitizer's).
qint64 heapInUse();
// CPU time (user + system) this process has used, in seconds.
double processCpuSeconds();
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

// ---- console output ---------------------------------------------------------------------

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

// ---- frames -------------------------------------------------------------------------------

// The wire bytes of a good frame; a bad one has its checksum raised by one.
QByteArray frame(std::uint8_t type, const QByteArray& data, bool bad = false);
// A frame whose first four data bytes carry seq big-endian, followed by tail.
QByteArray numberedFrame(std::uint8_t type, std::uint32_t seq, const QByteArray& tail = QByteArray(), bool bad = false);
std::uint8_t checksum(std::uint8_t type, const std::vector<std::uint8_t>& data);

// A frame as a receiver sees it, for checking what the simulator sends.
struct Frame
{
    std::uint8_t type = 0;
    std::vector<std::uint8_t> data;
    std::uint8_t checksum = 0;
    bool good = false;
};

// Splits a byte stream into frames; bytes outside frames are collected in
// `between`. A trailing incomplete frame is left in `rest`.
struct Parsed
{
    std::vector<Frame> frames;
    QByteArray between;
    QByteArray rest;
};
Parsed parseStream(const QByteArray& bytes);

// The simulator's ready line: "ready COMn /dev/pts/N" or "ready ADDR:PORT".
QRegularExpression serialReady(const QString& name);
QRegularExpression tcpReady();

// ---- the traffic log -------------------------------------------------------------------------

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

// A whole log as the tool writes it: the header block for `started`, then
// one row per frame (wire bytes, start byte to checksum), the k-th stamped
// k * stepMs after started, with indices from 1. A frame of `junk` lines
// (not starting with 2E) goes in as that line unchanged.
QByteArray makeLog(const QList<QByteArray>& frames, const QDateTime& started, int stepMs);

// Reads and sorts out the log in the working directory (or at path).
LogContents readLog(const QString& path = QStringLiteral("Korvane_data.csv"));
// The lines of the log in the working directory that hold a frame, as a
// person reading the file would pick them out.
QStringList logRows();

// The sequence numbers of the rows, in order.
QList<qint64> sequences(const QList<LogRow>& rows);
// True when the sequence numbers run first, first+1, ... without a gap.
bool contiguous(const QList<LogRow>& rows, qint64 first);

} // namespace TestSupport
