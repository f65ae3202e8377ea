// The RFC 2217 client: its telnet side fed server bytes directly, for the
// faults only a made-up server shows; the line on loopback against a fake
// server that stalls, drops and restarts; and the line against the servers
// labs run: pyserial's PortManager (which tells what was asked of the port)
// and Debian's ser2net, both in front of a pseudo-terminal.
#include "rfc2217client.h"
#include "rfc2217line.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QtTest>

#include <poll.h>
#include <unistd.h>

using TestSupport::DeviceListener;
using TestSupport::FakeServer;
using TestSupport::Pty;
using TestSupport::Stream;
using TestSupport::WaitMs;
using Answer = Rfc2217Client::Answer;
using Setting = Rfc2217Client::Setting;
using Bytes = std::vector<std::uint8_t>;

Q_DECLARE_METATYPE(Setting)

namespace {

QByteArray hex(const char* text)
{
    return QByteArray::fromHex(text);
}

QByteArray toQt(const Bytes& b)
{
    return QByteArray(reinterpret_cast<const char*>(b.data()), static_cast<qsizetype>(b.size()));
}

// The server's answers to everything the client asks, as asked.
const char* const AllConfirmed = "fffd2c"
                                 "fffa2c6500009600fff0"
                                 "fffa2c6608fff0"
                                 "fffa2c6701fff0"
                                 "fffa2c6801fff0"
                                 "fffa2c6901fff0"
                                 "fffa2c7003fff0";

struct Fed
{
    Bytes data;
    Bytes sent;
};

Fed feed(Rfc2217Client& c, const QByteArray& bytes)
{
    Fed f;
    c.receive(reinterpret_cast<const std::uint8_t*>(bytes.constData()), static_cast<std::size_t>(bytes.size()),
              f.data, f.sent);
    return f;
}

// A client the server has taken through every setting.
void settle(Rfc2217Client& c)
{
    Bytes opening;
    c.start(opening);
    feed(c, hex(AllConfirmed));
}

// Device frames whose wire form is thick with FF: type FF, data FF FF, and
// a checksum that comes out FF.
QList<QByteArray> ffFrames()
{
    return {TestSupport::frame(0xFF, hex("ffff")), TestSupport::frame(0xFF, hex("00")),
            TestSupport::frame(0x01, hex("ffffffffffffffffffffffffff")), TestSupport::frame(0x7F, hex("80"))};
}

// Device bytes from the line until `count` have come or the time is up.
QByteArray readLine(Rfc2217Line& line, int count, int timeoutMs = WaitMs)
{
    QByteArray got;
    QElapsedTimer t;
    t.start();
    std::uint8_t buffer[4096];
    while (got.size() < count && t.elapsed() < timeoutMs) {
        const int n = line.read(buffer, sizeof buffer);
        if (n < 0)
            break;
        if (n > 0) {
            got.append(reinterpret_cast<const char*>(buffer), n);
            continue;
        }
        struct pollfd p = {static_cast<int>(line.nativeSocket()), POLLIN, 0};
        ::poll(&p, 1, 50);
    }
    return got;
}

bool writeLine(Rfc2217Line& line, const QByteArray& bytes)
{
    const int n = line.write(reinterpret_cast<const std::uint8_t*>(bytes.constData()), int(bytes.size()));
    QElapsedTimer t;
    t.start();
    while (n == bytes.size() && line.pending() > 0 && t.elapsed() < WaitMs) {
        if (!line.flush())
            return false;
        ::usleep(1000);
    }
    return n == bytes.size() && line.pending() == 0;
}

// What the line's connection gets, once `count` bytes have come.
QByteArray fromLine(int fd, int count)
{
    Stream s(::dup(fd));
    return s.read(count);
}

// Everything the line has printed as a warning, one per line.
QString warningsOf(Rfc2217Line& line)
{
    QStringList all;
    for (const std::string& w : line.takeWarnings())
        all << QString::fromStdString(w);
    return all.join('\n');
}

} // namespace

class Rfc2217Test : public QObject
{
    Q_OBJECT

private slots:
    void opensWithTheOptionsItTakes()
    {
        Rfc2217Client c;
        Bytes opening;
        c.start(opening);
        QCOMPARE(toQt(opening), hex("fffb00fffd00fffb03fffd03fffb2c"));
        QVERIFY(!c.ready());
        const Fed f = feed(c, hex("fffd2c"));
        QCOMPARE(toQt(f.sent), hex("fffa2c0100009600fff0"
                                   "fffa2c0208fff0fffa2c0301fff0fffa2c0401fff0fffa2c0501fff0fffa2c0c03fff0"));
        feed(c, hex(AllConfirmed).mid(3));
        QVERIFY(c.ready());
        QVERIFY(c.comPortAgreed());
        QCOMPARE(c.answer(Setting::Control), Answer::Confirmed);
        QVERIFY(c.takeWarnings().empty());
    }

    void serverStream_data()
    {
        QTest::addColumn<QList<QByteArray>>("reads");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QByteArray>("replies");
        QTest::newRow("FF FF is one device byte") << QList<QByteArray>{hex("2effff01")} << hex("2eff01") << QByteArray();
        QTest::newRow("IAC split across two reads")
            << QList<QByteArray>{hex("2eff"), hex("ff01")} << hex("2eff01") << QByteArray();
        QTest::newRow("command split across two reads")
            << QList<QByteArray>{hex("41ff"), hex("f142")} << hex("4142") << QByteArray();
        QTest::newRow("unknown option offered") << QList<QByteArray>{hex("41fffb0142")} << hex("4142") << hex("fffe01");
        QTest::newRow("unknown option asked for")
            << QList<QByteArray>{hex("41fffd1842")} << hex("4142") << hex("fffc18");
        QTest::newRow("unknown subnegotiation")
            << QList<QByteArray>{hex("41fffa1801ffff02fff042")} << hex("4142") << QByteArray();
        QTest::newRow("state notice split across reads")
            << QList<QByteArray>{hex("41fffa2c6a"), hex("60fff042")} << hex("4142") << QByteArray();
        QTest::newRow("go-ahead and no-op") << QList<QByteArray>{hex("fff941fff142")} << hex("4142") << QByteArray();
    }
    void serverStream()
    {
        QFETCH(QList<QByteArray>, reads);
        QFETCH(QByteArray, data);
        QFETCH(QByteArray, replies);
        Rfc2217Client c;
        settle(c);
        Bytes got, sent;
        for (const QByteArray& r : reads)
            c.receive(reinterpret_cast<const std::uint8_t*>(r.constData()), std::size_t(r.size()), got, sent);
        QCOMPARE(toQt(got), data);
        QCOMPARE(toQt(sent), replies);
    }

    void otherSettingsAreWarnings_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<Setting>("setting");
        QTest::addColumn<QString>("warning");
        QTest::newRow("baud") << hex("fffa2c6500002580fff0") << Setting::BaudRate
                              << "the server set the baud rate to 9600, not 38400";
        QTest::newRow("data size") << hex("fffa2c6607fff0") << Setting::DataSize
                                   << "the server set the data size to 7, not 8";
        QTest::newRow("parity") << hex("fffa2c6703fff0") << Setting::Parity
                                << "the server set the parity to even, not none";
        QTest::newRow("stop size") << hex("fffa2c6802fff0") << Setting::StopSize
                                   << "the server set the stop size to 2, not 1";
        QTest::newRow("flow control") << hex("fffa2c6903fff0") << Setting::Control
                                      << "the server set the flow control to RTS/CTS flow control, not no flow control";
    }
    void otherSettingsAreWarnings()
    {
        QFETCH(QByteArray, answer);
        QFETCH(Setting, setting);
        QFETCH(QString, warning);
        Rfc2217Client c;
        Bytes opening;
        c.start(opening);
        feed(c, hex("fffd2c") + answer);
        feed(c, hex(AllConfirmed).mid(3)); // the asked values afterwards change nothing said
        QCOMPARE(c.answer(setting), Answer::Confirmed);
        const auto warnings = c.takeWarnings();
        QCOMPARE(int(warnings.size()), 1);
        QCOMPARE(QString::fromStdString(warnings[0]), warning);
    }

    void aModemLineAnswerIsNotTheFlowControls()
    {
        Rfc2217Client c;
        Bytes opening;
        c.start(opening);
        feed(c, hex("fffd2cfffa2c6908fff0")); // DTR on
        QCOMPARE(c.answer(Setting::Control), Answer::Waiting);
    }

    void refusedOptionRunsPlainTelnet_data()
    {
        QTest::addColumn<QByteArray>("refusal");
        QTest::newRow("WONT") << hex("fffc2c");
        QTest::newRow("DONT") << hex("fffe2c");
    }
    void refusedOptionRunsPlainTelnet()
    {
        QFETCH(QByteArray, refusal);
        Rfc2217Client c;
        Bytes opening;
        c.start(opening);
        // Bytes before the refusal were no purge's to drop.
        const Fed f = feed(c, hex("41") + refusal + hex("ffff"));
        QCOMPARE(toQt(f.data), hex("41ff"));
        QVERIFY(c.ready());
        QVERIFY(c.comPortRefused());
        QCOMPARE(c.answer(Setting::BaudRate), Answer::Unanswered);
        const auto warnings = c.takeWarnings();
        QCOMPARE(int(warnings.size()), 1);
        QVERIFY(warnings[0].find("COM-PORT-OPTION refused") != std::string::npos);
    }

    void bytesBeforeThePurgeAnswerAreDropped()
    {
        Rfc2217Client c;
        Bytes opening;
        c.start(opening);
        Fed before = feed(c, hex("fffd2c0102ffff03"));
        QVERIFY(before.data.empty());
        const QByteArray answers = hex(AllConfirmed).mid(3);
        const Fed after = feed(c, answers + hex("2e"));
        QCOMPARE(toQt(after.data), hex("2e"));
        QCOMPARE(c.purgedBytes(), std::uint64_t(4));
        const auto warnings = c.takeWarnings();
        QCOMPARE(int(warnings.size()), 1);
        QCOMPARE(warnings[0], std::string("4 bytes the device sent before the purge were dropped"));
        QCOMPARE(c.commandBytes(), std::uint64_t(3 + 1 + answers.size()));
    }

    void givingUpHandsOnHeldBytes()
    {
        Rfc2217Client c;
        Bytes opening;
        c.start(opening);
        QVERIFY(feed(c, hex("fffd2cfffa2c6500009600fff02e01")).data.empty());
        Bytes data;
        c.giveUp(data);
        QCOMPARE(toQt(data), hex("2e01"));
        QVERIFY(c.ready());
        QCOMPARE(c.answer(Setting::BaudRate), Answer::Confirmed);
        QCOMPARE(c.answer(Setting::Purge), Answer::Unanswered);
        const auto warnings = c.takeWarnings();
        QCOMPARE(int(warnings.size()), 1);
        QCOMPARE(warnings[0],
                 std::string("the server did not confirm the data size, parity, stop size, flow control, purge in time"));
    }

    void endlessSubnegotiationIsBoundedAndDropped()
    {
        Rfc2217Client c;
        settle(c);
        feed(c, hex("fffa2c6a"));
        const QByteArray junk(64 * 1024, '\x41');
        const qint64 heapBefore = TestSupport::heapInUse();
        std::size_t leaked = 0;
        for (int i = 0; i < 64; ++i) // 4 MiB without SE
            leaked += feed(c, junk).data.size();
        const qint64 heapAfter = TestSupport::heapInUse();
        QCOMPARE(leaked, std::size_t(0));
        if (heapBefore >= 0 && heapAfter >= 0)
            QVERIFY2(heapAfter - heapBefore < 64 * 1024, qPrintable(QString::number(heapAfter - heapBefore)));
        QCOMPARE(int(c.takeWarnings().size()), 1);
        QCOMPARE(toQt(feed(c, hex("41fff02e")).data), hex("2e"));
    }

    void compressionNeverAgreedBreaksTheStream()
    {
        Rfc2217Client c;
        settle(c);
        feed(c, hex("fffa56fff0789c"));
        QVERIFY(!c.failure().empty());
    }

    void deviceBytesGoOutEscaped()
    {
        Rfc2217Client c;
        Bytes opening;
        c.start(opening);
        for (const QByteArray& f : ffFrames()) {
            Bytes wire;
            c.encode(reinterpret_cast<const std::uint8_t*>(f.constData()), std::size_t(f.size()), wire);
            QCOMPARE(toQt(wire), QByteArray(f).replace("\xff", "\xff\xff"));
        }
    }

    // ---- the line against a fake server ----

    void silentServerOpensWithinTheBound()
    {
        FakeServer server;
        server.serve(QByteArray());
        Rfc2217Line line;
        QElapsedTimer t;
        t.start();
        QVERIFY(line.connectTo("127.0.0.1", win::u_short(server.listener.port())));
        const qint64 took = t.elapsed();
        qInfo("open against a silent server: %lld ms", took);
        QVERIFY2(took < 3 * Rfc2217Line::NegotiationMs, qPrintable(QString::number(took)));
        QVERIFY(warningsOf(line).contains("did not take COM-PORT-OPTION"));
        const int fd = server.accepted.get();
        QVERIFY(fd >= 0);
        QVERIFY(Stream(::dup(fd)).write(hex("ffff2e")));
        QCOMPARE(readLine(line, 2), hex("ff2e"));
        ::close(fd);
    }

    void droppedMidFrameThenRestarted()
    {
        std::unique_ptr<FakeServer> server = std::make_unique<FakeServer>();
        const int port = server->listener.port();
        server->serve(hex("fffc2c2e0102"));
        Rfc2217Line line;
        QVERIFY(line.connectTo("127.0.0.1", win::u_short(port)));
        QVERIFY(warningsOf(line).contains("COM-PORT-OPTION refused"));
        const int fd = server->accepted.get();
        QCOMPARE(readLine(line, 3), hex("2e0102"));
        ::close(fd);
        std::uint8_t b[16];
        QElapsedTimer t;
        t.start();
        int n = 0;
        while ((n = line.read(b, sizeof b)) == 0 && t.elapsed() < WaitMs)
            ::usleep(1000);
        QCOMPARE(n, -1); // an orderly close, or a reset where our bytes lay unread

        server.reset(); // the server restarts on the same port
        server = std::make_unique<FakeServer>(port);
        server->serve(hex("fffd2c"));
        QVERIFY(line.connectTo("127.0.0.1", win::u_short(port)));
        const int again = server->accepted.get();
        QVERIFY(again >= 0);
        QVERIFY(writeLine(line, hex("2eff")));
        // The fresh connection was negotiated from the start: the offers, the
        // settings (unanswered here), then the device's bytes.
        const QByteArray wire = fromLine(again, 15 + 45 + 3);
        QCOMPARE(wire.left(15), hex("fffb00fffd00fffb03fffd03fffb2c"));
        QCOMPARE(wire.right(3), hex("2effff"));
        ::close(again);
    }

    // A server that stops reading: what the caller gives up on is dropped,
    // and what reaches the server is whole frames, escapes and all.
    void givingUpOnWritesKeepsTheStreamWhole()
    {
        FakeServer server;
        server.serve(hex("fffc2c"));
        Rfc2217Line line;
        QVERIFY(line.connectTo("127.0.0.1", win::u_short(server.listener.port())));
        const int fd = server.accepted.get();
        QVERIFY(fd >= 0);
        const QByteArray f = TestSupport::frame(0xFF, hex("ffff00"));
        const QByteArray burst = f.repeated(1000);
        int taken = 0;
        for (int i = 0; i < 10000 && (taken = line.write(reinterpret_cast<const std::uint8_t*>(burst.constData()),
                                                          int(burst.size()))) > 0;
             ++i) {
        }
        QCOMPARE(taken, 0); // the socket and the line's queue are full
        const std::uint64_t queued = line.deviceQueued();
        QVERIFY(line.deviceSent() < queued);
        line.dropUnsent();
        QVERIFY(line.deviceQueued() < queued);
        Stream peer(::dup(fd));
        ::close(fd);
        QByteArray wire;
        QElapsedTimer t;
        t.start();
        while ((line.pending() > 0 || line.deviceSent() < line.deviceQueued()) && t.elapsed() < WaitMs) {
            wire += peer.readAvailable();
            QVERIFY(line.flush());
        }
        const std::uint64_t sent = line.deviceSent();
        QCOMPARE(sent, line.deviceQueued());
        QCOMPARE(sent % std::uint64_t(burst.size()), std::uint64_t(0));
        line.close();
        wire += peer.read(1 << 30);
        QCOMPARE(wire.left(15), hex("fffb00fffd00fffb03fffd03fffb2c"));
        const QByteArray device = wire.mid(15).replace("\xff\xff", "\xff");
        QCOMPARE(std::uint64_t(device.size()), sent);
        QVERIFY(device == f.repeated(int(device.size() / f.size())));
    }

    // ---- the line against real servers ----

    void pyserialServerIsAskedForTheDevicesLine()
    {
        Pty device;
        QVERIFY(device.isValid());
        TestSupport::Child server;
        QVERIFY(server.start("/usr/bin/python3", {QStringLiteral(KORVANE_RFC2217_SERVER), device.slavePath()}));
        const auto ready = server.waitLine(QRegularExpression("^ready (\\d+)$"));
        QVERIFY2(ready.hasMatch(), qPrintable(server.describe()));
        Rfc2217Line line;
        QVERIFY(line.connectTo("127.0.0.1", win::u_short(ready.captured(1).toInt())));
        QVERIFY2(line.client().answer(Setting::Purge) == Answer::Confirmed, qPrintable(server.describe()));
        QCOMPARE(warningsOf(line), QString());
        for (const char* asked : {"baudrate 38400", "bytesize 8", "parity N", "stopbits 1", "xonxoff False",
                                  "rtscts False", "purge input", "purge output"})
            QVERIFY2(server.waitLine(QRegularExpression(QString("^%1$").arg(asked))).hasMatch(),
                     qPrintable(QString(asked) + "\n" + server.describe()));
        exchangeFfFrames(line, device);
    }

    void ser2netAsLabgridRunsIt()
    {
        Pty device;
        TestSupport::Ser2net server;
        serve(device, server);
        if (QTest::currentTestFailed())
            return;
        Rfc2217Line line;
        QVERIFY(line.connectTo("127.0.0.1", win::u_short(server.port())));
        QVERIFY(line.client().comPortAgreed());
        // On a pseudo-terminal ser2net answers every setting as asked.
        for (Setting s : {Setting::BaudRate, Setting::DataSize, Setting::Parity, Setting::StopSize, Setting::Control,
                          Setting::Purge})
            QVERIFY2(line.client().answer(s) == Answer::Confirmed, Rfc2217Client::settingName(s));
        QCOMPARE(warningsOf(line), QString());
        exchangeFfFrames(line, device);
    }

    // ser2net takes up to ten connections to one device: each client gets
    // every device byte, and the device gets each client's frames whole.
    void twoClientsOnOneSer2net()
    {
        Pty device;
        TestSupport::Ser2net server;
        serve(device, server);
        if (QTest::currentTestFailed())
            return;
        Rfc2217Line first, second;
        QVERIFY(first.connectTo("127.0.0.1", win::u_short(server.port())));
        QVERIFY(second.connectTo("127.0.0.1", win::u_short(server.port())));
        const QByteArray fromDevice = TestSupport::frame(0x81, hex("ff07"));
        QVERIFY(device.write(fromDevice));
        QCOMPARE(readLine(first, int(fromDevice.size())), fromDevice);
        QCOMPARE(readLine(second, int(fromDevice.size())), fromDevice);
        const QByteArray a = TestSupport::frame(0x01, hex("ffff")), b = TestSupport::frame(0x02, hex("ff"));
        QVERIFY(writeLine(first, a));
        QCOMPARE(device.read(int(a.size())), a);
        QVERIFY(writeLine(second, b));
        QCOMPARE(device.read(int(b.size())), b);
    }

private:
    void serve(Pty& device, TestSupport::Ser2net& server)
    {
        QVERIFY(device.isValid());
        QString why;
        QVERIFY2(server.start(device.slavePath(), &why), qPrintable(why));
    }

    void exchangeFfFrames(Rfc2217Line& line, Pty& device)
    {
        for (const QByteArray& f : ffFrames()) {
            QVERIFY(writeLine(line, f));
            QCOMPARE(device.read(int(f.size())).toHex(' '), f.toHex(' '));
            QVERIFY(device.write(f));
            QCOMPARE(readLine(line, int(f.size())).toHex(' '), f.toHex(' '));
        }
    }
};

QTEST_GUILESS_MAIN(Rfc2217Test)
#include "tst_rfc2217.moc"
