// korvane-sim in serial mode: the COMn link in the ports folder, answering
// the tool's frames on the pseudo-terminal, reply bytes, standard input
// commands and hanging up; and in device mode, the line set as the tool
// sets its own.

#include "portnumbering.h"
#include "serialport.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <csignal>
#include <termios.h>
#include <unistd.h>

using namespace TestSupport;

class SimSerialTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void linkMadeAndRemoved_data();
    void linkMadeAndRemoved();
    void linkFollowsXdgRules_data();
    void linkFollowsXdgRules();
    void refusesTakenName_data();
    void refusesTakenName();
    void leavesReplacedLinkAlone();
    void usageErrors_data();
    void usageErrors();
    void answersFrames_data();
    void answersFrames();
    void splitFrameDecodesTheSame_data();
    void splitFrameDecodesTheSame();
    void replyBytesArePrinted();
    void commandsWriteExactBytes_data();
    void commandsWriteExactBytes();
    void badCommandIsRefused();
    void toolMayCloseAndReopen();
    void closeHangsUpAndRelinks();
    void quietAndNoReply();
    void deviceLineSetAsTheToolSetsItsPort();
    void killedSimulatorsLinkIsSwept();
};

namespace {

// Starts a serial simulator for COM3 and opens the tool's end of it.
bool startWithPeer(Child& sim, Stream& peer, const QStringList& extra = {}, QString* slave = nullptr)
{
    QRegularExpressionMatch ready;
    if (!sim.startReady(QStringList{QStringLiteral("--serial"), QStringLiteral("COM3")} + extra, &ready))
        return false;
    const QRegularExpressionMatch m = serialReady(QStringLiteral("COM3")).match(ready.captured(0));
    if (!m.hasMatch())
        return false;
    if (slave)
        *slave = m.captured(1);
    return peer.openTerminal(sim.portsDir() + QStringLiteral("/COM3"));
}

const QString timePattern = QStringLiteral("\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d");

} // namespace

void SimSerialTest::linkMadeAndRemoved_data()
{
    QTest::addColumn<int>("stopSignal"); // 0: "quit" on standard input
    QTest::newRow("quit") << 0;
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGHUP") << int(SIGHUP);
}

void SimSerialTest::linkMadeAndRemoved()
{
    QFETCH(int, stopSignal);
    Child sim(OwnConfig);
    QRegularExpressionMatch ready;
    QVERIFY2(sim.startReady({QStringLiteral("--serial"), QStringLiteral("COM3")}, &ready), qPrintable(sim.describe()));
    const QRegularExpressionMatch m = serialReady(QStringLiteral("COM3")).match(ready.captured(0));
    QVERIFY2(m.hasMatch(), qPrintable(ready.captured(0)));

    const QString link = sim.portsDir() + QStringLiteral("/COM3");
    QFileInfo info(link);
    QVERIFY(info.isSymLink());
    QCOMPARE(info.symLinkTarget(), m.captured(1));
    QVERIFY(QFileInfo(m.captured(1)).exists());

    if (stopSignal == 0)
        sim.command("quit");
    else
        sim.signal(stopSignal);
    QCOMPARE(sim.waitExit(), 0);
    QVERIFY(sim.waitLine(QRegularExpression(QStringLiteral("^stats sent=0 "))).hasMatch());
    QVERIFY(!QFileInfo(link).isSymLink());
    QVERIFY(!QFileInfo::exists(link));
    QVERIFY(QFileInfo(sim.portsDir()).isDir());
}

void SimSerialTest::linkFollowsXdgRules_data()
{
    QTest::addColumn<QString>("xdg");        // "-" leaves XDG_CONFIG_HOME unset
    QTest::addColumn<QString>("portsUnder"); // relative to the temporary home
    QTest::newRow("xdg set") << QStringLiteral("@/cfg") << QStringLiteral("cfg/korvane/ports");
    QTest::newRow("xdg unset") << QStringLiteral("-") << QStringLiteral(".config/korvane/ports");
    QTest::newRow("xdg relative is ignored") << QStringLiteral("relative/cfg") << QStringLiteral(".config/korvane/ports");
}

void SimSerialTest::linkFollowsXdgRules()
{
    QFETCH(QString, xdg);
    QFETCH(QString, portsUnder);
    QTemporaryDir home;
    QVERIFY(home.isValid());
    Child sim(OwnConfig);
    sim.environment().insert(QStringLiteral("HOME"), home.path());
    if (xdg == QLatin1String("-"))
        sim.environment().remove(QStringLiteral("XDG_CONFIG_HOME"));
    else
        sim.environment().insert(QStringLiteral("XDG_CONFIG_HOME"), QString(xdg).replace(QLatin1Char('@'), home.path()));
    QVERIFY2(sim.startReady({QStringLiteral("--serial"), QStringLiteral("COM7")}), qPrintable(sim.describe()));
    const QString link = home.path() + QLatin1Char('/') + portsUnder + QStringLiteral("/COM7");
    QVERIFY2(QFileInfo(link).isSymLink(), qPrintable(link));
    sim.command("quit");
    QCOMPARE(sim.waitExit(), 0);
    QVERIFY(!QFileInfo(link).isSymLink());
}

void SimSerialTest::refusesTakenName_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("dangling link") << QStringLiteral("dangling");
    QTest::newRow("link to /dev/null") << QStringLiteral("devnull");
    QTest::newRow("regular file") << QStringLiteral("file");
    QTest::newRow("directory") << QStringLiteral("dir");
}

void SimSerialTest::refusesTakenName()
{
    QFETCH(QString, kind);
    Child sim(OwnConfig);
    QVERIFY(QDir().mkpath(sim.portsDir()));
    const QString path = sim.portsDir() + QStringLiteral("/COM3");
    const QByteArray native = QFile::encodeName(path);
    if (kind == QLatin1String("dangling")) {
        QCOMPARE(::symlink("/dev/pts/nonexistent-korvane", native.constData()), 0);
    } else if (kind == QLatin1String("devnull")) {
        QCOMPARE(::symlink("/dev/null", native.constData()), 0);
    } else if (kind == QLatin1String("file")) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("keep me");
    } else {
        QVERIFY(QDir().mkpath(path));
    }
    const QFileInfo before(path);

    QVERIFY(sim.startSim({QStringLiteral("--serial"), QStringLiteral("COM3")}));
    QCOMPARE(sim.waitExit(), 2);
    QVERIFY2(sim.errorOutput().contains(QStringLiteral("COM3 is taken")), qPrintable(sim.describe()));
    QVERIFY(!sim.waitLine(QRegularExpression(QStringLiteral("^ready")), 0, 0).hasMatch());

    const QFileInfo after(path);
    QCOMPARE(after.isSymLink(), before.isSymLink());
    QCOMPARE(after.isDir(), before.isDir());
    if (before.isSymLink())
        QCOMPARE(after.symLinkTarget(), before.symLinkTarget());
    if (kind == QLatin1String("file")) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("keep me"));
    }
}

void SimSerialTest::leavesReplacedLinkAlone()
{
    // Someone else took the name over while the simulator ran: at exit the
    // simulator must not delete what is now theirs.
    Child sim(OwnConfig);
    QVERIFY2(sim.startReady({QStringLiteral("--serial"), QStringLiteral("COM3")}), qPrintable(sim.describe()));
    const QString link = sim.portsDir() + QStringLiteral("/COM3");
    QVERIFY(QFile::remove(link));
    QCOMPARE(::symlink("/dev/null", QFile::encodeName(link).constData()), 0);
    sim.command("quit");
    QCOMPARE(sim.waitExit(), 0);
    QCOMPARE(QFileInfo(link).symLinkTarget(), QStringLiteral("/dev/null"));
}

void SimSerialTest::usageErrors_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("complaint");
    QTest::newRow("no link") << QStringList{QStringLiteral("--count"), QStringLiteral("3")} << QStringLiteral("--serial");
    QTest::newRow("unknown option") << QStringList{QStringLiteral("--serial"), QStringLiteral("COM3"), QStringLiteral("--bogus")}
                                    << QStringLiteral("--bogus");
    QTest::newRow("bad frame") << QStringList{QStringLiteral("--serial"), QStringLiteral("COM3"), QStringLiteral("--frame"), QStringLiteral("01 XYZ")}
                               << QStringLiteral("XYZ");
    QTest::newRow("share above 1") << QStringList{QStringLiteral("--serial"), QStringLiteral("COM3"), QStringLiteral("--bad-share"), QStringLiteral("1.5")}
                                   << QStringLiteral("--bad-share");
    QTest::newRow("device that is no terminal") << QStringList{QStringLiteral("--device"), QStringLiteral("/dev/null")}
                                                << QStringLiteral("/dev/null is not a terminal");
    QTest::newRow("replay with a stream option")
        << QStringList{QStringLiteral("--serial"), QStringLiteral("COM3"), QStringLiteral("--replay"), QStringLiteral("x.csv"), QStringLiteral("--rate"), QStringLiteral("5")}
        << QStringLiteral("--rate");
    QTest::newRow("replay slower than a thousandth")
        << QStringList{QStringLiteral("--serial"), QStringLiteral("COM3"), QStringLiteral("--replay"), QStringLiteral("x.csv"), QStringLiteral("--speed"), QStringLiteral("1e-300")}
        << QStringLiteral("a factor from 0.001");
    QTest::newRow("port name with a slash") << QStringList{QStringLiteral("--serial"), QStringLiteral("../COM3")}
                                            << QStringLiteral("../COM3");
}

void SimSerialTest::usageErrors()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, complaint);
    Child sim(OwnConfig);
    QVERIFY(sim.startSim(arguments));
    QCOMPARE(sim.waitExit(), 2);
    QVERIFY2(sim.errorOutput().contains(complaint), qPrintable(sim.describe()));
    QVERIFY(!QFileInfo::exists(sim.configHome() + QStringLiteral("/korvane/COM3")));
    QVERIFY(!QFileInfo::exists(sim.portsDir() + QStringLiteral("/COM3")));
}

void SimSerialTest::answersFrames_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("replies");
    QTest::addColumn<QStringList>("lines"); // after the time stamp

    QTest::newRow("good") << QByteArray::fromHex("2E01020AFFF3") << QByteArray::fromHex("FF")
                          << QStringList{QStringLiteral("2E 01 02 0A FF F3 [1]")};
    QTest::newRow("bad checksum") << QByteArray::fromHex("2E01020AFFF4") << QByteArray::fromHex("F0")
                                  << QStringList{QStringLiteral("2E 01 02 0A FF F4 [1] bad")};
    QTest::newRow("checksum equal to ACK") << QByteArray::fromHex("2E0001FFFF") << QByteArray::fromHex("FF")
                                           << QStringList{QStringLiteral("2E 00 01 FF FF [1]")};
    QTest::newRow("len 0") << QByteArray::fromHex("2E0500FA") << QByteArray::fromHex("FF")
                           << QStringList{QStringLiteral("2E 05 00 FA [1]")};
    QTest::newRow("start and replies as fields") << QByteArray::fromHex("2E2E03FFF02EB1") << QByteArray::fromHex("FF")
                                                 << QStringList{QStringLiteral("2E 2E 03 FF F0 2E B1 [1]")};
    QTest::newRow("bytes before the start") << QByteArray::fromHex("00112E01020AFFF3") << QByteArray::fromHex("FF")
                                            << QStringList{QStringLiteral("2E 01 02 0A FF F3 [1]")};
    QTest::newRow("good then bad then good")
        << QByteArray::fromHex("2E01020AFFF3" "2E0500FB" "2E0500FA") << QByteArray::fromHex("FFF0FF")
        << QStringList{QStringLiteral("2E 01 02 0A FF F3 [1]"), QStringLiteral("2E 05 00 FB [2] bad"),
                       QStringLiteral("2E 05 00 FA [3]")};

    // The device keeps every data byte the len byte announces.
    QByteArray sixty(60, '\x11');
    QString sixtyText;
    for (int i = 0; i < 60; ++i)
        sixtyText += QStringLiteral(" 11");
    QTest::newRow("len 60") << frame(0x01, sixty) << QByteArray::fromHex("FF")
                            << QStringList{QStringLiteral("2E 01 3C") + sixtyText
                                           + QStringLiteral(" %1 [1]").arg(quint8(frame(0x01, sixty).back()), 2, 16, QLatin1Char('0')).toUpper()};
}

void SimSerialTest::answersFrames()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, replies);
    QFETCH(QStringList, lines);
    Child sim(OwnConfig);
    Stream peer;
    QVERIFY2(startWithPeer(sim, peer), qPrintable(sim.describe()));

    QVERIFY(peer.write(input));
    QCOMPARE(peer.read(replies.size()).toHex(' '), replies.toHex(' '));
    int from = 0;
    for (const QString& expected : lines) {
        const QRegularExpression pattern(QStringLiteral("^") + timePattern + QStringLiteral("  ")
                                         + QRegularExpression::escape(expected) + QStringLiteral("$"));
        // Lines come in order: each is searched after the previous one.
        const int index = sim.waitLineIndex(pattern, from);
        QVERIFY2(index >= 0, qPrintable(expected + QStringLiteral(" not printed; ") + sim.describe()));
        from = index + 1;
    }
    const auto stats = sim.stats();
    QCOMPARE(stats.value(QStringLiteral("rx_good")) + stats.value(QStringLiteral("rx_bad")), qint64(lines.size()));
    QCOMPARE(stats.value(QStringLiteral("bytes_in")), qint64(input.size()));
    QCOMPARE(stats.value(QStringLiteral("bytes_out")), qint64(replies.size()));
}

void SimSerialTest::splitFrameDecodesTheSame_data()
{
    QTest::addColumn<QList<int>>("cuts");
    QTest::newRow("2E 01 02 | 0A FF F3") << QList<int>{3};
    QTest::newRow("byte by byte") << QList<int>{1, 2, 3, 4, 5};
    QTest::newRow("before the checksum") << QList<int>{5};
}

void SimSerialTest::splitFrameDecodesTheSame()
{
    QFETCH(QList<int>, cuts);
    Child sim(OwnConfig);
    Stream peer;
    QVERIFY2(startWithPeer(sim, peer), qPrintable(sim.describe()));
    const QByteArray frame = QByteArray::fromHex("2E01020AFFF3");
    int begin = 0;
    for (int cut : cuts) {
        QVERIFY(peer.write(frame.mid(begin, cut - begin)));
        // The simulator has read this part before the next one is written.
        QTRY_COMPARE_WITH_TIMEOUT(sim.stats().value(QStringLiteral("bytes_in")), qint64(cut), WaitMs);
        begin = cut;
    }
    QVERIFY(peer.write(frame.mid(begin)));
    QCOMPARE(peer.read(1).toHex(), QByteArray("ff"));
    QVERIFY(sim.waitLine(QRegularExpression(QStringLiteral("^") + timePattern + QStringLiteral("  2E 01 02 0A FF F3 \\[1\\]$"))).hasMatch());
}

void SimSerialTest::replyBytesArePrinted()
{
    Child sim(OwnConfig);
    Stream peer;
    QVERIFY2(startWithPeer(sim, peer), qPrintable(sim.describe()));
    QVERIFY(peer.write(QByteArray::fromHex("FFF000FF")));
    QVERIFY(sim.waitLine(QRegularExpression(QStringLiteral("^reply FF$"))).hasMatch());
    const auto stats = sim.stats(); // after all four bytes: they came in one write
    QCOMPARE(stats.value(QStringLiteral("acks")), qint64(2));
    QCOMPARE(stats.value(QStringLiteral("naks")), qint64(1));
    QCOMPARE(stats.value(QStringLiteral("bytes_out")), qint64(0)); // replies are not answered
    QStringList replies;
    for (const QString& line : sim.lines()) {
        if (line.startsWith(QLatin1String("reply")))
            replies << line;
    }
    QCOMPARE(replies, (QStringList{QStringLiteral("reply FF"), QStringLiteral("reply F0"), QStringLiteral("reply FF")}));
}

void SimSerialTest::commandsWriteExactBytes_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("send") << QByteArray("send 01 0A FF") << QByteArray::fromHex("2E01020AFFF3");
    QTest::newRow("send, no data") << QByteArray("send 05") << QByteArray::fromHex("2E0500FA");
    QTest::newRow("send, 0x and lower case") << QByteArray("send 0x01 0a ff") << QByteArray::fromHex("2E01020AFFF3");
    QTest::newRow("bad") << QByteArray("bad 01 0A FF") << QByteArray::fromHex("2E01020AFFF4");
    QTest::newRow("raw") << QByteArray("raw 2E 01 02") << QByteArray::fromHex("2E0102");
    QTest::newRow("ack") << QByteArray("ack") << QByteArray::fromHex("FF");
    QTest::newRow("nak") << QByteArray("nak") << QByteArray::fromHex("F0");
    QTest::newRow("carriage return") << QByteArray("ack\r") << QByteArray::fromHex("FF");
}

void SimSerialTest::commandsWriteExactBytes()
{
    QFETCH(QByteArray, command);
    QFETCH(QByteArray, bytes);
    Child sim(OwnConfig);
    Stream peer;
    QVERIFY2(startWithPeer(sim, peer), qPrintable(sim.describe()));
    sim.command(command);
    QCOMPARE(peer.read(bytes.size()).toHex(' '), bytes.toHex(' '));
    const auto stats = sim.stats();
    QCOMPARE(stats.value(QStringLiteral("bytes_out")), qint64(bytes.size()));
    const bool frame = command.startsWith("send") || command.startsWith("bad");
    QCOMPARE(stats.value(QStringLiteral("sent")), qint64(frame ? 1 : 0));
    QCOMPARE(stats.value(QStringLiteral("sent_bad")), qint64(command.startsWith("bad") ? 1 : 0));
}

void SimSerialTest::badCommandIsRefused()
{
    Child sim(OwnConfig);
    Stream peer;
    QVERIFY2(startWithPeer(sim, peer), qPrintable(sim.describe()));
    sim.command("send 01 XY");
    sim.command("jump");
    sim.command("ack now");
    sim.command("nak");
    // Nothing from the refused lines went out: the first byte is the NAK.
    QCOMPARE(peer.read(1).toHex(), QByteArray("f0"));
    QCOMPARE(sim.stats().value(QStringLiteral("bytes_out")), qint64(1));
    const QString errors = sim.errorOutput();
    QVERIFY2(errors.contains(QStringLiteral("XY")) && errors.contains(QStringLiteral("jump")) && errors.contains(QStringLiteral("ack now")),
             qPrintable(errors));
}

void SimSerialTest::toolMayCloseAndReopen()
{
    Child sim(OwnConfig);
    Stream peer;
    QVERIFY2(startWithPeer(sim, peer), qPrintable(sim.describe()));
    QVERIFY(peer.write(QByteArray::fromHex("2E01020AFFF3")));
    QCOMPARE(peer.read(1).toHex(), QByteArray("ff"));
    for (int round = 0; round < 3; ++round) {
        peer.close();
        QVERIFY(peer.openTerminal(sim.portsDir() + QStringLiteral("/COM3")));
        sim.command("send 01 0A FF");
        QCOMPARE(peer.read(6).toHex(), QByteArray("2e01020afff3"));
        QVERIFY(peer.write(QByteArray::fromHex("2E0500FA")));
        QCOMPARE(peer.read(1).toHex(), QByteArray("ff"));
    }
    const auto stats = sim.stats();
    QCOMPARE(stats.value(QStringLiteral("rx_good")), qint64(4));
    QCOMPARE(stats.value(QStringLiteral("sent")), qint64(3));
}

void SimSerialTest::closeHangsUpAndRelinks()
{
    Child sim(OwnConfig);
    Stream peer;
    QString firstSlave;
    QVERIFY2(startWithPeer(sim, peer, {}, &firstSlave), qPrintable(sim.describe()));
    const int before = int(sim.lines().size());
    sim.command("close");
    const int end = peer.waitEnd();
    QVERIFY2(end == 0 || end == EIO, qPrintable(QStringLiteral("read ended with %1").arg(end)));
    QVERIFY(sim.waitLine(QRegularExpression(QStringLiteral("^hangup$")), before).hasMatch());
    const QRegularExpressionMatch ready = sim.waitLine(serialReady(QStringLiteral("COM3")), before);
    QVERIFY2(ready.hasMatch(), qPrintable(sim.describe()));
    const QString link = sim.portsDir() + QStringLiteral("/COM3");
    QCOMPARE(QFileInfo(link).symLinkTarget(), ready.captured(1));

    peer.close();
    QVERIFY(peer.openTerminal(link));
    QVERIFY(peer.write(QByteArray::fromHex("2E01020AFFF3")));
    QCOMPARE(peer.read(1).toHex(), QByteArray("ff"));
    sim.command("quit");
    QCOMPARE(sim.waitExit(), 0);
    QVERIFY(!QFileInfo(link).isSymLink());
}

void SimSerialTest::quietAndNoReply()
{
    {
        Child sim(OwnConfig);
        Stream peer;
        QVERIFY2(startWithPeer(sim, peer, {QStringLiteral("--quiet")}), qPrintable(sim.describe()));
        QVERIFY(peer.write(QByteArray::fromHex("2E01020AFFF3FF")));
        QCOMPARE(peer.read(1).toHex(), QByteArray("ff"));
        const auto stats = sim.stats();
        QCOMPARE(stats.value(QStringLiteral("rx_good")), qint64(1));
        QCOMPARE(stats.value(QStringLiteral("acks")), qint64(1));
        for (const QString& line : sim.lines())
            QVERIFY2(line.startsWith(QLatin1String("ready")) || line == QLatin1String("connected")
                         || line.startsWith(QLatin1String("stats")),
                     qPrintable(line));
    }
    {
        Child sim(OwnConfig);
        Stream peer;
        QVERIFY2(startWithPeer(sim, peer, {QStringLiteral("--no-reply")}), qPrintable(sim.describe()));
        QVERIFY(peer.write(QByteArray::fromHex("2E01020AFFF3")));
        QVERIFY(sim.waitLine(QRegularExpression(QStringLiteral("2E 01 02 0A FF F3 \\[1\\]$"))).hasMatch());
        QCOMPARE(sim.stats().value(QStringLiteral("bytes_out")), qint64(0));
        sim.command("ack");
        // The first byte the tool gets is the explicit ACK, not a reply.
        QCOMPARE(peer.read(1).toHex(), QByteArray("ff"));
        QCOMPARE(sim.stats().value(QStringLiteral("bytes_out")), qint64(1));
    }
}


namespace {

// A terminal as another program may leave it: cooked, seven bits with
// parity, flow control both ways and on any byte.
bool leaveCooked(int master)
{
    termios t{};
    if (::tcgetattr(master, &t) != 0) // a master reads and sets its slave's settings
        return false;
    t.c_iflag |= IXON | IXOFF | IXANY | ICRNL | INPCK | ISTRIP;
    t.c_oflag |= OPOST | ONLCR;
    t.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
    t.c_cflag = (t.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | CS7 | PARENB | CSTOPB | HUPCL | CRTSCTS;
    ::cfsetispeed(&t, B9600);
    ::cfsetospeed(&t, B9600);
    return ::tcsetattr(master, TCSANOW, &t) == 0;
}

} // namespace

void SimSerialTest::deviceLineSetAsTheToolSetsItsPort()
{
    Pty simLine, toolLine;
    QVERIFY(simLine.isValid() && toolLine.isValid());
    QVERIFY(leaveCooked(simLine.fd()) && leaveCooked(toolLine.fd()));
    Child sim(OwnConfig);
    QVERIFY2(sim.startReady({QStringLiteral("--device"), simLine.slavePath()}), qPrintable(sim.describe()));
    SerialPort port;
    QCOMPARE(port.open(toolLine.slavePath().toStdU16String()), 1);

    termios device{}, tool{};
    QCOMPARE(::tcgetattr(simLine.fd(), &device), 0);
    QCOMPARE(::tcgetattr(toolLine.fd(), &tool), 0);
    const auto settings = [](const termios& t) {
        return QList<quint64>{t.c_iflag, t.c_oflag, t.c_cflag, t.c_lflag, ::cfgetispeed(&t), ::cfgetospeed(&t),
                              t.c_cc[VMIN], t.c_cc[VTIME]};
    };
    QCOMPARE(device.c_iflag & (IXON | IXOFF | IXANY), tcflag_t(0));
    QCOMPARE(settings(device), settings(tool));
}

void SimSerialTest::killedSimulatorsLinkIsSwept()
{
    PortsDir ports; // this process and the simulators share it
    QVERIFY(ports.isValid());
    const QString link = ports.portsPath() + QStringLiteral("/COM3");
    const auto start = [](Child& sim) {
        QRegularExpressionMatch ready;
        return sim.startReady({QStringLiteral("--serial"), QStringLiteral("COM3")}, &ready)
            ? serialReady(QStringLiteral("COM3")).match(ready.captured(0)).captured(1)
            : QString();
    };
    Child killed;
    QVERIFY2(!start(killed).isEmpty(), qPrintable(killed.describe()));
    QVERIFY(ports.link(QStringLiteral("COM4"), QStringLiteral("/dev/pts/nonexistent-korvane"))); // the user's own
    QVERIFY(killed.signal(SIGKILL));
    QCOMPARE(killed.waitExit(), -1);
    QVERIFY(QFileInfo(link).isSymLink()); // left behind

    // The next simulator takes the name over; while it runs, the name is its own.
    Child next;
    const QString slave = start(next);
    QVERIFY2(!slave.isEmpty(), qPrintable(next.describe()));
    QCOMPARE(QFileInfo(link).symLinkTarget(), slave);
    Child rival;
    QVERIFY(rival.startSim({QStringLiteral("--serial"), QStringLiteral("COM3")}));
    QCOMPARE(rival.waitExit(), 2);
    QVERIFY2(rival.errorOutput().contains(QStringLiteral("COM3 is in use by another korvane-sim (process %1)").arg(next.pid())),
             qPrintable(rival.describe()));

    // Killed again: the tool sweeps the link as it looks at the ports.
    QVERIFY(next.signal(SIGKILL));
    QCOMPARE(next.waitExit(), -1);
    QVERIFY(QFileInfo(link).isSymLink());
    PortNumbering::describe(3);
    QVERIFY(!QFileInfo(link).isSymLink());
    QCOMPARE(QDir(ports.portsPath()).entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("COM4")});
}

QTEST_GUILESS_MAIN(SimSerialTest)
#include "tst_simserial.moc"
