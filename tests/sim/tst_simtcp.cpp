// korvane-sim in TCP mode, on 127.0.0.1 and a port the system picks: one
// connection at a time, answering frames, closing and resetting connections,
// sending a numbered stream to a connected tool, and replaying a log, a
// hostile one too.

#include "testsupport.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>

using namespace TestSupport;

class SimTcpTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void servesOneConnectionAtATime();
    void halfFrameDoesNotCarryOver();
    void closeAndReset_data();
    void closeAndReset();
    void commandsNeedAConnection();
    void streamsToTheConnectedTool();
    void replayRunsPastMidnight();
    void hostileLogIsReadInBoundedMemory();
};

namespace {

bool startLoopback(Child& sim, quint16& port, const QStringList& extra = {})
{
    QRegularExpressionMatch ready;
    if (!sim.startReady(QStringList{QStringLiteral("--tcp"), QStringLiteral("127.0.0.1:0")} + extra, &ready))
        return false;
    const QRegularExpressionMatch m = tcpReady().match(ready.captured(0));
    port = quint16(m.captured(1).toUInt());
    return m.hasMatch() && port != 0;
}

// Index of the first line at or after `from` that matches; -1 if none comes.
int lineIndex(Child& sim, const QString& pattern, int from = 0)
{
    return sim.waitLineIndex(QRegularExpression(pattern), from);
}

} // namespace

void SimTcpTest::servesOneConnectionAtATime()
{
    Child sim(OwnConfig);
    quint16 port = 0;
    QVERIFY2(startLoopback(sim, port), qPrintable(sim.describe()));
    Stream first;
    QVERIFY(first.connectLoopback(port));
    const int connected = lineIndex(sim, QStringLiteral("^connected$"));
    QVERIFY(connected > 0);

    // The second client gets through the backlog but is not served yet.
    Stream second;
    QVERIFY(second.connectLoopback(port));
    QVERIFY(second.write(QByteArray::fromHex("2E0500FA")));
    QVERIFY(first.write(QByteArray::fromHex("2E01020AFFF3")));
    QCOMPARE(first.read(1).toHex(), QByteArray("ff"));
    const int firstFrame = lineIndex(sim, QStringLiteral("  2E 01 02 0A FF F3 \\[1\\]$"), connected);
    QVERIFY(firstFrame > connected);
    QCOMPARE(sim.stats().value(QStringLiteral("bytes_in")), qint64(6));

    first.close();
    const int gone = lineIndex(sim, QStringLiteral("^disconnected$"), firstFrame);
    QVERIFY2(gone > firstFrame, qPrintable(sim.describe()));
    const int next = lineIndex(sim, QStringLiteral("^connected$"), gone);
    QVERIFY(next > gone);
    QCOMPARE(second.read(1).toHex(), QByteArray("ff"));
    QVERIFY(lineIndex(sim, QStringLiteral("  2E 05 00 FA \\[2\\]$"), next) > next);
}

void SimTcpTest::halfFrameDoesNotCarryOver()
{
    Child sim(OwnConfig);
    quint16 port = 0;
    QVERIFY2(startLoopback(sim, port), qPrintable(sim.describe()));
    {
        Stream first;
        QVERIFY(first.connectLoopback(port));
        QVERIFY(first.write(QByteArray::fromHex("2E0102")));
        QTRY_COMPARE_WITH_TIMEOUT(sim.stats().value(QStringLiteral("bytes_in")), qint64(3), WaitMs);
    }
    QVERIFY(lineIndex(sim, QStringLiteral("^disconnected$")) > 0);
    // Were the old frame still open, 2E 05 would be its data and 00 its
    // checksum, and this client would get F0.
    Stream second;
    QVERIFY(second.connectLoopback(port));
    QVERIFY(second.write(QByteArray::fromHex("2E0500FA")));
    QCOMPARE(second.read(1).toHex(), QByteArray("ff"));
}

void SimTcpTest::closeAndReset_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<int>("end"); // what the tool's read ends with
    QTest::newRow("close") << QByteArray("close") << 0;
    QTest::newRow("rst") << QByteArray("rst") << int(ECONNRESET);
}

void SimTcpTest::closeAndReset()
{
    QFETCH(QByteArray, command);
    QFETCH(int, end);
    Child sim(OwnConfig);
    quint16 port = 0;
    QVERIFY2(startLoopback(sim, port), qPrintable(sim.describe()));
    Stream peer;
    QVERIFY(peer.connectLoopback(port));
    const int connected = lineIndex(sim, QStringLiteral("^connected$"));
    QVERIFY(connected > 0);
    sim.command("send 01 0A FF");
    QCOMPARE(peer.read(6).toHex(), QByteArray("2e01020afff3"));
    sim.command(command);
    QCOMPARE(peer.waitEnd(), end);
    const int gone = lineIndex(sim, QStringLiteral("^disconnected$"), connected);
    QVERIFY(gone > connected);

    // Listening goes on.
    Stream again;
    QVERIFY(again.connectLoopback(port));
    QVERIFY(lineIndex(sim, QStringLiteral("^connected$"), gone) > gone);
    QVERIFY(again.write(QByteArray::fromHex("2E01020AFFF4")));
    QCOMPARE(again.read(1).toHex(), QByteArray("f0"));
    QVERIFY(lineIndex(sim, QStringLiteral("  2E 01 02 0A FF F4 \\[1\\] bad$"), gone) > gone);
    sim.command("quit");
    QCOMPARE(sim.waitExit(), 0);
}

void SimTcpTest::commandsNeedAConnection()
{
    Child sim(OwnConfig);
    quint16 port = 0;
    QVERIFY2(startLoopback(sim, port), qPrintable(sim.describe()));
    sim.command("send 01 0A FF");
    sim.command("close");
    QTRY_VERIFY_WITH_TIMEOUT(sim.errorOutput().count(QStringLiteral("no connection")) == 2, WaitMs);

    Stream peer;
    QVERIFY(peer.connectLoopback(port));
    QVERIFY(lineIndex(sim, QStringLiteral("^connected$")) > 0);
    sim.command("nak");
    // The frame given before the connection was dropped, not kept back.
    QCOMPARE(peer.read(1).toHex(), QByteArray("f0"));
    const auto stats = sim.stats();
    QCOMPARE(stats.value(QStringLiteral("sent")), qint64(0));
    QCOMPARE(stats.value(QStringLiteral("bytes_out")), qint64(1));
}

void SimTcpTest::streamsToTheConnectedTool()
{
    Child sim(OwnConfig);
    quint16 port = 0;
    QVERIFY2(startLoopback(sim, port, {QStringLiteral("--number"), QStringLiteral("--rate"), QStringLiteral("1000"),
                                       QStringLiteral("--count"), QStringLiteral("300"), QStringLiteral("--bad-share"),
                                       QStringLiteral("0.1"), QStringLiteral("--linger"), QStringLiteral("0"),
                                       QStringLiteral("--quiet")}),
             qPrintable(sim.describe()));
    // Nothing is sent before a tool connects.
    QCOMPARE(sim.stats().value(QStringLiteral("sent")), qint64(0));

    Stream peer;
    QVERIFY(peer.connectLoopback(port));
    QByteArray bytes;
    QDeadlineTimer deadline(WaitMs * 3);
    while (parseStream(bytes).frames.size() < 300 && !deadline.hasExpired())
        bytes += peer.read(1 << 20, 100);
    const Parsed parsed = parseStream(bytes);
    QCOMPARE(int(parsed.frames.size()), 300);
    QVERIFY(parsed.between.isEmpty());
    int bad = 0;
    for (int i = 0; i < 300; ++i) {
        const Frame& frame = parsed.frames[std::size_t(i)];
        QCOMPARE(int(frame.data.size()), 4);
        QCOMPARE((frame.data[0] << 24) | (frame.data[1] << 16) | (frame.data[2] << 8) | frame.data[3], i);
        bad += frame.good ? 0 : 1;
    }
    QCOMPARE(bad, 30);

    // The run was bounded: the simulator ends by itself once all is written.
    const int from = int(sim.lines().size());
    QCOMPARE(sim.waitExit(), 0);
    const QRegularExpressionMatch stats = sim.waitLine(QRegularExpression(QStringLiteral("^stats .*$")), from);
    QVERIFY(stats.hasMatch());
    const auto fields = Child::parseStats(stats.captured(0));
    QCOMPARE(fields.value(QStringLiteral("sent")), qint64(300));
    QCOMPARE(fields.value(QStringLiteral("sent_bad")), qint64(30));
    QCOMPARE(peer.waitEnd(), 0);
}

void SimTcpTest::replayRunsPastMidnight()
{
    // Past midnight, then the clock set back a little: neither may hold the
    // replay up for a day, and the frames keep the log's order.
    QTemporaryDir dir;
    QFile log(dir.filePath(QStringLiteral("Korvane_data.csv")));
    QVERIFY(log.open(QIODevice::WriteOnly));
    log.write("Korvane Bus Traffic File \nNew Data ,2026-12-07 \nnew Time ,23:59:58,\n\n\n\n"
              "time,time_ms,head,type,len,data,...,...,-,inx\n"
              "23:59:59,900,2E,01,02,0A,FF,F3,-,[2]\n"
              "00:00:00,100,2E,05,00,FA,-,[3]\n"
              "2E,05,00,FA\n"
              "00:00:00,050,2E,02,01,33,C9,-,[4]\n");
    log.close();
    Child sim(OwnConfig);
    quint16 port = 0;
    QVERIFY2(startLoopback(sim, port, {QStringLiteral("--replay"), log.fileName()}), qPrintable(sim.describe()));
    Stream tool;
    QVERIFY(tool.connectLoopback(port));
    QCOMPARE(tool.read(15).toHex(' '), QByteArray("2e 01 02 0a ff f3 2e 05 00 fa 2e 02 01 33 c9"));
    QCOMPARE(sim.waitExit(), 0);
    QVERIFY2(sim.errorOutput().contains(QStringLiteral("line 10: ")), qPrintable(sim.describe()));
    QVERIFY(sim.waitLine(QRegularExpression(QStringLiteral("^stats sent=3 .* replay_rows=3 skipped_rows=1$"))).hasMatch());
}

void SimTcpTest::hostileLogIsReadInBoundedMemory()
{
    QTemporaryDir dir;
    const auto writeLog = [&](const QString& name, const QByteArray& text) {
        QFile log(dir.filePath(name));
        return log.open(QIODevice::WriteOnly) && log.write(text) == text.size() ? log.fileName() : QString();
    };
    const QByteArray goodRow = "12:00:01,000,2E,05,00,FA,-,[3]\n";
    const QString plain = writeLog(QStringLiteral("plain.csv"), goodRow);
    // A line of commas as long as a whole log, a time that is a terminal's
    // escape sequences, a long field that is no hex byte, and a million
    // short bad lines, whose reasons are not all kept.
    constexpr int LineBytes = 4 << 20;
    QByteArray shortBadLines;
    for (int i = 0; i < 1000000; ++i)
        shortBadLines += "x\n";
    const QString hostile = writeLog(QStringLiteral("hostile.csv"),
                                     QByteArray(LineBytes, ',') + "\n\x1b]0;owned\x07\x1b[2J,000,2E,05,00,FA,-,[1]\n"
                                         + "12:00:00,000,2E,05,00," + QByteArray(300, 'Z') + ",-,[2]\n" + shortBadLines + goodRow);
    QVERIFY(!plain.isEmpty() && !hostile.isEmpty());

    quint16 port = 0;
    Child plainSim(OwnConfig);
    QVERIFY2(startLoopback(plainSim, port, {QStringLiteral("--replay"), plain}), qPrintable(plainSim.describe()));
    const qint64 plainPeak = peakResidentBytes(plainSim.pid());
    Child sim(OwnConfig); // the log is read before the ready line
    QVERIFY2(startLoopback(sim, port, {QStringLiteral("--replay"), hostile}), qPrintable(sim.describe()));
    const qint64 hostilePeak = peakResidentBytes(sim.pid());
    QVERIFY(plainPeak > 0 && hostilePeak > 0);
    // AddressSanitizer keeps freed memory resident, a million bad lines' worth.
    if (residentSizeTellsLeaks())
        QVERIFY2(hostilePeak < plainPeak + LineBytes,
             qPrintable(QStringLiteral("%1 bytes at most, %2 for a plain log").arg(hostilePeak).arg(plainPeak)));

    Stream tool;
    QVERIFY(tool.connectLoopback(port));
    QCOMPARE(tool.read(4).toHex(' '), QByteArray("2e 05 00 fa"));
    QCOMPARE(sim.waitExit(), 0);
    const QByteArray errors = sim.errorOutput().toLatin1();
    QVERIFY2(errors.contains("line 1: 4194304 bytes, longer than any row; skipped\n"), errors.constData());
    QVERIFY2(errors.contains("line 2: \"\\x1B]0;owned\\x07\\x1B[2J\" is not a time"), errors.constData());
    QVERIFY2(errors.contains("line 3: \"" + QByteArray(40, 'Z') + "\" (300 bytes) is not a hex byte"), errors.constData());
    QVERIFY2(sim.errorOutput().contains(QStringLiteral(": \u2026 and 999983 more rows skipped\n")), errors.right(300).constData());
    QVERIFY2(!errors.contains('\x1b') && errors.size() < 4000, errors.left(1000).constData());
    QVERIFY(sim.waitLine(QRegularExpression(QStringLiteral(" replay_rows=1 skipped_rows=1000003$"))).hasMatch());
}

QTEST_GUILESS_MAIN(SimTcpTest)
#include "tst_simtcp.moc"
