#pragma once
// Test harness for korvane-sim: the simulator as a child process with a
// private ports folder, read line by line; the tool's end of its
// pseudo-terminal and of its TCP port; and a small independent frame parser
// to check what the simulator sends.

#include <QByteArray>
#include <QDeadlineTimer>
#include <QMap>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdint>
#include <vector>

namespace SimHarness {

constexpr int WaitMs = 10000;

// One korvane-sim process. Its $XDG_CONFIG_HOME is a fresh temporary folder
// unless the test sets up the environment itself.
class Sim
{
public:
    Sim();
    ~Sim();
    Sim(const Sim&) = delete;
    Sim& operator=(const Sim&) = delete;

    QProcessEnvironment& environment() { return m_env; }
    QString configHome() const { return m_config.path(); }
    QString portsDir() const { return m_config.path() + QStringLiteral("/korvane/ports"); }

    // Starts the simulator from $KORVANE_SIM (set by CTest) with the arguments.
    bool start(const QStringList& arguments);
    // Starts and waits for the ready line; its match is returned in readyMatch.
    bool startReady(const QStringList& arguments, QRegularExpressionMatch* readyMatch = nullptr);

    void command(const QByteArray& line);
    // The first line from index `from` on that matches; an invalid match on timeout.
    QRegularExpressionMatch waitLine(const QRegularExpression& pattern, int from = 0, int timeoutMs = WaitMs);
    // The same, giving the line's index in lines(), or -1 on timeout.
    int waitLineIndex(const QRegularExpression& pattern, int from = 0, int timeoutMs = WaitMs);
    // Sends "stats" and waits for the stats line it prints; fields are returned by name.
    QMap<QString, qint64> stats();
    static QMap<QString, qint64> parseStats(const QString& line);

    // Waits for the process to end; returns its exit code, or -1 on timeout or a crash.
    int waitExit(int timeoutMs = WaitMs);
    void signal(int number);

    const QStringList& lines() { collect(); return m_lines; }
    QString errorOutput() { collect(); return QString::fromLocal8Bit(m_errors); }
    QString describe(); // everything printed so far, for failure messages
    qint64 pid() const { return m_process.processId(); }

private:
    void collect();

    QTemporaryDir m_config;
    QProcessEnvironment m_env;
    QProcess m_process;
    QStringList m_lines;
    QByteArray m_partial;
    QByteArray m_errors;
};

// A file descriptor read and written with deadlines: the tool's end of the
// simulator's pseudo-terminal or TCP connection.
class Peer
{
public:
    Peer() = default;
    ~Peer();
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    // Opens a terminal in raw mode, as the tool opens COMn.
    bool openTerminal(const QString& path);
    bool connectLoopback(quint16 port);
    void close();
    bool isOpen() const { return m_fd >= 0; }

    bool write(const QByteArray& bytes);
    // Reads until `count` bytes have come (or the deadline, EOF or an error);
    // chunk limits each read, to play a slow reader.
    QByteArray read(int count, int timeoutMs = WaitMs, int chunk = 65536);
    // Waits for the end of the stream. Returns 0 on an orderly end, the errno
    // of a failed read (EIO for a hung-up terminal, ECONNRESET), or -1 on timeout.
    int waitEnd(int timeoutMs = WaitMs);

private:
    int m_fd = -1;
};

// A frame as a receiver sees it, for checking the simulator's output.
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
std::uint8_t checksum(std::uint8_t type, const std::vector<std::uint8_t>& data);
QByteArray frameBytes(std::uint8_t type, const QByteArray& data, bool goodChecksum = true);

// The simulator's ready line: "ready COMn /dev/pts/N" or "ready ADDR:PORT".
QRegularExpression serialReady(const QString& name);
QRegularExpression tcpReady();

} // namespace SimHarness
