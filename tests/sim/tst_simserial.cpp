// korvane-sim in serial mode: the COMn link in the ports folder, answering
// the tool's frames on the pseudo-terminal, reply bytes, standard input
// commands and hanging up; in device mode, the line set as the tool sets
// its own. And as a monitor between the tool on COMn and a device simulator
// on a linked pair of terminals (socat), with its capture and log.

#include "portnumbering.h"
#include "serialport.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTest>

#include <csignal>
#include <cstring>
#include <memory>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
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
    void monitorBetweenToolAndDevice();
    void monitorReadsAsTheTool_data();
    void monitorReadsAsTheTool();
    void monitorDropsForAClosedPort();
    void monitorCaptureStopsWhenFull();
    void monitorNeverWaitsOnOutput_data();
    void monitorNeverWaitsOnOutput();
    void monitorCaptureFlowsIntoASmallPipe_data();
    void monitorCaptureFlowsIntoASmallPipe();
    void monitorCaptureWholeForEveryReader();
    void monitorStopDrainsTheLines_data();
    void monitorStopDrainsTheLines();
    void monitorReportsALostLineOnce();
    void lastCloseDropsUnreadBytes();
    void longInputLineIsDiscarded_data();
    void longInputLineIsDiscarded();
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

// A pcapng file read block by block: whole only when every block's two
// length fields agree and the last one ends exactly at the end of the file.
struct Capture
{
    bool whole = false;
    int linkType = -1;
    QByteArray toB; // packet data flagged outbound (A>B), in order
    QByteArray toA; // flagged inbound (B>A)
    int packets = 0;
    int unflagged = 0;
};

Capture parseCapture(const QByteArray& bytes)
{
    Capture capture;
    auto u32 = [&](qsizetype at) {
        quint32 value = 0;
        std::memcpy(&value, bytes.constData() + at, 4);
        return value;
    };
    qsizetype at = 0;
    while (at + 12 <= bytes.size()) {
        const quint32 type = u32(at);
        const quint32 length = u32(at + 4);
        if (length < 12 || length % 4 != 0 || at + length > bytes.size() || u32(at + length - 4) != length)
            return capture;
        if (type == 1)
            capture.linkType = u32(at + 8) & 0xFFFF;
        if (type == 6) {
            ++capture.packets;
            const quint32 size = u32(at + 20);
            const QByteArray data = bytes.mid(at + 28, size);
            // The only option written is the flags word, right after the padded data.
            const qsizetype option = at + 28 + ((size + 3) & ~3u);
            const quint32 flags = (u32(option) & 0xFFFF) == 2 ? u32(option + 4) : 0;
            if (flags == 2)
                capture.toB += data;
            else if (flags == 1)
                capture.toA += data;
            else
                ++capture.unflagged;
        }
        at += length;
    }
    capture.whole = at == bytes.size();
    return capture;
}

Capture readCapture(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? parseCapture(file.readAll()) : Capture();
}

// The monitor's line for one direction: "hh:mm:ss.zzz A>B  text".
QRegularExpression monitorLine(const char* direction, const QString& text)
{
    return QRegularExpression(QStringLiteral("^") + timePattern + QLatin1Char(' ') + QLatin1String(direction)
                              + QStringLiteral("  ") + QRegularExpression::escape(text) + QStringLiteral("$"));
}

// Starts a monitor between COM4 and COM5 and opens both as the hosts.
bool startMonitorOfTwo(Child& monitor, Stream& a, Stream& b, const QStringList& extra)
{
    return monitor.startReady(QStringList{QStringLiteral("--monitor"), QStringLiteral("COM4"), QStringLiteral("COM5")} + extra)
        && a.openTerminal(monitor.portsDir() + QStringLiteral("/COM4")) && b.openTerminal(monitor.portsDir() + QStringLiteral("/COM5"));
}

// Waits for each pattern in turn, each after the one before; "" when all came.
QString linesInOrder(Child& child, const QList<QRegularExpression>& patterns)
{
    int from = 0;
    for (const QRegularExpression& pattern : patterns) {
        const int index = child.waitLineIndex(pattern, from);
        if (index < 0)
            return pattern.pattern() + QStringLiteral(" not printed in order; ") + child.describe();
        from = index + 1;
    }
    return QString();
}

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
    QTest::newRow("monitor of one line") << QStringList{QStringLiteral("--monitor"), QStringLiteral("COM3")}
                                         << QStringLiteral("--monitor wants two lines");
    QTest::newRow("monitor of one device twice")
        << QStringList{QStringLiteral("--monitor"), QStringLiteral("/dev/null"), QStringLiteral("/dev/../dev/null")}
        << QStringLiteral("are the same device");
    QTest::newRow("monitor that is told to send") << QStringList{QStringLiteral("--monitor"), QStringLiteral("COM3"), QStringLiteral("COM4"),
                                                                 QStringLiteral("--rate"), QStringLiteral("5")}
                                                  << QStringLiteral("does not take --rate");
    QTest::newRow("capture without a monitor") << QStringList{QStringLiteral("--serial"), QStringLiteral("COM3"), QStringLiteral("--pcap"),
                                                              QStringLiteral("cap.pcapng")}
                                               << QStringLiteral("--pcap goes with --monitor");
    QTest::newRow("monitor of a bare name") << QStringList{QStringLiteral("--monitor"), QStringLiteral("COM3"), QStringLiteral("ttyUSB0")}
                                            << QStringLiteral("neither COMn nor the path");
    QTest::newRow("monitor with a capture it cannot write")
        << QStringList{QStringLiteral("--monitor"), QStringLiteral("COM3"), QStringLiteral("COM4"), QStringLiteral("--pcap"),
                       QStringLiteral("/nonexistent-korvane/cap.pcapng")}
        << QStringLiteral("cannot write /nonexistent-korvane/cap.pcapng");
    // {ports} and {dir} stand for the simulator's ports folder and a folder
    // whose files "kept", "link" (to kept) and "held" (locked as the tool
    // locks its log) must come out untouched.
    QTest::newRow("monitor of COMn and its own terminal") << QStringList{QStringLiteral("--monitor"), QStringLiteral("COM3"), QStringLiteral("{ports}/COM3")}
                                                          << QStringLiteral("are the same device");
    QTest::newRow("capture and log in one file")
        << QStringList{QStringLiteral("--monitor"), QStringLiteral("COM3"), QStringLiteral("COM4"), QStringLiteral("--pcap"),
                       QStringLiteral("{dir}/kept"), QStringLiteral("--log"), QStringLiteral("{dir}/kept")}
        << QStringLiteral("are one file");
    QTest::newRow("log through a link to the capture")
        << QStringList{QStringLiteral("--monitor"), QStringLiteral("COM3"), QStringLiteral("COM4"), QStringLiteral("--pcap"),
                       QStringLiteral("{dir}/kept"), QStringLiteral("--log"), QStringLiteral("{dir}/link")}
        << QStringLiteral("are one file");
    QTest::newRow("capture and log named two ways, in a file not yet there")
        << QStringList{QStringLiteral("--monitor"), QStringLiteral("COM3"), QStringLiteral("COM4"), QStringLiteral("--pcap"),
                       QStringLiteral("{dir}/new"), QStringLiteral("--log"), QStringLiteral("{dir}/./new")}
        << QStringLiteral("are one file");
    QTest::newRow("log that a running tool holds")
        << QStringList{QStringLiteral("--monitor"), QStringLiteral("COM3"), QStringLiteral("COM4"), QStringLiteral("--log"), QStringLiteral("{dir}/held")}
        << QStringLiteral("is held by another Korvane program");
    QTest::newRow("capture that a running tool holds")
        << QStringList{QStringLiteral("--monitor"), QStringLiteral("COM3"), QStringLiteral("COM4"), QStringLiteral("--pcap"), QStringLiteral("{dir}/held")}
        << QStringLiteral("is held by another Korvane program");
}

void SimSerialTest::usageErrors()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, complaint);
    Child sim(OwnConfig);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    for (const char* name : {"kept", "held"}) {
        QFile file(dir.filePath(QLatin1String(name)));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("kept\n") == 5);
    }
    QVERIFY(QFile::link(dir.filePath(QStringLiteral("kept")), dir.filePath(QStringLiteral("link"))));
    QFile held(dir.filePath(QStringLiteral("held")));
    QVERIFY(held.open(QIODevice::ReadWrite) && ::flock(held.handle(), LOCK_EX | LOCK_NB) == 0);
    arguments.replaceInStrings(QStringLiteral("{ports}"), sim.portsDir()).replaceInStrings(QStringLiteral("{dir}"), dir.path());
    QVERIFY(sim.startSim(arguments));
    QCOMPARE(sim.waitExit(), 2);
    QVERIFY2(sim.errorOutput().contains(complaint), qPrintable(sim.describe()));
    for (const char* name : {"kept", "held"}) {
        QFile file(dir.filePath(QLatin1String(name)));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("kept\n"));
    }
    // Nothing that the refused run made is left.
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot),
             (QStringList{QStringLiteral("held"), QStringLiteral("kept"), QStringLiteral("link")}));
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

void SimSerialTest::monitorBetweenToolAndDevice()
{
    if (QStandardPaths::findExecutable(QStringLiteral("socat")).isEmpty())
        QSKIP("socat is missing (scripts/install-deps.sh installs it)");
    QTemporaryDir work;
    QVERIFY(work.isValid());
    // socat stands in for a serial cable: the monitor on one end, the device on the other.
    const QString lineEnd = work.filePath(QStringLiteral("line"));
    const QString deviceEnd = work.filePath(QStringLiteral("device"));
    QProcess socat;
    const auto plugIn = [&] {
        socat.start(QStringLiteral("socat"), {QStringLiteral("pty,raw,echo=0,link=") + lineEnd,
                                              QStringLiteral("pty,raw,echo=0,link=") + deviceEnd});
        return socat.waitForStarted() && QTest::qWaitFor([&] { return QFileInfo::exists(lineEnd) && QFileInfo::exists(deviceEnd); }, WaitMs);
    };
    QVERIFY(plugIn());
    const QString cap = work.filePath(QStringLiteral("cap.pcapng"));
    const QString log = work.filePath(QStringLiteral("monitor.csv"));
    Child monitor(OwnConfig);
    QRegularExpressionMatch ready;
    QVERIFY2(monitor.startReady({QStringLiteral("--monitor"), QStringLiteral("COM4"), lineEnd, QStringLiteral("--pcap"), cap,
                                 QStringLiteral("--log"), log}, &ready),
             qPrintable(monitor.describe()));
    QVERIFY2(ready.captured(1).contains(QRegularExpression(QStringLiteral("^A=COM4 /dev/pts/\\d+ B=") + QRegularExpression::escape(lineEnd) + QLatin1Char('$'))),
             qPrintable(ready.captured(0)));
    Stream tool;
    QVERIFY(tool.openTerminal(monitor.portsDir() + QStringLiteral("/COM4")));
    QVERIFY(monitor.waitLine(QRegularExpression(QStringLiteral("^connected COM4$"))).hasMatch());

    // Every byte value, both ways at once, arrives unchanged and in order.
    QByteArray all;
    for (int i = 0; i < 256; ++i)
        all += char(i);
    Stream cable;
    QVERIFY(cable.openTerminal(deviceEnd));
    QVERIFY(tool.write(all));
    QVERIFY(cable.write(all));
    QCOMPARE(cable.read(256).toHex(), all.toHex());
    QCOMPARE(tool.read(256).toHex(), all.toHex());
    cable.close();

    // The device simulator on the far end answers the tool's frames, and the tool its.
    Child device;
    QVERIFY2(device.startReady({QStringLiteral("--device"), deviceEnd}), qPrintable(device.describe()));
    QVERIFY(tool.write(QByteArray::fromHex("00112E01020AFFF3")));
    QCOMPARE(tool.read(1).toHex(), QByteArray("ff"));
    QVERIFY(tool.write(QByteArray::fromHex("2E01020AFFF4")));
    QCOMPARE(tool.read(1).toHex(), QByteArray("f0"));
    device.command("send 05");
    QCOMPARE(tool.read(4).toHex(), QByteArray("2e0500fa"));
    QVERIFY(tool.write(QByteArray::fromHex("FF")));
    QVERIFY(device.waitLine(QRegularExpression(QStringLiteral("^reply FF$"))).hasMatch());

    // A line held by another program is refused with the reason.
    Child rival(OwnConfig);
    QVERIFY(rival.startSim({QStringLiteral("--monitor"), QStringLiteral("COM5"), deviceEnd}));
    QCOMPARE(rival.waitExit(), 2);
    QVERIFY2(rival.errorOutput().contains(deviceEnd + QStringLiteral(" is held by another program")), qPrintable(rival.describe()));

    // The cable pulled: the tool's bytes are dropped and counted until it is back.
    socat.terminate();
    QVERIFY(socat.waitForFinished());
    QVERIFY(monitor.waitLine(QRegularExpression(QStringLiteral("^lost ") + QRegularExpression::escape(lineEnd) + QStringLiteral(": "))).hasMatch());
    QVERIFY(tool.write(QByteArray::fromHex("2E0500FA")));
    QTRY_COMPARE_WITH_TIMEOUT(monitor.stats().value(QStringLiteral("ab_dropped")), qint64(4), WaitMs);
    QVERIFY(plugIn());
    QVERIFY(monitor.waitLine(QRegularExpression(QStringLiteral("^back ") + QRegularExpression::escape(lineEnd) + QLatin1Char('$'))).hasMatch());
    QVERIFY(device.waitLine(QRegularExpression(QStringLiteral("^back "))).hasMatch());
    QVERIFY(tool.write(QByteArray::fromHex("2E0500FA")));
    QCOMPARE(tool.read(1).toHex(), QByteArray("ff"));

    // The printed lines follow the frames of each direction; the frame in the
    // 256 values has len 0x30 and checksum 0x61, which does not match.
    QString inAll = QStringLiteral("2E");
    for (int i = 0x2F; i <= 0x61; ++i)
        inAll += QStringLiteral(" %1").arg(i, 2, 16, QLatin1Char('0')).toUpper();
    QString missing = linesInOrder(monitor, {monitorLine("A>B", inAll + QStringLiteral(" [1] bad")), monitorLine("A>B", QStringLiteral("reply F0")),
                                             monitorLine("A>B", QStringLiteral("noise 2: 00 11")), monitorLine("A>B", QStringLiteral("2E 01 02 0A FF F3 [2]")),
                                             monitorLine("A>B", QStringLiteral("2E 01 02 0A FF F4 [3] bad")), monitorLine("A>B", QStringLiteral("reply FF")),
                                             monitorLine("A>B", QStringLiteral("2E 05 00 FA [4]")), monitorLine("A>B", QStringLiteral("2E 05 00 FA [5]"))});
    QVERIFY2(missing.isEmpty(), qPrintable(missing));
    missing = linesInOrder(monitor, {monitorLine("B>A", inAll + QStringLiteral(" [1] bad")), monitorLine("B>A", QStringLiteral("reply FF")),
                                     monitorLine("B>A", QStringLiteral("reply F0")), monitorLine("B>A", QStringLiteral("2E 05 00 FA [2]")),
                                     monitorLine("B>A", QStringLiteral("reply FF"))});
    QVERIFY2(missing.isEmpty(), qPrintable(missing));
    const auto stats = monitor.stats();
    const QMap<QString, qint64> expected{
        {QStringLiteral("ab_frames"), 5}, {QStringLiteral("ab_bad"), 2}, {QStringLiteral("ab_replies"), 3},
        {QStringLiteral("ab_noise_bytes"), 204}, {QStringLiteral("ab_bytes"), 279}, {QStringLiteral("ab_dropped"), 4},
        {QStringLiteral("ba_frames"), 2}, {QStringLiteral("ba_bad"), 1}, {QStringLiteral("ba_replies"), 5},
        {QStringLiteral("ba_noise_bytes"), 202}, {QStringLiteral("ba_bytes"), 263}, {QStringLiteral("ba_dropped"), 0}};
    for (auto it = expected.begin(); it != expected.end(); ++it)
        QVERIFY2(stats.value(it.key(), -1) == it.value(), qPrintable(it.key() + QStringLiteral(" in ") + monitor.describe()));
    monitor.command("quit");
    QCOMPARE(monitor.waitExit(), 0);
    socat.terminate();
    socat.waitForFinished();

    // The capture holds every read with its direction; the log the good frames.
    const Capture capture = readCapture(cap);
    QVERIFY(capture.whole);
    QCOMPARE(capture.linkType, 147);
    QCOMPARE(capture.unflagged, 0);
    QCOMPARE(qint64(capture.packets), stats.value(QStringLiteral("pcap_packets")));
    QCOMPARE(capture.toB.toHex(' '), (all + QByteArray::fromHex("00112E01020AFFF3" "2E01020AFFF4" "FF" "2E0500FA" "2E0500FA")).toHex(' '));
    QCOMPARE(capture.toA.toHex(' '), (all + QByteArray::fromHex("FF" "F0" "2E0500FA" "FF")).toHex(' '));
    QFile logFile(log);
    QVERIFY(logFile.open(QIODevice::ReadOnly));
    const QList<QByteArray> logLines = logFile.readAll().split('\n');
    QCOMPARE(logLines.value(0), QByteArray("Korvane Bus Traffic File "));
    QVERIFY(logLines.contains("time,time_ms,head,type,len,data,...,...,-,inx,dir"));
    QStringList rows;
    for (const QByteArray& line : logLines) {
        if (QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d,\\d\\d\\d,")).match(QString::fromLatin1(line)).hasMatch())
            rows << QString::fromLatin1(line.mid(13));
    }
    QCOMPARE(rows, (QStringList{QStringLiteral("2E,01,02,0A,FF,F3,-,[2],A>B"), QStringLiteral("2E,05,00,FA,-,[2],B>A"),
                                QStringLiteral("2E,05,00,FA,-,[4],A>B"), QStringLiteral("2E,05,00,FA,-,[5],A>B")}));

    // tshark shows each frame with its direction and checksum verdict.
    const QString dissector = qEnvironmentVariable("KORVANE_DISSECTOR");
    if (QStandardPaths::findExecutable(QStringLiteral("tshark")).isEmpty() || dissector.isEmpty())
        QSKIP("tshark or KORVANE_DISSECTOR is missing; the capture was checked without it");
    QProcess tshark;
    tshark.start(QStringLiteral("tshark"), {QStringLiteral("-r"), cap, QStringLiteral("-X"), QStringLiteral("lua_script:") + dissector,
                                            QStringLiteral("-T"), QStringLiteral("fields"), QStringLiteral("-e"), QStringLiteral("korvane.direction"),
                                            QStringLiteral("-e"), QStringLiteral("korvane.type"), QStringLiteral("-e"), QStringLiteral("korvane.status")});
    QVERIFY(tshark.waitForFinished(60000));
    QStringList frames[2];
    for (const QString& line : QString::fromLatin1(tshark.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QStringList fields = line.split(QLatin1Char('\t'));
        const QStringList types = fields.value(1).split(QLatin1Char(','), Qt::SkipEmptyParts);
        const QStringList verdicts = fields.value(2).split(QLatin1Char(','), Qt::SkipEmptyParts);
        for (int i = 0; i < types.size(); ++i)
            frames[fields.value(0) == QLatin1String("B>A")] << types.at(i) + QLatin1Char(' ') + verdicts.value(i);
    }
    QCOMPARE(frames[0], (QStringList{QStringLiteral("0x2f bad"), QStringLiteral("0x01 good"), QStringLiteral("0x01 bad"),
                                     QStringLiteral("0x05 good"), QStringLiteral("0x05 good")}));
    QCOMPARE(frames[1], (QStringList{QStringLiteral("0x2f bad"), QStringLiteral("0x05 good")}));
}

void SimSerialTest::monitorReadsAsTheTool_data()
{
    QTest::addColumn<QList<QByteArray>>("writes"); // A to B, one write each
    QTest::addColumn<QStringList>("lines");         // A>B, after time and direction
    QTest::addColumn<QString>("stats");             // the ab_ fields that must hold

    QTest::newRow("good, bad, len 0") << QList<QByteArray>{QByteArray::fromHex("2E01020AFFF3" "2E01020AFFF4" "2E0500FA")}
                                      << QStringList{QStringLiteral("2E 01 02 0A FF F3 [1]"), QStringLiteral("2E 01 02 0A FF F4 [2] bad"),
                                                     QStringLiteral("2E 05 00 FA [3]")}
                                      << QStringLiteral("ab_frames=3 ab_bad=1 ab_replies=0 ab_noise_bytes=0 ab_bytes=16");
    QTest::newRow("replies between frames, not inside") << QList<QByteArray>{QByteArray::fromHex("FF" "2E0001FFFF" "F0")}
                                                        << QStringList{QStringLiteral("reply FF"), QStringLiteral("2E 00 01 FF FF [1]"),
                                                                       QStringLiteral("reply F0")}
                                                        << QStringLiteral("ab_frames=1 ab_bad=0 ab_replies=2 ab_noise_bytes=0");
    QTest::newRow("split over three reads") << QList<QByteArray>{QByteArray::fromHex("2E01"), QByteArray::fromHex("020A"), QByteArray::fromHex("FFF3")}
                                            << QStringList{QStringLiteral("2E 01 02 0A FF F3 [1]")}
                                            << QStringLiteral("ab_frames=1 ab_bad=0 ab_bytes=6");
    // The first 16 bytes of a noise run are shown.
    QTest::newRow("long noise run") << QList<QByteArray>{QByteArray(20, '\x11') + QByteArray::fromHex("2E0500FA")}
                                    << QStringList{QStringLiteral("noise 20: 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 ..."),
                                                   QStringLiteral("2E 05 00 FA [1]")}
                                    << QStringLiteral("ab_frames=1 ab_noise_bytes=20");
    // len 0x33: the tool keeps 50 data bytes and takes the 51st, here 79, as
    // the checksum, which it matches; the sender's own checksum is noise.
    const QByteArray sent = frame(0x01, QByteArray(50, '\x11') + '\x79');
    QString kept = QStringLiteral("2E 01 33");
    for (int i = 0; i < 50; ++i)
        kept += QStringLiteral(" 11");
    QTest::newRow("len above 50") << QList<QByteArray>{sent}
                                  << QStringList{kept + QStringLiteral(" 79 [1]"),
                                                 QStringLiteral("noise 1: ") + QByteArray(1, sent.back()).toHex().toUpper()}
                                  << QStringLiteral("ab_frames=1 ab_bad=0 ab_noise_bytes=1 ab_bytes=55");
}

void SimSerialTest::monitorReadsAsTheTool()
{
    QFETCH(QList<QByteArray>, writes);
    QFETCH(QStringList, lines);
    QFETCH(QString, stats);
    Child monitor(OwnConfig);
    QVERIFY2(monitor.startReady({QStringLiteral("--monitor"), QStringLiteral("COM4"), QStringLiteral("COM5")}), qPrintable(monitor.describe()));
    Stream a;
    Stream b;
    QVERIFY(a.openTerminal(monitor.portsDir() + QStringLiteral("/COM4")));
    QVERIFY(b.openTerminal(monitor.portsDir() + QStringLiteral("/COM5")));
    QVERIFY(monitor.waitLine(QRegularExpression(QStringLiteral("^connected COM5$"))).hasMatch());
    qint64 bytes = 0;
    for (const QByteArray& write : writes) {
        QVERIFY(a.write(write));
        QCOMPARE(b.read(write.size()).toHex(' '), write.toHex(' '));
        bytes += write.size();
        // Each write is a read of its own.
        QTRY_COMPARE_WITH_TIMEOUT(monitor.stats().value(QStringLiteral("ab_bytes")), bytes, WaitMs);
    }
    QList<QRegularExpression> patterns;
    for (const QString& line : lines)
        patterns << monitorLine("A>B", line);
    const QString missing = linesInOrder(monitor, patterns);
    QVERIFY2(missing.isEmpty(), qPrintable(missing));
    const auto counted = monitor.stats();
    for (const auto& field : Child::parseStats(stats).toStdMap())
        QVERIFY2(counted.value(field.first, -1) == field.second, qPrintable(field.first + QStringLiteral(" in ") + monitor.describe()));
}

void SimSerialTest::monitorDropsForAClosedPort()
{
    Child monitor(OwnConfig);
    QVERIFY2(monitor.startReady({QStringLiteral("--monitor"), QStringLiteral("COM4"), QStringLiteral("COM5")}), qPrintable(monitor.describe()));
    Stream a;
    Stream b;
    QVERIFY(a.openTerminal(monitor.portsDir() + QStringLiteral("/COM4")));
    // Nobody has COM5 open: what A sends is counted and dropped, not kept for later.
    QVERIFY(a.write(QByteArray::fromHex("2E0500FA")));
    QTRY_COMPARE_WITH_TIMEOUT(monitor.stats().value(QStringLiteral("ab_dropped")), qint64(4), WaitMs);
    QVERIFY(b.openTerminal(monitor.portsDir() + QStringLiteral("/COM5")));
    QVERIFY(monitor.waitLine(QRegularExpression(QStringLiteral("^connected COM5$"))).hasMatch());
    QVERIFY(a.write(QByteArray::fromHex("2E01020AFFF3")));
    QCOMPARE(b.read(6).toHex(), QByteArray("2e01020afff3"));
    b.close();
    QVERIFY(monitor.waitLine(QRegularExpression(QStringLiteral("^disconnected COM5$"))).hasMatch());
    QVERIFY(a.write(QByteArray::fromHex("FF")));
    QTRY_COMPARE_WITH_TIMEOUT(monitor.stats().value(QStringLiteral("ab_dropped")), qint64(5), WaitMs);
    QCOMPARE(monitor.stats().value(QStringLiteral("ba_dropped")), qint64(0));
    QVERIFY(monitor.signal(SIGTERM));
    QCOMPARE(monitor.waitExit(), 0);
    QVERIFY(!QFileInfo(monitor.portsDir() + QStringLiteral("/COM4")).isSymLink());
}

void SimSerialTest::monitorCaptureStopsWhenFull()
{
    QTemporaryDir work;
    QVERIFY(work.isValid());
    const QString cap = work.filePath(QStringLiteral("cap.pcapng"));
    Child monitor(OwnConfig);
    // A file size limit fails the capture's writes the way a full disk does.
    monitor.process().setChildProcessModifier([] {
        const rlimit limit{1024, 1024};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    });
    QVERIFY2(monitor.startReady({QStringLiteral("--monitor"), QStringLiteral("COM4"), QStringLiteral("COM5"), QStringLiteral("--pcap"), cap}),
             qPrintable(monitor.describe()));
    Stream a;
    Stream b;
    QVERIFY(a.openTerminal(monitor.portsDir() + QStringLiteral("/COM4")));
    QVERIFY(b.openTerminal(monitor.portsDir() + QStringLiteral("/COM5")));
    QVERIFY(linesInOrder(monitor, {QRegularExpression(QStringLiteral("^connected COM4$"))}).isEmpty());
    QVERIFY(linesInOrder(monitor, {QRegularExpression(QStringLiteral("^connected COM5$"))}).isEmpty());
    QByteArray sent;
    for (int i = 0; i < 40; ++i) {
        const QByteArray chunk = frame(0x01, QByteArray(20, char(i)));
        QVERIFY(a.write(chunk));
        QCOMPARE(b.read(chunk.size()).toHex(), chunk.toHex());
        QVERIFY(b.write(QByteArray::fromHex("FF")));
        QCOMPARE(a.read(1).toHex(), QByteArray("ff"));
        sent += chunk;
    }
    const QString stop = QStringLiteral("the capture stops here, monitoring goes on");
    QTRY_VERIFY_WITH_TIMEOUT(monitor.errorOutput().contains(stop), WaitMs);
    const auto stats = monitor.stats();
    QVERIFY2(monitor.errorOutput().count(stop) == 1, qPrintable(monitor.describe()));
    QCOMPARE(stats.value(QStringLiteral("ab_frames")), qint64(40));
    const Capture capture = readCapture(cap);
    QVERIFY(capture.whole);
    QVERIFY(QFileInfo(cap).size() <= 1024);
    QCOMPARE(qint64(capture.packets), stats.value(QStringLiteral("pcap_packets")));
    QVERIFY2(capture.packets > 2 && capture.packets < 80, qPrintable(QString::number(capture.packets)));
    QVERIFY(sent.startsWith(capture.toB));
}

void SimSerialTest::monitorNeverWaitsOnOutput_data()
{
    QTest::addColumn<bool>("console"); // standard output stalls, else the capture
    QTest::addColumn<bool>("resumes"); // the reader comes back before the end
    QTest::newRow("printed lines into a pipe nobody reads") << true << false;
    QTest::newRow("capture into a FIFO nobody reads") << false << false;
    QTest::newRow("capture into a FIFO whose reader comes back") << false << true;
}

void SimSerialTest::monitorNeverWaitsOnOutput()
{
    QFETCH(bool, console);
    QFETCH(bool, resumes);
    QTemporaryDir work;
    QVERIFY(work.isValid());
    const QString fifo = work.filePath(QStringLiteral("out"));
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    // Held open here, so nothing waits for a reader, and read only at the end.
    Stream out(::open(QFile::encodeName(fifo).constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    QVERIFY(out.isOpen());
    Child monitor(OwnConfig);
    QStringList arguments{QStringLiteral("--monitor"), QStringLiteral("COM4"), QStringLiteral("COM5")};
    if (console)
        monitor.process().setStandardOutputFile(fifo);
    else
        arguments << QStringLiteral("--pcap") << fifo;
    QVERIFY(monitor.startSim(arguments));
    Stream a;
    Stream b;
    QVERIFY(QTest::qWaitFor([&] { return QFileInfo::exists(monitor.portsDir() + QStringLiteral("/COM5")); }, WaitMs));
    QVERIFY(a.openTerminal(monitor.portsDir() + QStringLiteral("/COM4")));
    QVERIFY(b.openTerminal(monitor.portsDir() + QStringLiteral("/COM5")));
    const QByteArray probe = frame(0x01, {});
    QVERIFY(QTest::qWaitFor([&] { return a.write(probe) && b.read(probe.size(), 50) == probe; }, WaitMs));

    // Megabytes of output for what passes, both ways: all of it passes.
    QByteArray chunk;
    for (int i = 0; i < 40; ++i)
        chunk += frame(0x01, QByteArray(50, char(i)));
    for (int i = 0; i < 400; ++i) {
        QVERIFY(a.write(chunk) && b.write(chunk));
        QVERIFY2(b.read(chunk.size()) == chunk && a.read(chunk.size()) == chunk, qPrintable(QString::number(i)));
    }
    // A reader that comes back is told, once, how many packets it missed.
    QByteArray got;
    const QRegularExpression missed(QStringLiteral("(\\d+) packets were dropped while the capture was not read"));
    if (resumes)
        QVERIFY(QTest::qWaitFor([&] { got += out.readAvailable(); return missed.match(monitor.errorOutput()).hasMatch(); }, WaitMs));
    const qint64 dropped = resumes ? monitor.stats().value(QStringLiteral("pcap_dropped")) : 0;
    QVERIFY(monitor.signal(SIGTERM));
    QCOMPARE(monitor.waitExit(), 0);
    QCOMPARE(missed.match(monitor.errorOutput()).captured(1).toLongLong(), dropped);

    // What the reader gets is whole lines, or a capture of whole blocks.
    got += out.readAvailable();
    QVERIFY2(got.size() > 16384, qPrintable(QString::number(got.size())));
    if (console) {
        QVERIFY(got.endsWith('\n'));
        for (const QByteArray& line : got.split('\n').mid(3, 100))
            QVERIFY2(line.isEmpty() || line.endsWith(" [1]") || line.contains(QByteArray(" 2E 01 32 ")), line.constData());
    } else {
        QFile file(work.filePath(QStringLiteral("got.pcapng")));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(got) == got.size());
        file.close();
        const Capture capture = readCapture(file.fileName());
        QVERIFY(capture.whole);
        QVERIFY(capture.packets > 10);
        QCOMPARE(capture.linkType, 147);
        if (resumes)
            QCOMPARE(qint64(capture.packets), Child::parseStats(monitor.lines().filter(QStringLiteral("stats ")).constLast()).value(QStringLiteral("pcap_packets")));
    }
}

void SimSerialTest::monitorCaptureFlowsIntoASmallPipe_data()
{
    QTest::addColumn<int>("pages"); // the pipe's size, as its reader set it
    QTest::newRow("one page") << 1;
    QTest::newRow("two pages") << 2;
}

// A reader that makes its pipe small gets the whole capture, header first,
// and every read of a line in it, even reads larger than the pipe.
void SimSerialTest::monitorCaptureFlowsIntoASmallPipe()
{
    QFETCH(int, pages);
    QTemporaryDir work;
    QVERIFY(work.isValid());
    const QString fifo = work.filePath(QStringLiteral("cap"));
    Stream reader(fifoReader(fifo));
    QVERIFY(reader.isOpen());
    const int size = pages * static_cast<int>(::sysconf(_SC_PAGESIZE));
    QCOMPARE(::fcntl(reader.fd(), F_SETPIPE_SZ, size), size);
    Child monitor(OwnConfig);
    Stream a;
    Stream b;
    QVERIFY2(startMonitorOfTwo(monitor, a, b, {QStringLiteral("--pcap"), fifo}), qPrintable(monitor.describe()));
    QByteArray got;
    QByteArray sent;
    // Chunks larger than a terminal's buffer: reads of 4 KB, whose packet
    // blocks are larger than one page.
    for (int i = 0; i < 30; ++i) {
        QByteArray chunk;
        while (chunk.size() < 12000)
            chunk += numberedFrame(0x01, quint32(sent.size() + chunk.size()), QByteArray(40, char(i)));
        QVERIFY(a.write(chunk));
        QCOMPARE(b.read(chunk.size()).size(), chunk.size());
        sent += chunk;
        got += reader.readAvailable();
    }
    QVERIFY2(QTest::qWaitFor([&] { got += reader.readAvailable(); return parseCapture(got).toB.size() >= sent.size(); }, WaitMs),
             qPrintable(QStringLiteral("%1 bytes of capture; ").arg(got.size()) + monitor.describe()));
    const auto stats = monitor.stats();
    monitor.command("quit");
    QCOMPARE(monitor.waitExit(), 0);
    got += reader.readAvailable();
    const Capture capture = parseCapture(got);
    QVERIFY(capture.whole);
    QCOMPARE(capture.linkType, 147);
    QVERIFY(capture.toB == sent);
    QCOMPARE(stats.value(QStringLiteral("pcap_dropped")), qint64(0));
    QCOMPARE(qint64(capture.packets), stats.value(QStringLiteral("pcap_packets")));
}

// Each new reader of the capture FIFO (Wireshark restarted) gets a whole
// capture from its first byte; what passed while none read waits for the next.
void SimSerialTest::monitorCaptureWholeForEveryReader()
{
    QTemporaryDir work;
    QVERIFY(work.isValid());
    const QString fifo = work.filePath(QStringLiteral("cap"));
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    Child monitor(OwnConfig);
    Stream a;
    Stream b;
    QVERIFY2(startMonitorOfTwo(monitor, a, b, {QStringLiteral("--pcap"), fifo}), qPrintable(monitor.describe()));
    const auto pass = [&](int n) {
        const QByteArray chunk = numberedFrame(0x02, quint32(n), QByteArray(30, char(n)));
        return a.write(chunk) && b.read(chunk.size()) == chunk ? chunk : QByteArray();
    };
    // The monitor's descriptors, to see it let go of the FIFO.
    const auto holdsFifo = [&] {
        const QDir fds(QStringLiteral("/proc/%1/fd").arg(monitor.pid()));
        for (const QFileInfo& fd : fds.entryInfoList(QDir::System | QDir::NoDotAndDotDot)) {
            if (fd.symLinkTarget() == fifo)
                return true;
        }
        return false;
    };
    QByteArray unread;
    for (int round = 0; round < 3; ++round) {
        Stream reader(::open(QFile::encodeName(fifo).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        QVERIFY(reader.isOpen());
        QByteArray sent = unread + pass(2 * round);
        sent += pass(2 * round + 1);
        QByteArray got;
        QVERIFY2(QTest::qWaitFor([&] { got += reader.readAvailable(); return parseCapture(got).toB.size() >= sent.size(); }, WaitMs),
                 qPrintable(QStringLiteral("round %1: %2 bytes").arg(round).arg(got.size())));
        const Capture capture = parseCapture(got);
        QVERIFY2(got.startsWith(QByteArray::fromHex("0A0D0D0A")) && capture.whole && capture.linkType == 147, qPrintable(QString::number(round)));
        QVERIFY2(capture.toB == sent, qPrintable(QStringLiteral("round %1: %2 of %3 bytes").arg(round).arg(capture.toB.size()).arg(sent.size())));
        QFile file(work.filePath(QStringLiteral("round%1.pcapng").arg(round)));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(got) == got.size());
        file.close();
        if (!QStandardPaths::findExecutable(QStringLiteral("capinfos")).isEmpty()) {
            QProcess capinfos;
            capinfos.start(QStringLiteral("capinfos"), {file.fileName()});
            QVERIFY(capinfos.waitForFinished(60000));
            QVERIFY2(capinfos.exitCode() == 0, capinfos.readAllStandardError().constData());
        }
        reader.close();
        // As Wireshark takes its time to come back.
        QVERIFY(QTest::qWaitFor([&] { return !holdsFifo(); }, WaitMs));
        unread = pass(100 + round);
    }
    monitor.command("quit");
    QCOMPARE(monitor.waitExit(), 0);
}

void SimSerialTest::monitorStopDrainsTheLines_data()
{
    QTest::addColumn<bool>("quit");      // else SIGTERM
    QTest::addColumn<bool>("readsOn");   // the device reads what comes while the monitor stops
    QTest::newRow("quit, the device reads on") << true << true;
    QTest::newRow("SIGTERM, the device reads on") << false << true;
    QTest::newRow("quit, the device takes nothing") << true << false;
    QTest::newRow("SIGTERM, the device takes nothing") << false << false;
}

void SimSerialTest::monitorStopDrainsTheLines()
{
    QFETCH(bool, quit);
    QFETCH(bool, readsOn);
    Pty device;
    QVERIFY(device.isValid());
    Child monitor(OwnConfig);
    QVERIFY2(monitor.startReady({QStringLiteral("--monitor"), QStringLiteral("COM4"), device.slavePath()}), qPrintable(monitor.describe()));
    Stream host;
    QVERIFY(host.openTerminal(monitor.portsDir() + QStringLiteral("/COM4")));
    QVERIFY(monitor.waitLine(QRegularExpression(QStringLiteral("^connected COM4$"))).hasMatch());
    // A burst the device does not read yet: what the terminal does not hold
    // waits in the monitor.
    QByteArray burst;
    for (int i = 0; i < 90000; ++i)
        burst += char(0x30 + i % 0x40);
    QVERIFY(host.write(burst));
    QTRY_VERIFY_WITH_TIMEOUT(monitor.stats().value(QStringLiteral("ab_bytes")) > 60000, WaitMs);
    if (quit)
        monitor.command("quit");
    else
        QVERIFY(monitor.signal(SIGTERM));
    QByteArray received;
    if (readsOn) {
        QVERIFY(QTest::qWaitFor([&] {
            received += device.readAvailable();
            return monitor.process().state() == QProcess::NotRunning;
        }, WaitMs));
    }
    QCOMPARE(monitor.waitExit(), 0);
    received += device.readAvailable();
    const QStringList statsLines = monitor.lines().filter(QRegularExpression(QStringLiteral("^stats ")));
    QVERIFY(!statsLines.isEmpty());
    const auto stats = Child::parseStats(statsLines.constLast());
    const qint64 dropped = stats.value(QStringLiteral("ab_dropped"), -1);
    QCOMPARE(received.size() + dropped, stats.value(QStringLiteral("ab_bytes")));
    QVERIFY(burst.startsWith(received));
    QVERIFY2(readsOn ? dropped == 0 : dropped > 0, qPrintable(monitor.describe()));
}

void SimSerialTest::monitorReportsALostLineOnce()
{
    auto device = std::make_unique<Pty>();
    QVERIFY(device->isValid());
    const QString line = device->slavePath();
    Child monitor(OwnConfig);
    QVERIFY2(monitor.startReady({QStringLiteral("--monitor"), QStringLiteral("COM4"), line}), qPrintable(monitor.describe()));
    Stream host;
    QVERIFY(host.openTerminal(monitor.portsDir() + QStringLiteral("/COM4")));
    QVERIFY(monitor.waitLine(QRegularExpression(QStringLiteral("^connected COM4$"))).hasMatch());
    // Bytes for the line and its hang-up wait for one and the same turn.
    QVERIFY(monitor.signal(SIGSTOP));
    QVERIFY(host.write(QByteArray::fromHex("2E0500FA")));
    device.reset();
    QVERIFY(monitor.signal(SIGCONT));
    const int lost = monitor.waitLineIndex(QRegularExpression(QStringLiteral("^lost ") + QRegularExpression::escape(line) + QStringLiteral(": ")));
    QVERIFY2(lost >= 0, qPrintable(monitor.describe()));
    QCOMPARE(monitor.stats().value(QStringLiteral("ab_dropped")), qint64(4));
    QCOMPARE(monitor.lines().filter(QRegularExpression(QStringLiteral("^lost "))).size(), 1);
}

void SimSerialTest::lastCloseDropsUnreadBytes()
{
    // The simulator: what the tool left unread is gone when it opens COM3 again.
    Child sim(OwnConfig);
    Stream peer;
    QVERIFY2(startWithPeer(sim, peer), qPrintable(sim.describe()));
    sim.command("raw 01 02 03");
    QTRY_COMPARE_WITH_TIMEOUT(sim.stats().value(QStringLiteral("bytes_out")), qint64(3), WaitMs);
    peer.close();
    QVERIFY(sim.waitLine(QRegularExpression(QStringLiteral("^disconnected$"))).hasMatch());
    QCOMPARE(sim.stats().value(QStringLiteral("bytes_flushed")), qint64(3));
    QVERIFY(peer.openTerminal(sim.portsDir() + QStringLiteral("/COM3")));
    QVERIFY(peer.write(QByteArray::fromHex("2E0500FA")));
    QCOMPARE(peer.read(1).toHex(), QByteArray("ff"));

    // The monitor, for the host on COM5, counted with the bytes dropped for it.
    Child monitor(OwnConfig);
    QVERIFY2(monitor.startReady({QStringLiteral("--monitor"), QStringLiteral("COM4"), QStringLiteral("COM5")}), qPrintable(monitor.describe()));
    Stream a;
    Stream b;
    QVERIFY(a.openTerminal(monitor.portsDir() + QStringLiteral("/COM4")));
    QVERIFY(b.openTerminal(monitor.portsDir() + QStringLiteral("/COM5")));
    QVERIFY(monitor.waitLine(QRegularExpression(QStringLiteral("^connected COM5$"))).hasMatch());
    QVERIFY(a.write(QByteArray::fromHex("010203")));
    QTRY_COMPARE_WITH_TIMEOUT(monitor.stats().value(QStringLiteral("ab_bytes")), qint64(3), WaitMs);
    b.close();
    QVERIFY(monitor.waitLine(QRegularExpression(QStringLiteral("^disconnected COM5$"))).hasMatch());
    QCOMPARE(monitor.stats().value(QStringLiteral("ab_dropped")), qint64(3));
    QVERIFY(b.openTerminal(monitor.portsDir() + QStringLiteral("/COM5")));
    QVERIFY(monitor.waitLine(QRegularExpression(QStringLiteral("^connected COM5$")), 4).hasMatch());
    QVERIFY(a.write(QByteArray::fromHex("2E0500FA")));
    QCOMPARE(b.read(4).toHex(), QByteArray("2e0500fa"));
}

void SimSerialTest::longInputLineIsDiscarded_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("command"); // after the long line; its answer
    QTest::addColumn<QString>("answer");
    QTest::newRow("serial") << QStringList{QStringLiteral("--serial"), QStringLiteral("COM3")} << QByteArray("stats")
                            << QStringLiteral("^stats sent=0 ");
    QTest::newRow("monitor") << QStringList{QStringLiteral("--monitor"), QStringLiteral("COM3"), QStringLiteral("COM4")}
                             << QByteArray("stats") << QStringLiteral("^stats ab_frames=0 ");
}

void SimSerialTest::longInputLineIsDiscarded()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, command);
    QFETCH(QString, answer);
    Child sim(OwnConfig);
    QVERIFY2(sim.startReady(arguments), qPrintable(sim.describe()));
    // 4 MiB without a line end, in pieces, then the end and a command.
    const QByteArray piece(65536, 'x');
    for (int i = 0; i < 64; ++i)
        sim.process().write(piece);
    sim.command("");
    QVERIFY(sim.ask(command, QRegularExpression(answer)).hasMatch());
    QCOMPARE(sim.errorOutput().count(QStringLiteral("was discarded")), 1);
    QVERIFY2(sim.errorOutput().size() < 1000, qPrintable(sim.errorOutput().left(200)));
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
