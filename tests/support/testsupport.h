#pragma once
// Real parts for tests: pseudo-terminals that stand in for a serial device,
// a private config directory for the COMn links, a count of this process's
// open descriptors, a private network namespace where the tool's
// 192.168.1.N addresses live on loopback, and private /dev and
// /sys/class/tty folders where tests plug in serial adapters.
//
// Everything here needs a POSIX system; on others Pty is never valid,
// openDescriptorCount() gives -1 and enterPrivateNetwork() refuses.

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>
#include <QTemporaryFile>

namespace TestSupport {

// The master side of a new pseudo-terminal: the test plays the device at
// the master while the code under test opens slavePath(). The line starts
// in raw mode, so bytes pass unchanged both ways.
class Pty
{
public:
    Pty();
    ~Pty();

    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    bool isValid() const;
    int masterFd() const;
    QString slavePath() const;

    // Writes everything, waiting (bounded) while the line is full.
    bool write(const QByteArray& bytes);
    // Exactly n bytes, or fewer when timeoutMs passes first.
    QByteArray readExactly(int n, int timeoutMs);
    // Whatever has arrived, without waiting.
    QByteArray readAvailable();
    // Closes the master: the device has gone away.
    void hangUp();

private:
    int master = -1;
    QString slave;
};

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

// Sends what the process writes to a descriptor (standard output or error)
// to a file while it lives, so that a test can read the tool's console lines.
class OutputCapture
{
public:
    explicit OutputCapture(int fd);
    ~OutputCapture();
    OutputCapture(const OutputCapture&) = delete;
    OutputCapture& operator=(const OutputCapture&) = delete;

    QByteArray text();

private:
    QTemporaryFile file;
    int target;
    int saved = -1;
};

// Descriptors this process has open now; -1 when they cannot be counted.
int openDescriptorCount();

// Moves the calling process into a network namespace of its own that holds
// only loopback, brings lo up and puts 127.0.0.1 and 192.168.1.<host> on
// it. Affects the whole process. Without root it needs a user namespace,
// which only a process with a single thread may make, so call it from
// main() before QTest::qExec (Qt Test runs a watchdog thread). On failure
// returns false and says why in *why; callers skip with that reason.
bool enterPrivateNetwork(QString* why, int host = 154);

// Moves the calling process into a mount namespace of its own, where the
// tests decide which serial devices exist: /dev is a fresh tmpfs holding
// only null, zero, full, random, urandom, tty, shm and pseudo-terminals of a
// devpts instance of its own (pts, ptmx), with an
// empty tmpfs on /dev/serial (by-id made) and an empty tmpfs on
// /sys/class/tty. Call it from main() like enterPrivateNetwork(); on
// failure returns false and says why in *why.
bool enterPrivateDevices(QString* why);

// A TCP listener standing in for the device at 192.168.1.<host>:<port>; only
// usable inside the namespace that enterPrivateNetwork() made.
class DeviceListener
{
public:
    explicit DeviceListener(int host = 154, int port = 4500, int backlog = 16);
    ~DeviceListener();
    DeviceListener(const DeviceListener&) = delete;
    DeviceListener& operator=(const DeviceListener&) = delete;

    bool isListening() const { return fd >= 0; }
    // One accepted connection, or -1 when none comes in time.
    int accept(int timeoutMs, bool nonBlocking = false);

private:
    int fd = -1;
};

} // namespace TestSupport
