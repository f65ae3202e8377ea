// korvane-cli's --log and --pcap, the real program on a pseudo-terminal the
// test plays the device on: what the capture says made it, one file named
// twice, and rows dropped while a reader stalls, counted and said.

#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace TestSupport;

class RecordingTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void captureNamesTheCliAndPort();
    void oneFileNamedTwiceIsRefused();
    void droppedRowsAreCountedAndSaid_data();
    void droppedRowsAreCountedAndSaid();

private:
    bool startCli(Child& cli, const QStringList& arguments);
    QString m_cli;
};

namespace {

// The options of a pcapng block (section header or interface) by code; the
// block's fixed part is `fixed` bytes after its type and length.
QMap<int, QByteArray> blockOptions(const QByteArray& capture, qsizetype at, int fixed)
{
    QMap<int, QByteArray> options;
    quint32 length = 0;
    std::memcpy(&length, capture.constData() + at + 4, 4);
    for (qsizetype o = at + 8 + fixed; o + 4 <= at + length - 4;) {
        quint16 code = 0;
        quint16 size = 0;
        std::memcpy(&code, capture.constData() + o, 2);
        std::memcpy(&size, capture.constData() + o + 2, 2);
        if (code == 0)
            break;
        options.insert(code, capture.mid(o + 4, size));
        o += 4 + ((size + 3) & ~3);
    }
    return options;
}

// Rows of a log without directions: "12:34:56,789,2E,...,-,[n]".
int logRows(const QByteArray& log)
{
    int rows = 0;
    for (const QByteArray& line : log.split('\n'))
        rows += QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d,\\d{3},2E,.*,-,\\[\\d+\\]$")).match(QString::fromLatin1(line)).hasMatch();
    return rows;
}

} // namespace

void RecordingTest::initTestCase()
{
    m_cli = qEnvironmentVariable("KORVANE_CLI");
    if (m_cli.isEmpty())
        QSKIP("KORVANE_CLI is not set; run this test through ctest");
}

bool RecordingTest::startCli(Child& cli, const QStringList& arguments)
{
    return cli.start(m_cli, arguments);
}

// The capture's section header names korvane-cli and its version, its
// interface the port.
void RecordingTest::captureNamesTheCliAndPort()
{
    Pty device;
    QVERIFY(device.isValid());
    QTemporaryDir work;
    QVERIFY(work.isValid());
    const QString cap = work.filePath(QStringLiteral("cap.pcapng"));
    Child version;
    QVERIFY(startCli(version, {QStringLiteral("--version")}));
    QCOMPARE(version.waitExit(), 0);
    Child cli;
    QVERIFY(startCli(cli, {QStringLiteral("--port"), device.slavePath(), QStringLiteral("--pcap"), cap, QStringLiteral("send"), QStringLiteral("01")}));
    QCOMPARE(receiveFromTool(device, 4).toHex(), QByteArray("2e0100fe"));
    QVERIFY(device.write(QByteArray::fromHex("FF")));
    QCOMPARE(cli.waitExit(), 0);
    QFile file(cap);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray capture = file.readAll();
    QVERIFY(capture.startsWith(QByteArray::fromHex("0A0D0D0A")));
    quint32 sectionLength = 0;
    std::memcpy(&sectionLength, capture.constData() + 4, 4);
    QCOMPARE(blockOptions(capture, 0, 16).value(4), version.lines().value(0).toUtf8());
    const QMap<int, QByteArray> interface = blockOptions(capture, sectionLength, 8);
    QCOMPARE(interface.value(2), device.slavePath().toUtf8());
    QVERIFY2(interface.value(3).contains(device.slavePath().toUtf8()), interface.value(3).constData());
}

// --log and --pcap naming one file that is not there yet: refused before
// the port is tried, and no file is left.
void RecordingTest::oneFileNamedTwiceIsRefused()
{
    QTemporaryDir work;
    QVERIFY(work.isValid());
    Child cli;
    QVERIFY(startCli(cli, {QStringLiteral("--port"), QStringLiteral("/nonexistent/tty"), QStringLiteral("--log"), work.filePath(QStringLiteral("same.out")),
                           QStringLiteral("--pcap"), work.path() + QStringLiteral("/./same.out"), QStringLiteral("send"), QStringLiteral("01")}));
    QCOMPARE(cli.waitExit(), 2);
    QVERIFY2(cli.errorOutput().contains(QStringLiteral("are one file")), qPrintable(cli.describe()));
    QCOMPARE(QDir(work.path()).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot), QStringList());
}

void RecordingTest::droppedRowsAreCountedAndSaid_data()
{
    QTest::addColumn<QString>("command");
    QTest::newRow("send") << QStringLiteral("send");
    QTest::newRow("listen") << QStringLiteral("listen");
    QTest::newRow("session") << QStringLiteral("session");
}

// A log into a FIFO whose reader stalls: the rows that did not fit are
// counted, in "dropped" events and a last line on standard error, the
// rows in the file and those counted make up every good frame received,
// and the run ends with status 4.
void RecordingTest::droppedRowsAreCountedAndSaid()
{
    QFETCH(QString, command);
    // More rows than the log's queue and the pipe hold together.
    constexpr int Frames = 12000;
    Pty device;
    QVERIFY(device.isValid());
    QTemporaryDir work;
    QVERIFY(work.isValid());
    const QString fifo = work.filePath(QStringLiteral("log"));
    Stream reader(fifoReader(fifo));
    QVERIFY(reader.isOpen());
    QStringList arguments{QStringLiteral("--port"), device.slavePath(), QStringLiteral("--log"), fifo, QStringLiteral("--answer"), QStringLiteral("none"), command};
    if (command == QLatin1String("send"))
        arguments << QStringLiteral("01") << QStringLiteral("--timeout") << QStringLiteral("20000");
    if (command == QLatin1String("listen"))
        arguments << QStringLiteral("--count") << QString::number(Frames);
    Child cli;
    QVERIFY(startCli(cli, arguments));
    QByteArray log;
    int sent = 0;
    const auto frames = [&](int count) {
        QByteArray bytes;
        for (int i = 0; i < count; ++i)
            bytes += numberedFrame(0x01, quint32(sent++));
        return bytes;
    };
    const QRegularExpression dropped(QStringLiteral("^\\{\"event\":\"dropped\""));
    if (command == QLatin1String("send")) {
        // The frames come before the reply, while the log waits.
        QCOMPARE(receiveFromTool(device, 4).toHex(), QByteArray("2e0100fe"));
        QVERIFY(device.write(frames(Frames) + QByteArray::fromHex("FF")));
        QVERIFY2(cli.waitLine(QRegularExpression(QStringLiteral("^\\{\"sent\""))).hasMatch(), qPrintable(cli.describe()));
    } else {
        if (command == QLatin1String("session"))
            QVERIFY(cli.waitLine(QRegularExpression(QStringLiteral("^\\{\"event\":\"hello\""))).hasMatch());
        // Until the log has dropped rows; listen may have opened the port
        // after the first of them.
        QVERIFY2(QTest::qWaitFor([&] { return cli.waitLineIndex(dropped, 0, 0) >= 0 || !device.write(frames(100)); }, WaitMs),
                 qPrintable(cli.describe()));
        QVERIFY2(cli.waitLineIndex(dropped, 0, WaitMs) >= 0, qPrintable(cli.describe()));
        // Read from now on, so that what is written at the end is counted.
        if (command == QLatin1String("listen")) {
            QVERIFY(QTest::qWaitFor([&] {
                log += reader.readAvailable();
                return cli.process().state() == QProcess::NotRunning || !device.write(frames(100), 100);
            }, 60000));
        } else
            cli.process().closeWriteChannel();
    }
    QVERIFY(QTest::qWaitFor([&] { log += reader.readAvailable(); return cli.process().state() == QProcess::NotRunning; }, 60000));
    log += reader.readAvailable();
    QCOMPARE(cli.waitExit(), 4);

    const QRegularExpressionMatch summary = QRegularExpression(QStringLiteral("the record is incomplete: (\\d+) log rows and 0 capture packets were dropped"))
                                                .match(cli.errorOutput());
    QVERIFY2(summary.hasMatch(), qPrintable(cli.describe()));
    const qint64 lacking = summary.captured(1).toLongLong();
    QVERIFY(lacking > 0);
    qint64 received = Frames;
    if (command != QLatin1String("send")) {
        const QStringList events = cli.lines().filter(dropped);
        const QJsonObject last = QJsonDocument::fromJson(events.constLast().toUtf8()).object();
        QCOMPARE(last.value(QStringLiteral("log_rows")).toInteger(), lacking);
        QCOMPARE(last.value(QStringLiteral("pcap_packets")).toInteger(), 0);
        received = cli.lines().filter(QStringLiteral("\"good\":true")).size();
    }
    QCOMPARE(logRows(log) + lacking, received);
}

QTEST_GUILESS_MAIN(RecordingTest)
#include "tst_recording.moc"
