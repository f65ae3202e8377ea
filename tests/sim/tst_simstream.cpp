// korvane-sim sending on its own: --frame/--count/--rate/--duration, bad
// checksums, noise, numbering and time stamps, read back from the tool's end
// of the pseudo-terminal and checked frame by frame.

#include "testsupport.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <ctime>

using namespace TestSupport;

class SimStreamTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void sendsTheRightFrames_data();
    void sendsTheRightFrames();
    void timestampsPerFrame();
    void streamFollowsTheToolOpeningAndClosing();
    void boundedRunEnds();
};

namespace {

qint64 wallNs()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return qint64(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// Reads from the peer until `frames` whole frames have come.
QByteArray readFrames(Stream& peer, int frames, int chunk)
{
    QByteArray bytes;
    QDeadlineTimer deadline(60000);
    while (!deadline.hasExpired()) {
        bytes += peer.read(1 << 20, 100, chunk);
        if (int(parseStream(bytes).frames.size()) >= frames)
            break;
    }
    return bytes;
}

bool startHeld(Child& sim, Stream& peer, const QStringList& extra)
{
    if (!sim.startReady(QStringList{QStringLiteral("--serial"), QStringLiteral("COM5"), QStringLiteral("--hold"),
                                    QStringLiteral("--stay")} + extra))
        return false;
    return peer.openTerminal(sim.portsDir() + QStringLiteral("/COM5"));
}

std::vector<std::uint8_t> bytesOf(const QByteArray& hex)
{
    const QByteArray raw = QByteArray::fromHex(hex);
    return std::vector<std::uint8_t>(raw.begin(), raw.end());
}

} // namespace

void SimStreamTest::sendsTheRightFrames_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QList<QByteArray>>("templates"); // type then data, hex
    QTest::addColumn<int>("frames");
    QTest::addColumn<int>("bad");
    QTest::addColumn<bool>("numbered");
    QTest::addColumn<bool>("noise");
    QTest::addColumn<int>("chunk");

    const QString f = QStringLiteral("--frame");
    QTest::newRow("each frame once") << QStringList{f, QStringLiteral("01 11"), f, QStringLiteral("02 22 33")}
                                     << QList<QByteArray>{"0111", "022233"} << 2 << 0 << false << false << 4096;
    QTest::newRow("count cycles the frames")
        << QStringList{f, QStringLiteral("01 11"), f, QStringLiteral("02 22 33"), QStringLiteral("--count"), QStringLiteral("5")}
        << QList<QByteArray>{"0111", "022233"} << 5 << 0 << false << false << 4096;
    QTest::newRow("default frame") << QStringList{QStringLiteral("--count"), QStringLiteral("3")}
                                   << QList<QByteArray>{"0100000000"} << 3 << 0 << false << false << 4096;
    QTest::newRow("numbered at 500/s")
        << QStringList{f, QStringLiteral("07 AA"), QStringLiteral("--number"), QStringLiteral("--rate"), QStringLiteral("500"),
                       QStringLiteral("--count"), QStringLiteral("100")}
        << QList<QByteArray>{"07AA"} << 100 << 0 << true << false << 4096;
    QTest::newRow("numbering pads to four bytes")
        << QStringList{f, QStringLiteral("09"), QStringLiteral("--number"), QStringLiteral("--count"), QStringLiteral("10")}
        << QList<QByteArray>{"09"} << 10 << 0 << true << false << 4096;
    QTest::newRow("bad and noise shares at 2000/s")
        << QStringList{f, QStringLiteral("01 02 03 04 05 06"), QStringLiteral("--number"), QStringLiteral("--rate"),
                       QStringLiteral("2000"), QStringLiteral("--count"), QStringLiteral("400"), QStringLiteral("--bad-share"),
                       QStringLiteral("0.1"), QStringLiteral("--noise-share"), QStringLiteral("0.25")}
        << QList<QByteArray>{"010203040506"} << 400 << 40 << true << true << 4096;
    QTest::newRow("duration at 200/s")
        << QStringList{QStringLiteral("--number"), QStringLiteral("--rate"), QStringLiteral("200"), QStringLiteral("--duration"),
                       QStringLiteral("0.5")}
        << QList<QByteArray>{"0100000000"} << 100 << 0 << true << false << 4096;
    QTest::newRow("slow reader, unpaced, 20000 frames")
        << QStringList{f, QStringLiteral("01 00 00 00 00 01 02 03 04 05 06 07 08 09"), QStringLiteral("--number"),
                       QStringLiteral("--count"), QStringLiteral("20000"), QStringLiteral("--bad-share"), QStringLiteral("0.01"),
                       QStringLiteral("--noise-share"), QStringLiteral("0.5"), QStringLiteral("--quiet")}
        << QList<QByteArray>{"0100000000010203040506070809"} << 20000 << 200 << true << true << 64;
}

void SimStreamTest::sendsTheRightFrames()
{
    QFETCH(QStringList, arguments);
    QFETCH(QList<QByteArray>, templates);
    QFETCH(int, frames);
    QFETCH(int, bad);
    QFETCH(bool, numbered);
    QFETCH(bool, noise);
    QFETCH(int, chunk);

    Child sim(OwnConfig);
    Stream peer;
    QVERIFY2(startHeld(sim, peer, arguments), qPrintable(sim.describe()));
    QCOMPARE(sim.stats().value(QStringLiteral("sent")), qint64(0)); // --hold holds
    sim.command("start");

    const QByteArray bytes = readFrames(peer, frames, chunk);
    const Parsed parsed = parseStream(bytes);
    QCOMPARE(int(parsed.frames.size()), frames);
    QVERIFY(parsed.rest.isEmpty());

    int badSeen = 0;
    for (int i = 0; i < frames; ++i) {
        const Frame& frame = parsed.frames[std::size_t(i)];
        const std::vector<std::uint8_t> tmpl = bytesOf(templates.at(i % templates.size()));
        std::vector<std::uint8_t> expected(tmpl.begin() + 1, tmpl.end());
        if (numbered) {
            if (expected.size() < 4)
                expected.resize(4, 0);
            expected[0] = std::uint8_t(i >> 24);
            expected[1] = std::uint8_t(i >> 16);
            expected[2] = std::uint8_t(i >> 8);
            expected[3] = std::uint8_t(i);
        }
        QCOMPARE(frame.type, tmpl.front());
        QVERIFY2(frame.data == expected, qPrintable(QStringLiteral("frame %1 carries the wrong data").arg(i)));
        if (!frame.good) {
            ++badSeen;
            // A corrupted checksum is still off by exactly one, not random.
            QCOMPARE(std::uint8_t(frame.checksum - 1), checksum(frame.type, frame.data));
        }
    }
    QCOMPARE(badSeen, bad);

    for (char byte : parsed.between)
        QVERIFY2(byte != char(0x2E) && byte != char(0xFF) && byte != char(0xF0), "noise holds a start or reply byte");
    QCOMPARE(!parsed.between.isEmpty(), noise);

    const auto stats = sim.stats();
    QCOMPARE(stats.value(QStringLiteral("sent")), qint64(frames));
    QCOMPARE(stats.value(QStringLiteral("sent_bad")), qint64(bad));
    QCOMPARE(stats.value(QStringLiteral("noise_bytes")), qint64(parsed.between.size()));
    QCOMPARE(stats.value(QStringLiteral("bytes_out")), qint64(bytes.size()));
    sim.command("quit");
    QCOMPARE(sim.waitExit(), 0);
}

void SimStreamTest::timestampsPerFrame()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString file = dir.filePath(QStringLiteral("stamps.txt"));
    Child sim(OwnConfig);
    Stream peer;
    QVERIFY2(startHeld(sim, peer, {QStringLiteral("--number"), QStringLiteral("--rate"), QStringLiteral("1000"),
                                   QStringLiteral("--count"), QStringLiteral("200"), QStringLiteral("--timestamps"), file}),
             qPrintable(sim.describe()));
    const qint64 before = wallNs();
    sim.command("start");
    QCOMPARE(int(parseStream(readFrames(peer, 200, 4096)).frames.size()), 200);
    sim.command("quit");
    QCOMPARE(sim.waitExit(), 0);
    const qint64 after = wallNs();

    QFile stamps(file);
    QVERIFY(stamps.open(QIODevice::ReadOnly | QIODevice::Text));
    const QList<QByteArray> lines = stamps.readAll().split('\n');
    QCOMPARE(lines.size(), 201); // the last line feed leaves an empty tail
    QVERIFY(lines.last().isEmpty());
    qint64 previous = before;
    for (int i = 0; i < 200; ++i) {
        const QList<QByteArray> fields = lines.at(i).split(' ');
        QCOMPARE(fields.size(), 2);
        QCOMPARE(fields.at(0).toLongLong(), qint64(i));
        const qint64 ns = fields.at(1).toLongLong();
        QVERIFY2(ns >= previous && ns <= after, lines.at(i).constData());
        previous = ns;
    }
}

void SimStreamTest::streamFollowsTheToolOpeningAndClosing()
{
    Child sim(OwnConfig);
    QVERIFY2(sim.startReady({QStringLiteral("--serial"), QStringLiteral("COM6"), QStringLiteral("--number"),
                             QStringLiteral("--rate"), QStringLiteral("200"), QStringLiteral("--quiet")}),
             qPrintable(sim.describe()));
    // Nobody has COM6 open: nothing is sent that would pile up in the terminal.
    QCOMPARE(sim.stats().value(QStringLiteral("sent")), qint64(0));

    Stream peer;
    QVERIFY(peer.openTerminal(sim.portsDir() + QStringLiteral("/COM6")));
    const int opened = sim.waitLineIndex(QRegularExpression(QStringLiteral("^connected$")));
    QVERIFY2(opened > 0, qPrintable(sim.describe()));
    Parsed first = parseStream(readFrames(peer, 10, 4096));
    QVERIFY(first.frames.size() >= 10);
    QCOMPARE(int(first.frames[0].data[3]), 0);

    peer.close();
    const int closed = sim.waitLineIndex(QRegularExpression(QStringLiteral("^disconnected$")), opened);
    QVERIFY2(closed > opened, qPrintable(sim.describe()));
    const qint64 sentWhileOpen = sim.stats().value(QStringLiteral("sent"));

    QVERIFY(peer.openTerminal(sim.portsDir() + QStringLiteral("/COM6")));
    QVERIFY(sim.waitLineIndex(QRegularExpression(QStringLiteral("^connected$")), closed) > closed);
    // The stream resumes where it paused: the numbers go on from what had
    // been sent, without a jump for the time the port was closed.
    const Parsed second = parseStream(readFrames(peer, 5, 4096));
    QVERIFY(second.frames.size() >= 5);
    const Frame& last = second.frames.back();
    const qint64 lastSeq = (qint64(last.data[0]) << 24) | (last.data[1] << 16) | (last.data[2] << 8) | last.data[3];
    QVERIFY2(lastSeq >= sentWhileOpen && lastSeq < sentWhileOpen + qint64(second.frames.size()) + 2,
             qPrintable(QStringLiteral("seq %1 after %2 sent").arg(lastSeq).arg(sentWhileOpen)));
}

void SimStreamTest::boundedRunEnds()
{
    // --count without --stay: the simulator ends by itself once the frames are
    // written and the linger time for replies is over.
    Child sim(OwnConfig);
    QVERIFY2(sim.startReady({QStringLiteral("--serial"), QStringLiteral("COM6"), QStringLiteral("--count"), QStringLiteral("3"),
                             QStringLiteral("--linger"), QStringLiteral("50")}),
             qPrintable(sim.describe()));
    Stream peer;
    QVERIFY(peer.openTerminal(sim.portsDir() + QStringLiteral("/COM6")));
    QCOMPARE(sim.waitExit(), 0);
    const QRegularExpressionMatch stats = sim.waitLine(QRegularExpression(QStringLiteral("^stats .*$")));
    QVERIFY(stats.hasMatch());
    QCOMPARE(Child::parseStats(stats.captured(0)).value(QStringLiteral("sent")), qint64(3));
    QVERIFY(!QFileInfo::exists(sim.portsDir() + QStringLiteral("/COM6")));
}

QTEST_GUILESS_MAIN(SimStreamTest)
#include "tst_simstream.moc"
