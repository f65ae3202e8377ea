// SerialPort against real pseudo-terminals linked as COMn in a private
// config directory: the test plays the device at the master side.
#include "serialport.h"
#include "testsupport.h"

#include <QtTest>

#include <cerrno>
#include <cstring>
#include <memory>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

using TestSupport::PortsDir;
using TestSupport::Pty;

using win::posix::callCount;

namespace {

int writeBytes(SerialPort& port, const QByteArray& bytes)
{
    return port.write(reinterpret_cast<const unsigned char*>(bytes.constData()), int(bytes.size()));
}

QByteArray allByteValues()
{
    QByteArray bytes(256, '\0');
    for (int i = 0; i < 256; ++i)
        bytes[i] = char(i);
    return bytes;
}

// Puts the line of a pseudo-terminal into the cooked state a fresh terminal
// has (echo, line editing, CR/LF translation, XON/XOFF, 7E1 at 9600), so
// that a test sees what opening the port changes.
bool makeCooked(const Pty& pty)
{
    struct termios t;
    if (::tcgetattr(pty.fd(), &t) != 0)
        return false;
    t.c_iflag = ICRNL | IXON | IXOFF | BRKINT | ISTRIP;
    t.c_oflag = OPOST | ONLCR;
    t.c_lflag = ECHO | ECHOE | ICANON | ISIG | IEXTEN;
    t.c_cflag = CS7 | PARENB | CREAD | HUPCL | CRTSCTS;
    ::cfsetispeed(&t, B9600);
    ::cfsetospeed(&t, B9600);
    return ::tcsetattr(pty.fd(), TCSANOW, &t) == 0;
}

// Reads from the port until `count` bytes have come or five seconds pass.
QByteArray drain(SerialPort& port, int count)
{
    QByteArray got;
    (void)QTest::qWaitFor([&] {
        char buffer[100];
        if (port.available() > 0) {
            const int n = port.read(buffer, int(sizeof buffer));
            got.append(buffer, n);
        }
        return got.size() >= count;
    }, 5000);
    return got;
}

// The flags word of /proc/self/fdinfo for every descriptor open on `path`.
QList<int> openFlagsOf(const QString& path)
{
    QList<int> flags;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString& fd : fds.entryList(QDir::Files | QDir::System)) {
        if (QFileInfo(fds.filePath(fd)).symLinkTarget() != path)
            continue;
        QFile info(QStringLiteral("/proc/self/fdinfo/") + fd);
        if (!info.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray& line : info.readAll().split('\n')) {
            if (line.startsWith("flags:"))
                flags << line.mid(6).trimmed().toInt(nullptr, 8);
        }
    }
    return flags;
}

// Runs `body` in a child process and returns its exit status, or -1.
template <typename Body>
int inChild(Body body)
{
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(body());
    if (pid < 0)
        return -1;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

class SerialPortTest : public QObject
{
    Q_OBJECT

private slots:
    void openCloseAndReopen();
    void openWhileOpenKeepsTheFirstDevice();
    void openRefused_data();
    void openRefused();
    void secondOpenRefused();
    void secondOpenFromAnotherProcessRefused();
    void openSetsRaw38400_8N1();
    void allByteValuesPassBothWays();
    void readTakesOnlyWaitingBytes();
    void closedPortMakesNoDeviceCall();
    void writeIsOneDeviceCallPerByte();
    void stalledWriteGivesUpAfterItsBound();
    void farEndHangUpThenNewDeviceAtTheSameName();
    void descriptorsCloseOnExecAndReleased();
};

void SerialPortTest::openCloseAndReopen()
{
    PortsDir ports;
    Pty pty;
    QVERIFY(ports.isValid());
    QVERIFY(pty.isValid());
    QVERIFY(ports.link(QStringLiteral("COM1"), pty.slavePath()));

    SerialPort port;
    win::posix::resetCallCounts();
    QCOMPARE(port.open(u"COM1"), 1);
    QCOMPARE(callCount("CreateEventW"), 2L);
    QCOMPARE(port.close(), 1);
    QCOMPARE(callCount("CloseHandle"), 3L);
    QCOMPARE(port.close(), 1);
    QCOMPARE(callCount("CloseHandle"), 3L);

    QCOMPARE(port.open(u"COM1"), 1);
    QCOMPARE(callCount("CreateEventW"), 4L); // fresh events for the second open
    QCOMPARE(callCount("SetCommState"), 2L);
    QCOMPARE(writeBytes(port, QByteArray("\x2E\x01", 2)), 2);
    QCOMPARE(pty.read(2, 5000), QByteArray("\x2E\x01", 2));
    QCOMPARE(port.close(), 1);
}

void SerialPortTest::openWhileOpenKeepsTheFirstDevice()
{
    PortsDir ports;
    Pty first;
    Pty second;
    QVERIFY(first.isValid() && second.isValid());
    QVERIFY(ports.link(QStringLiteral("COM1"), first.slavePath()));
    QVERIFY(ports.link(QStringLiteral("COM2"), second.slavePath()));

    SerialPort port;
    QCOMPARE(port.open(u"COM1"), 1);
    win::posix::resetCallCounts();
    QCOMPARE(port.open(u"COM2"), 1);
    QCOMPARE(win::posix::totalCallCount(), 0L);

    QCOMPARE(writeBytes(port, QByteArray("A")), 1);
    QCOMPARE(first.read(1, 5000), QByteArray("A"));
    QCOMPARE(second.readAvailable(), QByteArray());
}

void SerialPortTest::openRefused_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("target"); // what korvane/ports/<name> links to
    QTest::addColumn<long>("deviceCloses");

    QTest::newRow("empty name") << QString() << QString() << 0L;
    QTest::newRow("not a COM name") << QStringLiteral("LPT1") << QString() << 0L;
    QTest::newRow("COM0") << QStringLiteral("COM0") << QString() << 0L;
    QTest::newRow("link to nothing") << QStringLiteral("COM4") << QStringLiteral("missing") << 0L;
    QTest::newRow("link to a directory") << QStringLiteral("COM5") << QStringLiteral("dir") << 0L;
    // Opens, then fails the settings step: both events and the file go again.
    QTest::newRow("link to a plain file") << QStringLiteral("COM6") << QStringLiteral("file") << 3L;
}

void SerialPortTest::openRefused()
{
    QFETCH(QString, name);
    QFETCH(QString, target);
    QFETCH(long, deviceCloses);

    PortsDir ports;
    QTemporaryDir scratch;
    QVERIFY(ports.isValid() && scratch.isValid());
    if (target == QLatin1String("missing")) {
        QVERIFY(ports.link(name, scratch.filePath(QStringLiteral("nothing-here"))));
    } else if (target == QLatin1String("dir")) {
        QVERIFY(ports.link(name, scratch.path()));
    } else if (target == QLatin1String("file")) {
        QFile file(scratch.filePath(QStringLiteral("plain")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("not a terminal");
        file.close();
        QVERIFY(ports.link(name, file.fileName()));
    }

    const int descriptors = TestSupport::openDescriptorCount();
    QVERIFY(descriptors > 0);
    SerialPort port;
    win::posix::resetCallCounts();
    QCOMPARE(port.open(name.toStdU16String()), 0);
    QCOMPARE(callCount("CloseHandle"), deviceCloses);
    QCOMPARE(TestSupport::openDescriptorCount(), descriptors);

    win::posix::resetCallCounts();
    QCOMPARE(port.available(), 0);
    QCOMPARE(port.close(), 1);
    QCOMPARE(win::posix::totalCallCount(), 0L);
}

void SerialPortTest::secondOpenRefused()
{
    PortsDir ports;
    Pty pty;
    QVERIFY(pty.isValid());
    // Two names for one device: exclusive means the device, not the name.
    QVERIFY(ports.link(QStringLiteral("COM1"), pty.slavePath()));
    QVERIFY(ports.link(QStringLiteral("COM2"), pty.slavePath()));

    SerialPort first;
    SerialPort second;
    QCOMPARE(first.open(u"COM1"), 1);
    QCOMPARE(second.open(u"COM1"), 0);
    QCOMPARE(second.open(u"COM2"), 0);
    QCOMPARE(first.close(), 1);
    QCOMPARE(second.open(u"COM2"), 1);
    QCOMPARE(writeBytes(second, QByteArray("B")), 1);
    QCOMPARE(pty.read(1, 5000), QByteArray("B"));
}

void SerialPortTest::secondOpenFromAnotherProcessRefused()
{
    PortsDir ports;
    Pty pty;
    QVERIFY(pty.isValid());
    QVERIFY(ports.link(QStringLiteral("COM1"), pty.slavePath()));
    auto openOnce = [] {
        SerialPort port;
        return port.open(u"COM1") == 1 ? 1 : 0;
    };

    {
        SerialPort here;
        QCOMPARE(here.open(u"COM1"), 1);
        QCOMPARE(inChild(openOnce), 0);
    }
    QCOMPARE(inChild(openOnce), 1); // released on close

    // The other way round: a child holds the port until told to let go.
    int ready[2];
    int release[2];
    QCOMPARE(::pipe2(ready, O_CLOEXEC), 0);
    QCOMPARE(::pipe2(release, O_CLOEXEC), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(ready[0]);
        ::close(release[1]);
        {
            SerialPort port;
            const char opened = port.open(u"COM1") == 1 ? '1' : '0';
            (void)!::write(ready[1], &opened, 1);
            struct pollfd p = {release[0], POLLIN, 0};
            ::poll(&p, 1, 30000); // let go when told, or when the parent is gone
        }
        ::_exit(0);
    }
    QVERIFY(pid > 0);
    ::close(ready[1]);
    ::close(release[0]);
    struct pollfd p = {ready[0], POLLIN, 0};
    char opened = 0;
    const bool heard = ::poll(&p, 1, 10000) == 1 && ::read(ready[0], &opened, 1) == 1;
    SerialPort here;
    const int refused = here.open(u"COM1");
    ::close(release[1]);
    ::close(ready[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    QVERIFY(heard);
    QCOMPARE(opened, '1');
    QCOMPARE(refused, 0);
    QCOMPARE(here.open(u"COM1"), 1);
}

void SerialPortTest::openSetsRaw38400_8N1()
{
    PortsDir ports;
    Pty pty;
    QVERIFY(pty.isValid());
    QVERIFY(makeCooked(pty));
    QVERIFY(ports.link(QStringLiteral("COM3"), pty.slavePath()));

    SerialPort port;
    QCOMPARE(port.open(u"COM3"), 1);
    struct termios t;
    QCOMPARE(::tcgetattr(pty.fd(), &t), 0); // the master reports the slave's line

    QCOMPARE(::cfgetospeed(&t), speed_t(B38400));
    QCOMPARE(::cfgetispeed(&t), speed_t(B38400));
    QCOMPARE(t.c_cflag & CSIZE, tcflag_t(CS8));
    QCOMPARE(t.c_cflag & (PARENB | CSTOPB | HUPCL | CRTSCTS), tcflag_t(0));
    QCOMPARE(t.c_cflag & (CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD));
    QCOMPARE(t.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP | BRKINT | INPCK | PARMRK),
             tcflag_t(0));
    QCOMPARE(t.c_oflag & OPOST, tcflag_t(0));
    QCOMPARE(t.c_lflag & (ECHO | ECHONL | ICANON | ISIG | IEXTEN), tcflag_t(0));
}

void SerialPortTest::allByteValuesPassBothWays()
{
    PortsDir ports;
    Pty pty;
    QVERIFY(pty.isValid());
    QVERIFY(makeCooked(pty));
    QVERIFY(ports.link(QStringLiteral("COM1"), pty.slavePath()));
    SerialPort port;
    QCOMPARE(port.open(u"COM1"), 1);
    const QByteArray all = allByteValues();

    QVERIFY(pty.write(all));
    QCOMPARE(drain(port, 256), all);

    QCOMPARE(writeBytes(port, all), 256);
    QCOMPARE(pty.read(256, 5000), all); // also: nothing echoed back before it
    QCOMPARE(pty.readAvailable(), QByteArray());
}

void SerialPortTest::readTakesOnlyWaitingBytes()
{
    PortsDir ports;
    Pty pty;
    QVERIFY(pty.isValid());
    QVERIFY(ports.link(QStringLiteral("COM1"), pty.slavePath()));
    SerialPort port;
    QCOMPARE(port.open(u"COM1"), 1);

    unsigned char buffer[128];
    win::posix::resetCallCounts();
    QCOMPARE(port.read(buffer, 100), 0);
    QCOMPARE(callCount("ReadFile"), 0L);

    QByteArray sent;
    for (int i = 0; i < 250; ++i)
        sent.append(char(i * 7 + 3));
    QVERIFY(pty.write(sent));
    QTRY_COMPARE(port.available(), 250);

    QCOMPARE(port.read(buffer, 0), 0);
    QCOMPARE(port.read(buffer, -5), 0);
    QCOMPARE(port.read(static_cast<unsigned char*>(nullptr), 100), 0);
    QCOMPARE(port.available(), 250);

    QByteArray got;
    win::posix::resetCallCounts();
    for (int expected : {100, 100, 50}) {
        const int n = port.read(buffer, 100);
        QCOMPARE(n, expected);
        got.append(reinterpret_cast<const char*>(buffer), n);
    }
    QCOMPARE(got, sent);
    QCOMPARE(callCount("ReadFile"), 3L);
    QCOMPARE(port.read(buffer, 100), 0);
    QCOMPARE(callCount("ReadFile"), 3L);
    QCOMPARE(port.available(), 0);
}

void SerialPortTest::closedPortMakesNoDeviceCall()
{
    PortsDir ports;
    Pty pty;
    QVERIFY(pty.isValid());
    QVERIFY(ports.link(QStringLiteral("COM1"), pty.slavePath()));
    const unsigned char seven[7] = {1, 2, 3, 4, 5, 6, 7};
    unsigned char buffer[100];

    SerialPort never;
    SerialPort failed;
    QCOMPARE(failed.open(u""), 0);
    SerialPort closed;
    QCOMPARE(closed.open(u"COM1"), 1);
    QCOMPARE(closed.close(), 1);

    for (SerialPort* port : {&never, &failed, &closed}) {
        win::posix::resetCallCounts();
        QCOMPARE(port->available(), 0);
        QCOMPARE(port->read(buffer, 100), 0);
        QCOMPARE(port->write(seven, 7), 0);
        QCOMPARE(port->writeByte(0x2E), 1);
        QCOMPARE(port->close(), 1);
        QCOMPARE(win::posix::totalCallCount(), 0L);
    }
}

void SerialPortTest::writeIsOneDeviceCallPerByte()
{
    PortsDir ports;
    Pty pty;
    QVERIFY(pty.isValid());
    QVERIFY(ports.link(QStringLiteral("COM1"), pty.slavePath()));
    SerialPort port;
    QCOMPARE(port.open(u"COM1"), 1);

    const QByteArray frame("\x2E\x01\x02\x0A\xFF\xF3\xFF", 7);
    win::posix::resetCallCounts();
    QCOMPARE(writeBytes(port, frame), 7);
    QCOMPARE(callCount("WriteFile"), 7L);
    QCOMPARE(callCount("WaitForSingleObject"), 0L); // the line took each byte at once
    QCOMPARE(pty.read(7, 5000), frame);

    win::posix::resetCallCounts();
    QCOMPARE(writeBytes(port, QByteArray()), 0);
    QCOMPARE(port.write(reinterpret_cast<const unsigned char*>(frame.constData()), -3), 0);
    QCOMPARE(port.write(nullptr, 3), 0);
    QCOMPARE(win::posix::totalCallCount(), 0L);
}

void SerialPortTest::stalledWriteGivesUpAfterItsBound()
{
    PortsDir ports;
    Pty pty;
    QVERIFY(pty.isValid());
    QVERIFY(ports.link(QStringLiteral("COM1"), pty.slavePath()));
    // A descriptor of our own on the line, taken before the port makes it
    // exclusive, to stop and restart its output as flow control would.
    const int line = ::open(QFile::encodeName(pty.slavePath()).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    QVERIFY(line >= 0);
    SerialPort port;
    QCOMPARE(port.open(u"COM1"), 1);

    QCOMPARE(::tcflow(line, TCOOFF), 0);
    win::posix::resetCallCounts();
    QCOMPARE(writeBytes(port, QByteArray("\x55")), 1);
    QCOMPARE(callCount("WriteFile"), 1L);
    QCOMPARE(callCount("WaitForSingleObject"), 1L);
    QCOMPARE(callCount("CancelIoEx"), 1L);
    QCOMPARE(pty.readAvailable(), QByteArray());

    // The given-up byte is gone for good; the next one goes out alone.
    QCOMPARE(::tcflow(line, TCOON), 0);
    QCOMPARE(writeBytes(port, QByteArray("\xAA")), 1);
    QCOMPARE(pty.read(1, 5000), QByteArray("\xAA"));
    ::close(line);
}

void SerialPortTest::farEndHangUpThenNewDeviceAtTheSameName()
{
    PortsDir ports;
    auto first = std::make_unique<Pty>();
    QVERIFY(first->isValid());
    QVERIFY(ports.link(QStringLiteral("COM1"), first->slavePath()));
    SerialPort port;
    QCOMPARE(port.open(u"COM1"), 1);
    QVERIFY(first->write(QByteArray("lost")));
    QTRY_COMPARE(port.available(), 4);
    first->hangUp();

    unsigned char buffer[100];
    win::posix::resetCallCounts();
    QCOMPARE(port.available(), 0);
    QCOMPARE(port.read(buffer, 100), 0);
    QCOMPARE(writeBytes(port, QByteArray("1234567")), 7);
    QCOMPARE(callCount("WaitForSingleObject"), 0L); // no byte waited for on a dead line
    QCOMPARE(port.close(), 1);
    first.reset();

    Pty second;
    QVERIFY(second.isValid());
    QVERIFY(ports.link(QStringLiteral("COM1"), second.slavePath()));
    QCOMPARE(port.open(u"COM1"), 1);
    QCOMPARE(writeBytes(port, QByteArray("ok")), 2);
    QCOMPARE(second.read(2, 5000), QByteArray("ok"));
    QVERIFY(second.write(QByteArray("hi")));
    QCOMPARE(drain(port, 2), QByteArray("hi"));
}

void SerialPortTest::descriptorsCloseOnExecAndReleased()
{
    PortsDir ports;
    Pty pty;
    QVERIFY(pty.isValid());
    QVERIFY(ports.link(QStringLiteral("COM1"), pty.slavePath()));
    const int descriptors = TestSupport::openDescriptorCount();
    QVERIFY(descriptors > 0);

    SerialPort port;
    QCOMPARE(port.open(u"COM1"), 1);
    const QList<int> flags = openFlagsOf(pty.slavePath());
    QCOMPARE(flags.size(), 1);
    QVERIFY(flags.first() & O_CLOEXEC);
    QVERIFY(flags.first() & O_NONBLOCK);
    QCOMPARE(port.close(), 1);
    QCOMPARE(openFlagsOf(pty.slavePath()).size(), 0);

    for (int i = 0; i < 50; ++i) {
        QCOMPARE(port.open(u"COM1"), 1);
        QCOMPARE(port.close(), 1);
    }
    QCOMPARE(TestSupport::openDescriptorCount(), descriptors);
}

QTEST_GUILESS_MAIN(SerialPortTest)
#include "tst_serialport.moc"
