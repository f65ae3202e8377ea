// The history's Qt-free core on files the shared writers make: what the
// index holds, filters, search, going to a time, export read back, bad
// input, and a file that grows or is cut while open.
#include "historyexport.h"
#include "historyplots.h"
#include "linkframe.h"
#include "monitorlog.h"
#include "monoclock.h"
#include "pcapngblocks.h"
#include "sessionrecord.h"
#include "testsupport.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>
#include <unistd.h>

using namespace History;

namespace {

// 2026-03-01 12:00:00 UTC, in nanoseconds.
constexpr std::int64_t BaseNs = 1772366400LL * 1000000000;

// One frame as the test means it, which the index must give back.
struct Truth
{
    bool sent = false;
    std::uint8_t type = 0;
    std::vector<std::uint8_t> data;
    bool bad = false;
    Reply reply = Reply::None;
    std::int64_t us = 0;
    std::int64_t logIndex = -1;

    std::vector<std::uint8_t> bytes() const
    {
        std::vector<std::uint8_t> out(data.size() + LinkFrame::Overhead);
        LinkFrame::encode(type, static_cast<std::uint8_t>(data.size()), data.data(), out.data());
        out.back() = static_cast<std::uint8_t>(out.back() + bad);
        return out;
    }
};

// A session of n frames both ways: types 01..05 and 81, some bad, replies of
// every kind, a 81 xx 0A frame every 7th, times 1.5 ms apart.
std::vector<Truth> session(int n)
{
    std::vector<Truth> frames;
    std::int64_t logged = 0;
    for (int i = 0; i < n; ++i) {
        Truth t;
        t.sent = i % 3 == 0;
        t.type = i % 7 == 0 ? 0x81 : static_cast<std::uint8_t>(1 + i % 5);
        t.data = i % 7 == 0 ? std::vector<std::uint8_t>{std::uint8_t(i), 0x0A}
                            : std::vector<std::uint8_t>{std::uint8_t(i), std::uint8_t(i >> 8), 0x33};
        t.bad = i % 11 == 5;
        t.reply = i % 13 == 4 ? Reply::None : (t.bad || i % 17 == 3) ? Reply::Nak : Reply::Ack;
        t.us = i * 1500LL;
        if (!t.sent && !t.bad)
            t.logIndex = ++logged;
        frames.push_back(t);
    }
    return frames;
}

void writeRecord(const QString& path, const std::vector<Truth>& frames)
{
    SessionRecord record;
    std::string error;
    QVERIFY2(record.open(path.toStdString(), "test", error), error.c_str());
    for (const Truth& t : frames) {
        const auto bytes = t.bytes();
        const std::int64_t ns = BaseNs + t.us * 1000;
        if (t.sent)
            record.sent(ns, bytes.data(), bytes.size());
        else
            record.received(ns, bytes.data(), bytes.size(), t.logIndex > 0 ? std::uint64_t(t.logIndex) : 0);
        if (t.reply != Reply::None) {
            const std::uint8_t reply = t.reply == Reply::Ack ? LinkFrame::Ack : LinkFrame::Nak;
            t.sent ? record.replyReceived(ns + 100000, reply) : record.replySent(ns + 100000, reply);
        }
        QVERIFY(record.flush());
    }
    record.drain(SimClock::monotonicNs() + 10000000000LL);
}

// The good received frames as the window logs them, one per ms from a
// time of day given in ms.
void writeLog(const QString& path, const std::vector<Truth>& frames, std::int64_t startMs = 12 * 3600 * 1000)
{
    MonitorLog log;
    std::string error;
    QVERIFY2(log.open(path.toStdString(), error, false), error.c_str());
    for (const Truth& t : frames) {
        ReceivedFrame frame;
        frame.type = t.type;
        frame.len = static_cast<std::uint8_t>(t.data.size());
        frame.data = t.data;
        frame.checksum = t.bytes().back();
        frame.good = !t.bad;
        // Local time of day: the wall clock at local midnight plus the offset.
        std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        local.tm_hour = local.tm_min = local.tm_sec = 0;
        frame.startWallNs = (std::int64_t(std::mktime(&local)) * 1000 + startMs + t.us / 1000) * 1000000;
        log.row(frame, std::uint64_t(t.logIndex), nullptr);
    }
    QVERIFY(log.flush());
    log.drain(SimClock::monotonicNs() + 10000000000LL);
}

void append(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::Append));
    QCOMPARE(file.write(bytes), bytes.size());
}

// Opens and indexes a whole file.
void indexAll(HistoryIndex& index, const QString& path);

// A session of n frames written as the window's record and indexed.
void indexSession(HistoryIndex& index, std::vector<Truth>& frames, int n, const QString& path)
{
    frames = session(n);
    writeRecord(path, frames);
    indexAll(index, path);
}


void indexAll(HistoryIndex& index, const QString& path)
{
    std::string error;
    QVERIFY2(index.open(path.toStdString(), error), error.c_str());
    for (int slices = 0; !index.indexMore().done; ++slices)
        QVERIFY(slices < 100000);
}

void compareRow(const HistoryIndex& index, std::size_t at, const Truth& t, bool withReply)
{
    Row row;
    QVERIFY(index.row(at, row));
    QCOMPARE(int(row.kind), int(Kind::Frame));
    QCOMPARE(row.bytes, t.bytes());
    QCOMPARE(row.type, t.type);
    QCOMPARE(row.good, !t.bad);
    QCOMPARE(row.direction, t.sent ? Direction::Sent : Direction::Received);
    QCOMPARE(row.logIndex, t.logIndex);
    QCOMPARE(index.entry(at).type(), t.type);
    QCOMPARE(index.entry(at).good(), !t.bad);
    if (withReply)
        QCOMPARE(int(row.reply), int(t.reply));
}

QByteArray u32(std::uint32_t v)
{
    return QByteArray(reinterpret_cast<const char*>(&v), 4);
}

// A pcapng block of a type and body, its lengths filled in.
QByteArray block(std::uint32_t type, const QByteArray& body)
{
    const auto length = static_cast<std::uint32_t>(12 + ((body.size() + 3) & ~3));
    QByteArray padded = body;
    padded.resize((body.size() + 3) & ~3, '\0');
    return u32(type) + u32(length) + padded + u32(length);
}

QByteArray sectionAndInterface(std::uint16_t linkType = Pcapng::LinkTypeUser0)
{
    const QByteArray shb = block(Pcapng::SectionHeader, u32(Pcapng::ByteOrderMagic) + u32(1) + QByteArray(8, '\xFF'));
    QByteArray idb = QByteArray(reinterpret_cast<const char*>(&linkType), 2) + QByteArray(6, '\0');
    return shb + block(Pcapng::InterfaceDescription, idb);
}

// One packet on an interface at a time in microseconds, with a direction.
QByteArray packet(const QByteArray& data, std::uint32_t flags, std::uint64_t us, std::uint32_t face = 0)
{
    QByteArray body = u32(face) + u32(std::uint32_t(us >> 32)) + u32(std::uint32_t(us)) + u32(std::uint32_t(data.size()))
        + u32(std::uint32_t(data.size())) + data;
    body.resize((body.size() + 3) & ~3, '\0');
    body += u32(Pcapng::EpbFlags | (4u << 16)) + u32(flags) + u32(0);
    return block(Pcapng::EnhancedPacket, body);
}

} // namespace

class HistoryIndexTest : public QObject
{
    Q_OBJECT

private slots:
    void init() { QVERIFY(m_dir.isValid()); }
    void recordIndexesEveryFrameWithItsReply();
    void logIndexesRowsAcrossMidnight();
    void badInput_data();
    void badInput();
    void sparseFileCostsNoMemory_data();
    void sparseFileCostsNoMemory();
    void rowsFarApartKeepTheirPlace();
    void frameSplitAcrossReads();
    void logRowsAsWritten_data();
    void logRowsAsWritten();
    void filters_data();
    void filters();
    void findAndGoToTime();
    void statsAndPlots();
    void exportReadsBackEqual_data();
    void exportReadsBackEqual();
    void growsAndIsCutWhileOpen();
    void recordSaysFullDiskOnce();

private:
    QString file(const char* name) const { return m_dir.filePath(QString::fromLatin1(name)); }
    QTemporaryDir m_dir;
};

void HistoryIndexTest::recordIndexesEveryFrameWithItsReply()
{
    const auto frames = session(3000);
    const QString path = file("session.pcapng");
    writeRecord(path, frames);
    HistoryIndex index;
    indexAll(index, path);
    QCOMPARE(int(index.format()), int(HistoryIndex::Format::Pcapng));
    QCOMPARE(index.size(), frames.size());
    QCOMPARE(index.firstWallUs(), BaseNs / 1000);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        compareRow(index, i, frames[i], true);
        QCOMPARE(index.entry(i).offsetUs(), frames[i].us);
    }
    QVERIFY(index.message().empty());
    // 12 bytes a row once the file is read to its end.
    QVERIFY(index.memoryBytes() <= frames.size() * 12 + 1024);
}

void HistoryIndexTest::logIndexesRowsAcrossMidnight()
{
    std::vector<Truth> frames;
    for (const Truth& t : session(600)) {
        if (t.logIndex > 0)
            frames.push_back(t);
    }
    const QString path = file("Korvane_data-1.csv");
    // From half a second before midnight: the rows run on past it.
    writeLog(path, frames, 24 * 3600 * 1000 - 500);
    append(path, "12:00:00,000,2E,01,01,zz,FD,-,[9]\n");
    HistoryIndex index;
    indexAll(index, path);
    QCOMPARE(int(index.format()), int(HistoryIndex::Format::TrafficLog));
    QCOMPARE(index.size(), frames.size() + 1);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        compareRow(index, i, frames[i], false);
        QCOMPARE(index.entry(i).offsetUs(), frames[i].us / 1000 * 1000 - frames[0].us / 1000 * 1000);
    }
    Row bad;
    QVERIFY(index.row(frames.size(), bad));
    QCOMPARE(int(bad.kind), int(Kind::Malformed));
    // The header block is 7 lines long.
    QCOMPARE(bad.line, std::int64_t(7 + frames.size() + 1));
    QVERIFY2(bad.problem.find("\"zz\" is not a hex byte") != std::string::npos, bad.problem.c_str());
}

void HistoryIndexTest::badInput_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("failed");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("frames");
    QTest::addColumn<int>("malformed");   // rows, each at its offset
    QTest::addColumn<qint64>("firstBad"); // file offset of the first malformed row

    const QByteArray good = TestSupport::frame(0x01, QByteArray(1, '\0'));
    const QByteArray head = sectionAndInterface();
    QTest::newRow("empty file") << QByteArray() << false << "the file is empty" << 0 << 0 << qint64(-1);
    QTest::newRow("text that is no log") << QByteArray("hello, world\n") << true << "is neither" << 0 << 0 << qint64(-1);
    QTest::newRow("binary that is no capture") << QByteArray(4096, '\x01') << true << "is neither" << 0 << 0 << qint64(-1);
    QTest::newRow("unknown block type") << head + block(0x0BAD, "xyz") + packet(good, 1, 5) << false
                                        << "1 blocks of other types skipped" << 1 << 0 << qint64(-1);
    QTest::newRow("another link type")
        << head + block(Pcapng::InterfaceDescription, QByteArray("\x01\0\0\0\0\0\0\0", 8)) + packet(good, 1, 5, 1)
               + packet(good, 1, 6)
        << false << "1 packets of another link type skipped" << 1 << 0 << qint64(-1);
    QByteArray broken = packet(good, 1, 5);
    broken[broken.size() - 4] = 0x7F; // the trailing length no longer matches
    QTest::newRow("block with a wrong trailing length")
        << head + broken + packet(good, 2, 6) << false << "" << 1 << 1 << qint64(head.size());
    QTest::newRow("packet on an interface never described")
        << head + packet(good, 1, 5, 3) + packet(good, 1, 6) << false << "" << 1 << 1 << qint64(head.size());
    // Its end is looked for over several slices.
    QTest::newRow("log line longer than a slice")
        << QByteArray("Korvane Bus Traffic File \n") + QByteArray(70 << 20, 'x')
               + QByteArray("\n12:00:00,000,2E,01,01,00,FD,-,[1]\n")
        << false << "" << 1 << 1 << qint64(26);
    QTest::newRow("log line that is not a row")
        << QByteArray("Korvane Bus Traffic File \n12:00:00,000,2E,01,01,00,FD,-,[1]\nnonsense\n") << false << "" << 1 << 1
        << qint64(60);
}

void HistoryIndexTest::badInput()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, failed);
    QFETCH(QString, message);
    QFETCH(int, frames);
    QFETCH(int, malformed);
    QFETCH(qint64, firstBad);
    const QString path = file("input");
    QFile out(path);
    QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
    out.write(bytes);
    out.close();
    HistoryIndex index;
    indexAll(index, path);
    QCOMPARE(index.failed(), failed);
    QVERIFY2(index.message().find(message.toStdString()) != std::string::npos, index.message().c_str());
    int seenFrames = 0;
    int seenBad = 0;
    for (std::size_t i = 0; i < index.size(); ++i) {
        Row row;
        QVERIFY(index.row(i, row));
        if (row.kind == Kind::Malformed && seenBad++ == 0) {
            QCOMPARE(qint64(row.fileOffset), firstBad);
            QVERIFY(!row.problem.empty());
        }
        seenFrames += row.kind == Kind::Frame && row.good;
    }
    QCOMPARE(seenFrames, frames);
    QCOMPARE(seenBad, malformed);
}

void HistoryIndexTest::sparseFileCostsNoMemory_data()
{
    QTest::addColumn<QByteArray>("before"); // what the file holds ahead of its 50 GB hole
    QTest::addColumn<bool>("failed");
    QTest::newRow("nothing but a hole") << QByteArray() << true;
    QTest::newRow("a capture, then a hole")
        << sectionAndInterface() + packet(TestSupport::frame(0x02, QByteArray(1, '\0')), 1, 1) << false;
    QTest::newRow("a log, then a hole") << QByteArray("Korvane Bus Traffic File \n12:00:00,000,2E,02,01,00,FC,-,[1]\n")
                                        << false;
}

void HistoryIndexTest::sparseFileCostsNoMemory()
{
    QFETCH(QByteArray, before);
    QFETCH(bool, failed);
    const QString path = file("sparse");
    QFile out(path);
    QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
    out.write(before);
    if (!out.resize(50LL << 30))
        QSKIP("this file system has no room for a 50 GB sparse file");
    out.close();
    HistoryIndex index;
    indexAll(index, path);
    QCOMPARE(index.failed(), failed);
    if (failed)
        QVERIFY2(index.message().find("is neither") != std::string::npos, index.message().c_str());
    else
        QCOMPARE(index.entry(0).kind(), Kind::Frame);
    // The hole is one malformed row at most, and the index stays small.
    QVERIFY(index.size() <= 2);
    QVERIFY(index.memoryBytes() < (2u << 20));
}

void HistoryIndexTest::rowsFarApartKeepTheirPlace()
{
    // A frame 300 KiB into a packet of noise, one two hours later, and one
    // after 5 GB of a hole: distances a row's 32 and 18 bits cannot hold.
    const QByteArray good = TestSupport::frame(0x04, QByteArray(1, '\x01'));
    QByteArray bytes = sectionAndInterface() + packet(QByteArray(300 * 1024, '\x11') + good, 1, 1000)
        + packet(good, 2, 1000 + 7200LL * 1000000);
    const QString path = file("far.pcapng");
    QFile out(path);
    QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
    out.write(bytes);
    const qint64 hole = 5LL << 30;
    if (!out.resize(bytes.size() + hole))
        QSKIP("this file system has no room for a 5 GB sparse file");
    out.seek(bytes.size() + hole);
    out.write(packet(good, 1, 1000 + 7300LL * 1000000));
    out.close();
    HistoryIndex index;
    indexAll(index, path);
    // Noise, the frame in it, the later frame, the hole, the last frame.
    QCOMPARE(index.size(), std::size_t(5));
    const std::vector<std::pair<Kind, std::int64_t>> expected{
        {Kind::Noise, 0}, {Kind::Frame, 0}, {Kind::Frame, 7200LL * 1000000}, {Kind::Malformed, 7200LL * 1000000},
        {Kind::Frame, 7300LL * 1000000}};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        QCOMPARE(index.entry(i).kind(), expected[i].first);
        QCOMPARE(index.entry(i).offsetUs(), expected[i].second);
        Row row;
        QVERIFY(index.row(i, row));
        if (row.kind == Kind::Frame)
            QCOMPARE(row.bytes, std::vector<std::uint8_t>(good.begin(), good.end()));
    }
    QCOMPARE(index.entry(1).offsetInPacket(), 300u * 1024);
    QCOMPARE(index.entry(4).fileOffset(), std::uint64_t(bytes.size() + hole));
}

void HistoryIndexTest::frameSplitAcrossReads()
{
    // As a monitor reads a line: a frame in three reads, the other way's
    // reads between them, its reply in a read of its own.
    const QByteArray bytes = sectionAndInterface() + packet(QByteArray::fromHex("2E01"), 2, 10)
        + packet(QByteArray::fromHex("2E05"), 1, 11) + packet(QByteArray::fromHex("020A"), 2, 12)
        + packet(QByteArray::fromHex("00FA"), 1, 13) + packet(QByteArray::fromHex("FFF3"), 2, 14)
        + packet(QByteArray::fromHex("F0"), 1, 15);
    const QString path = file("split.pcapng");
    QFile out(path);
    QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
    out.write(bytes);
    out.close();
    HistoryIndex index;
    indexAll(index, path);
    QCOMPARE(index.size(), std::size_t(2));
    Row received, sent;
    QVERIFY(index.row(0, received));
    QVERIFY(index.row(1, sent));
    QCOMPARE(received.bytes, (std::vector<std::uint8_t>{0x2E, 0x05, 0x00, 0xFA}));
    QCOMPARE(received.direction, Direction::Received);
    QCOMPARE(int(received.reply), int(Reply::None));
    QCOMPARE(received.offsetUs, std::int64_t(1));
    QCOMPARE(sent.bytes, (std::vector<std::uint8_t>{0x2E, 0x01, 0x02, 0x0A, 0xFF, 0xF3}));
    QCOMPARE(sent.direction, Direction::Sent);
    QVERIFY(sent.good);
    QCOMPARE(int(sent.reply), int(Reply::Nak));
    QCOMPARE(sent.offsetUs, std::int64_t(0));
}

void HistoryIndexTest::logRowsAsWritten_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("sent");
    QTest::addColumn<bool>("good");
    QTest::addColumn<qint64>("logIndex");
    QTest::newRow("the window's row") << QByteArray("12:00:00,001,2E,01,02,0A,FF,F3,-,[7]\n") << false << true << qint64(7);
    QTest::newRow("Windows line end") << QByteArray("12:00:00,001,2E,01,02,0A,FF,F3,-,[7]\r\n") << false << true << qint64(7);
    QTest::newRow("the monitor's A>B") << QByteArray("12:00:00,001,2E,01,02,0A,FF,F3,-,[2],A>B\n") << true << true << qint64(2);
    QTest::newRow("the monitor's B>A") << QByteArray("12:00:00,001,2E,05,00,FA,-,[3],B>A\n") << false << true << qint64(3);
    QTest::newRow("lower-case hex") << QByteArray("12:00:00,001,2e,01,02,0a,ff,f3,-,[7]\n") << false << true << qint64(7);
    QTest::newRow("a checksum that does not match") << QByteArray("12:00:00,001,2E,01,02,0A,FF,F4,-,[7]\n") << false
                                                     << false << qint64(7);
}

void HistoryIndexTest::logRowsAsWritten()
{
    QFETCH(QByteArray, line);
    QFETCH(bool, sent);
    QFETCH(bool, good);
    QFETCH(qint64, logIndex);
    const QString path = file("rows.csv");
    QFile out(path);
    QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
    out.write("Korvane Bus Traffic File \nNew Data ,2026-03-01 \n" + line);
    out.close();
    HistoryIndex index;
    indexAll(index, path);
    QCOMPARE(index.size(), std::size_t(1));
    Row row;
    QVERIFY(index.row(0, row));
    QCOMPARE(int(row.kind), int(Kind::Frame));
    QCOMPARE(row.direction, sent ? Direction::Sent : Direction::Received);
    QCOMPARE(row.good, good);
    QCOMPARE(index.entry(0).good(), good);
    QCOMPARE(row.logIndex, logIndex);
    QCOMPARE(row.line, std::int64_t(3));
    // The header's day at local noon, and a millisecond.
    std::tm noon{};
    noon.tm_year = 126;
    noon.tm_mon = 2;
    noon.tm_mday = 1;
    noon.tm_hour = 12;
    noon.tm_isdst = -1;
    QCOMPARE(row.wallUs, std::int64_t(std::mktime(&noon)) * 1000000 + 1000);
}

void HistoryIndexTest::filters_data()
{
    QTest::addColumn<unsigned>("verdicts");
    QTest::addColumn<unsigned>("directions");
    QTest::addColumn<int>("type"); // -1: any
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<qint64>("fromUs");
    QTest::addColumn<qint64>("toUs");
    const qint64 all = INT64_MAX;
    QTest::newRow("NAKs") << unsigned(VerdictNak) << unsigned(AnyDirection) << -1 << "" << qint64(INT64_MIN) << all;
    QTest::newRow("no reply, sent") << unsigned(VerdictNoReply) << unsigned(DirectionSent) << -1 << "" << qint64(INT64_MIN) << all;
    QTest::newRow("bad received") << unsigned(VerdictBad) << unsigned(DirectionReceived) << -1 << "" << qint64(INT64_MIN) << all;
    QTest::newRow("type 03 ACKed") << unsigned(VerdictAck) << unsigned(AnyDirection) << 3 << "" << qint64(INT64_MIN) << all;
    QTest::newRow("pattern 81 ?? 0A") << unsigned(AnyVerdict) << unsigned(AnyDirection) << -1 << "81 ?? 0A" << qint64(INT64_MIN) << all;
    QTest::newRow("pattern and time") << unsigned(AnyVerdict) << unsigned(AnyDirection) << -1 << "?? 10 ?? 33"
                                      << qint64(300000) << qint64(900000);
}

void HistoryIndexTest::filters()
{
    QFETCH(unsigned, verdicts);
    QFETCH(unsigned, directions);
    QFETCH(int, type);
    QFETCH(QString, pattern);
    QFETCH(qint64, fromUs);
    QFETCH(qint64, toUs);
    HistoryIndex index;
    std::vector<Truth> frames;
    indexSession(index, frames, 5000, file("filter.pcapng"));
    FilterSpec wanted;
    wanted.verdicts = verdicts;
    wanted.directions = directions;
    if (type >= 0) {
        wanted.types.reset();
        wanted.types.set(std::size_t(type));
    }
    std::string error;
    QVERIFY(wanted.pattern.parse(pattern.toStdString(), error));
    wanted.fromUs = fromUs;
    wanted.toUs = toUs;
    FramePattern match;
    QVERIFY(match.parse(pattern.toStdString(), error));

    // What the generator says must show, row by row.
    std::vector<std::size_t> expected;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const Truth& t = frames[i];
        const unsigned bits = (t.bad ? VerdictBad : VerdictGood)
            | (t.reply == Reply::Ack ? VerdictAck : t.reply == Reply::Nak ? VerdictNak : VerdictNoReply);
        if ((bits & verdicts) && (directions & (t.sent ? DirectionSent : DirectionReceived))
            && (type < 0 || t.type == type) && t.us >= fromUs && t.us <= toUs
            && match.matchesBytes(t.type, t.data.data(), t.data.size()))
            expected.push_back(i);
    }
    QVERIFY(!expected.empty());
    HistoryFilter filter(wanted);
    QVERIFY(filter.update(index));
    QCOMPARE(filter.count(), expected.size());
    for (std::size_t k = 0; k < expected.size(); ++k) {
        QCOMPARE(filter.row(k), expected[k]);
        QCOMPARE(filter.shownAt(expected[k]), k);
    }
    QCOMPARE(filter.row(expected.size()), HistoryFilter::None);
    QCOMPARE(filter.nextShown(expected.back() + 1), HistoryFilter::None);
    QCOMPARE(filter.nextShown(0), expected.front());
}

void HistoryIndexTest::findAndGoToTime()
{
    HistoryIndex index;
    std::vector<Truth> frames;
    indexSession(index, frames, 2000, file("find.pcapng"));
    FramePattern pattern;
    std::string error;
    QVERIFY(pattern.parse("81 ?? 0A", error));
    // Every 7th frame, forwards from the start and backwards from the end.
    QCOMPARE(find(index, pattern, HistoryFilter::None, true), std::size_t(0));
    QCOMPARE(find(index, pattern, 0, true), std::size_t(7));
    QCOMPARE(find(index, pattern, 700, true), std::size_t(707));
    QCOMPARE(find(index, pattern, 700, false), std::size_t(693));
    QCOMPARE(find(index, pattern, HistoryFilter::None, false), std::size_t(1995));
    QCOMPARE(find(index, pattern, 1995, true), HistoryFilter::None);
    // Within the sent frames only: 7*3*k.
    FilterSpec sent;
    sent.directions = DirectionSent;
    HistoryFilter filter(sent);
    QVERIFY(filter.update(index));
    QCOMPARE(find(index, pattern, 0, true, &filter), std::size_t(21));

    QCOMPARE(index.rowAtTime(0), std::size_t(0));
    QCOMPARE(index.rowAtTime(1500 * 400), std::size_t(400));
    QCOMPARE(index.rowAtTime(1500 * 400 + 1), std::size_t(401));
    QCOMPARE(index.rowAtTime(INT64_MAX), index.size());
    QCOMPARE(filter.nextShown(index.rowAtTime(1500 * 400 + 1)), std::size_t(402));
}

void HistoryIndexTest::statsAndPlots()
{
    HistoryIndex index;
    std::vector<Truth> frames;
    indexSession(index, frames, 4000, file("plots.pcapng"));
    RowSet selection;
    selection.ranges = {{10, 19}, {100, 100}};
    const Stats figures = stats(index, selection);
    QCOMPARE(figures.count, std::size_t(11));
    QCOMPARE(figures.firstUs, std::int64_t(15000));
    QCOMPARE(figures.lastUs, std::int64_t(150000));
    QCOMPARE(figures.framesPerSecond, 10 * 1e6 / 135000);

    const PlotData plot = plotData(index, nullptr, 100);
    std::uint64_t total = 0, bad = 0, naks = 0;
    for (const auto& bucket : plot.buckets) {
        std::uint64_t byType = 0;
        for (auto n : bucket.byType)
            byType += n;
        QCOMPARE(byType, std::uint64_t(bucket.frames));
        total += bucket.frames;
        bad += bucket.bad;
        naks += bucket.naks;
    }
    QVERIFY(plot.buckets.size() <= 100);
    QCOMPARE(total, std::uint64_t(frames.size()));
    QCOMPARE(bad, std::uint64_t(std::count_if(frames.begin(), frames.end(), [](const Truth& t) { return t.bad; })));
    QCOMPARE(naks, std::uint64_t(std::count_if(frames.begin(), frames.end(), [](const Truth& t) { return t.reply == Reply::Nak; })));
    // 1.5 ms apart: every gap in the bin below 2 ms, the first gap ends at row 1.
    const auto bin = std::size_t(std::find(plot.gapUpperUs.begin(), plot.gapUpperUs.end(), 2000) - plot.gapUpperUs.begin());
    QCOMPARE(plot.gapCounts[bin], std::uint64_t(frames.size() - 1));
    QCOMPARE(plot.gapFirstRow[bin], std::size_t(1));
    QCOMPARE(plot.types.size(), std::size_t(6));
}

void HistoryIndexTest::exportReadsBackEqual_data()
{
    QTest::addColumn<bool>("fromLog");
    QTest::addColumn<bool>("toLog");
    QTest::addColumn<bool>("selection"); // some rows of a filter, else all rows
    QTest::newRow("log to log") << true << true << false;
    QTest::newRow("record to pcapng") << false << false << false;
    QTest::newRow("selected NAKs to pcapng") << false << false << true;
    QTest::newRow("selected NAKs to log") << false << true << true;
}

void HistoryIndexTest::exportReadsBackEqual()
{
    QFETCH(bool, fromLog);
    QFETCH(bool, toLog);
    QFETCH(bool, selection);
    auto frames = session(1500);
    const QString source = file(fromLog ? "source.csv" : "source.pcapng");
    if (fromLog) {
        frames.erase(std::remove_if(frames.begin(), frames.end(), [](const Truth& t) { return t.logIndex < 0; }), frames.end());
        writeLog(source, frames);
    } else {
        writeRecord(source, frames);
    }
    HistoryIndex index;
    indexAll(index, source);
    FilterSpec naks;
    naks.verdicts = VerdictNak;
    HistoryFilter filter(naks);
    QVERIFY(filter.update(index));
    RowSet rows;
    if (selection) {
        rows.filter = &filter;
        rows.ranges = {{2, 5}, {9, 9}};
    }
    const QString target = file(toLog ? "export.csv" : "export.pcapng");
    const ExportResult result = toLog ? exportLog(index, rows, target.toStdString())
                                      : exportPcapng(index, rows, target.toStdString());
    QVERIFY2(result.ok, result.error.c_str());
    std::vector<std::size_t> picked;
    rows.forEach(index, [&](std::size_t row) {
        picked.push_back(row);
        return true;
    });
    QCOMPARE(picked.size(), std::size_t(selection ? 5 : frames.size()));
    QCOMPARE(result.written, picked.size());

    HistoryIndex back;
    indexAll(back, target);
    QCOMPARE(back.size(), picked.size());
    for (std::size_t i = 0; i < picked.size(); ++i) {
        Row was, is;
        QVERIFY(index.row(picked[i], was));
        QVERIFY(back.row(i, is));
        QCOMPARE(is.bytes, was.bytes);
        // Logs keep milliseconds, and no direction or reply.
        QCOMPARE(is.wallUs / 1000, was.wallUs / 1000);
        // A log numbers the rows that had no number.
        QCOMPARE(is.logIndex, was.logIndex >= 0 || !toLog ? was.logIndex : std::int64_t(i + 1));
        if (!toLog) {
            QCOMPARE(is.wallUs, was.wallUs);
            QCOMPARE(is.direction, was.direction);
            QCOMPARE(int(is.reply), int(was.reply == Reply::Unknown ? Reply::None : was.reply));
        }
    }
}

void HistoryIndexTest::growsAndIsCutWhileOpen()
{
    const auto frames = session(900);
    const QString path = file("growing.pcapng");
    writeRecord(path, frames);
    QFile whole(path);
    QVERIFY(whole.open(QIODevice::ReadOnly));
    const QByteArray all = whole.readAll();
    whole.close();
    // The first blocks, and half of the next one: a writer at work.
    const qsizetype cut = all.size() / 3;
    QVERIFY(whole.resize(cut));
    HistoryIndex index;
    indexAll(index, path);
    const std::size_t early = index.size();
    QVERIFY(early > 100 && early < frames.size());
    QCOMPARE(index.refresh(), HistoryIndex::Change::None);

    append(path, all.mid(cut));
    QCOMPARE(index.refresh(), HistoryIndex::Change::Grew);
    while (!index.indexMore().done) {}
    QCOMPARE(index.size(), frames.size());
    for (std::size_t i = 0; i < frames.size(); i += 37)
        compareRow(index, i, frames[i], true);

    // Cut to less than was indexed: rows past the end cannot be read, and
    // the index starts again.
    QVERIFY(whole.resize(cut));
    Row row;
    QVERIFY(!index.row(0, row));
    QCOMPARE(index.refresh(), HistoryIndex::Change::Truncated);
    QCOMPARE(index.size(), std::size_t(0));
    while (!index.indexMore().done) {}
    QCOMPARE(index.size(), early);
    compareRow(index, early - 1, frames[early - 1], false);
}

void HistoryIndexTest::recordSaysFullDiskOnce()
{
    // Every write to /dev/full fails with ENOSPC.
    const QString path = file("Korvane_data.pcapng");
    QVERIFY(QFile::link(QStringLiteral("/dev/full"), path));
    QCOMPARE(SessionRecord::pathBeside(file("Korvane_data.csv").toStdString()), path.toStdString());
    SessionRecord record;
    std::string error;
    QVERIFY2(record.open(path.toStdString(), "test", error), error.c_str());
    const auto bytes = session(1)[0].bytes();
    int failures = 0;
    for (int i = 0; i < 50; ++i) {
        record.sent(BaseNs, bytes.data(), bytes.size());
        record.drain(SimClock::monotonicNs() + 10000000000LL);
        failures += !record.flush();
    }
    QCOMPARE(failures, 1);
    QVERIFY(!record.active());
    QVERIFY2(record.why().find(std::strerror(ENOSPC)) != std::string::npos, record.why().c_str());
}

QTEST_APPLESS_MAIN(HistoryIndexTest)
#include "tst_historyindex.moc"
