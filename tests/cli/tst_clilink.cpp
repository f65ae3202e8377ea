// korvane-cli against a line the test plays: what it reports must be what
// happened on the line. A device that takes nothing, a reply that waited
// from an earlier run, a telnet server where a device should be, answers
// whose write failed, the last request without its line end, a count that
// a single read overruns, and port names.

#include "testsupport.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

#include <poll.h>
#include <termios.h>
#include <unistd.h>

using namespace TestSupport;

namespace {

// One run of korvane-cli: its exit status and lines.
struct Run
{
    int status = -1;
    QList<QJsonObject> lines;
    QString errors;
};

QJsonObject object(const QByteArray& line)
{
    return QJsonDocument::fromJson(line).object();
}

// Starts korvane-cli; `during` plays the device while it runs.
Run runCli(const QStringList& args, const QByteArray& input = QByteArray(),
           const std::function<void(QProcess&)>& during = {})
{
    QProcess cli;
    cli.start(QStringLiteral(KORVANE_CLI_PATH), args);
    Run run;
    if (!cli.waitForStarted())
        return run;
    if (!input.isNull()) {
        cli.write(input);
        cli.closeWriteChannel();
    }
    if (during)
        during(cli);
    if (!cli.waitForFinished(WaitMs))
        cli.kill();
    run.status = cli.exitStatus() == QProcess::NormalExit ? cli.exitCode() : -1;
    for (const QByteArray& line : cli.readAllStandardOutput().split('\n')) {
        if (!line.isEmpty())
            run.lines.append(object(line));
    }
    run.errors = QString::fromUtf8(cli.readAllStandardError());
    return run;
}

// Waits until the process has printed a line matching `what`.
bool waitOutput(QProcess& cli, QByteArray& seen, const QByteArray& what)
{
    QElapsedTimer timer;
    timer.start();
    while (!seen.contains(what) && timer.elapsed() < WaitMs) {
        cli.waitForReadyRead(100);
        seen += cli.readAllStandardOutput();
    }
    return seen.contains(what);
}

// A device on loopback, on a port of the system's choosing.
QString address(const DeviceListener& device)
{
    return QStringLiteral("socket://127.0.0.1:%1").arg(device.port());
}

QList<QJsonObject> events(const Run& run, const QString& kind)
{
    QList<QJsonObject> found;
    for (const QJsonObject& line : run.lines) {
        if (line.value(QStringLiteral("event")).toString() == kind)
            found.append(line);
    }
    return found;
}

} // namespace

class CliLinkTest : public QObject
{
    Q_OBJECT

private slots:
    void heldLine_data();
    void heldLine();
    void staleReply();
    void telnetServer_data();
    void telnetServer();
    void answersThatFailed();
    void lastRequestWithoutLineEnd();
    void countIsExact();
    void portNames_data();
    void portNames();
    void expectFrameListsWhatCame();
};

void CliLinkTest::heldLine_data()
{
    QTest::addColumn<bool>("session");
    QTest::newRow("send") << false;
    QTest::newRow("session") << true;
}

// The device holds the line: nothing may be reported as sent, and the
// session's events go on meanwhile.
void CliLinkTest::heldLine()
{
    QFETCH(bool, session);
    Pty device;
    Stream tool; // holds the tool's side stopped, as a device that stops draining
    QVERIFY(device.isValid() && tool.openTerminal(device.slavePath()));
    QCOMPARE(::tcflow(tool.fd(), TCOOFF), 0);
    if (!session) {
        const Run run = runCli({"--port", device.slavePath(), "send", "01", "0A", "--expect", "none"});
        QCOMPARE(run.status, 3);
        QVERIFY2(run.lines.value(0).value("error").toString().startsWith("link: the line took 0 of 5 bytes"),
                 qPrintable(run.errors));
        return;
    }
    QByteArray seen;
    const Run run = runCli({"--port", device.slavePath(), "session"}, QByteArray(),
                           [&](QProcess& cli) {
                               QVERIFY(waitOutput(cli, seen, "hello"));
                               cli.write(R"({"id":1,"cmd":"send","type":1,"data":"0A"})" "\n");
                               QVERIFY(device.write(QByteArray::fromHex("11")));
                               QVERIFY(waitOutput(cli, seen, "\"id\":1"));
                               cli.closeWriteChannel();
                           });
    const QList<QByteArray> lines = (seen + QByteArray()).split('\n');
    int noiseAt = -1, answerAt = -1;
    for (int i = 0; i < lines.size(); ++i) {
        const QJsonObject line = object(lines[i]);
        if (line.value("event").toString() == "noise")
            noiseAt = i;
        if (line.value("id").toInt() == 1) {
            answerAt = i;
            QCOMPARE(line.value("ok").toBool(), false);
            QVERIFY(line.value("error").toString().startsWith("link: the line took 0 of"));
        }
    }
    QVERIFY2(noiseAt >= 0 && noiseAt < answerAt, seen.constData());
    QCOMPARE(run.status, 0);
}

// A NAK to an earlier run's frame waits on the line: it is told, and the
// reply to this run's frame is the device's answer to it.
void CliLinkTest::staleReply()
{
    Pty device;
    Stream keeper; // the line's far side, to see that what waits has arrived
    QVERIFY(device.isValid() && keeper.openTerminal(device.slavePath()));
    // The NAK waits on the line (not still on its way) when the port opens.
    const auto nakWaits = [&] {
        pollfd p{keeper.fd(), POLLIN, 0};
        return device.write(QByteArray::fromHex("F0")) && ::poll(&p, 1, WaitMs) == 1;
    };
    QVERIFY(nakWaits());
    Run run = runCli({"--port", device.slavePath(), "send", "01", "0A", "FF"}, QByteArray(), [&](QProcess&) {
        QCOMPARE(device.read(6).toHex().toUpper(), QByteArray("2E01020AFFF3"));
        QVERIFY(device.write(QByteArray::fromHex("FF")));
    });
    QCOMPARE(run.status, 0);
    QCOMPARE(run.lines.value(0).value("reply").toString(), QString("ack"));
    QVERIFY(run.errors.contains("1 bytes waited"));

    QVERIFY(nakWaits());
    run = runCli({"--port", device.slavePath(), "session"}, R"({"id":1,"cmd":"ping"})" "\n");
    QCOMPARE(run.lines.value(0).value("waiting").toInt(), 1);
    QCOMPARE(events(run, "reply").value(0).value("reply").toString(), QString("nak"));
}

void CliLinkTest::telnetServer_data()
{
    QTest::addColumn<QList<QByteArray>>("opening"); // as the server sends it, piece by piece
    QTest::newRow("one piece") << QList<QByteArray>{QByteArray::fromHex("FFFB03FFFD2CFFFB00")};
    QTest::newRow("IAC alone first") << QList<QByteArray>{QByteArray::fromHex("FF"), QByteArray::fromHex("FB03")};
}

// ser2net speaking telnet: its negotiation must not read as ACKs.
void CliLinkTest::telnetServer()
{
    QFETCH(QList<QByteArray>, opening);
    DeviceListener peer("127.0.0.1", 0);
    QVERIFY(peer.isListening());
    const Run run = runCli({"--port", address(peer), "send", "01", "0A", "--expect", "nak"}, QByteArray(),
                           [&](QProcess&) {
                               const int fd = peer.accept(WaitMs);
                               QVERIFY(fd >= 0);
                               for (const QByteArray& piece : opening) {
                                   QCOMPARE(::write(fd, piece.constData(), static_cast<size_t>(piece.size())),
                                            static_cast<ssize_t>(piece.size()));
                                   QTest::qWait(20); // separate reads, as a slow server gives them
                               }
                               Stream(fd).waitEnd();
                           });
    QCOMPARE(run.status, 3);
    QVERIFY(run.lines.value(0).value("error").toString().contains("use rfc2217://HOST:PORT"));
}

// A device that sends three frames and closes: no frame is told as
// answered unless its answer was written.
void CliLinkTest::answersThatFailed()
{
    DeviceListener peer("127.0.0.1", 0);
    QVERIFY(peer.isListening());
    const Run run = runCli({"--port", address(peer), "listen", "--count", "3"}, QByteArray(), [&](QProcess&) {
        Stream device(peer.accept(WaitMs));
        QVERIFY(device.isOpen());
        QVERIFY(device.write(frame(1, "\x0A") + frame(2, "\x0B") + frame(3, "\x0C")));
        device.close();
    });
    const QList<QJsonObject> frames = events(run, "frame");
    QCOMPARE(frames.size(), 3);
    bool lost = false;
    for (const QJsonObject& line : run.lines) {
        lost = lost || line.value("event").toString() == "lost";
        if (line.value("event").toString() != "frame")
            continue;
        const bool answered = !line.value("answered").isNull();
        QVERIFY2(answered != line.contains("answer_error"), qPrintable(QJsonDocument(line).toJson()));
        QVERIFY2(!(lost && answered), "a frame after the loss was told as answered");
    }
}

void CliLinkTest::lastRequestWithoutLineEnd()
{
    Pty device;
    QVERIFY(device.isValid());
    const Run run = runCli({"--port", device.slavePath(), "session"},
                           R"({"id":7,"cmd":"send","type":1,"expect":"none","timeout_ms":50})");
    QCOMPARE(device.read(4).toHex().toUpper(), QByteArray("2E0100FE"));
    QCOMPARE(run.lines.last().value("id").toInt(), 7);
    QCOMPARE(run.lines.last().value("ok").toBool(), true);
}

// Five frames in one read, and --count 1: one event, not five.
void CliLinkTest::countIsExact()
{
    Pty device;
    QVERIFY(device.isValid());
    QByteArray five;
    for (int i = 1; i <= 5; ++i)
        five += frame(static_cast<std::uint8_t>(i), "\x01");
    QVERIFY(device.write(five));
    const Run run = runCli({"--port", device.slavePath(), "listen", "--count", "1"});
    QCOMPARE(run.lines.size(), 1);
    QCOMPARE(run.lines[0].value("type").toInt(), 1);
    QCOMPARE(runCli({"--port", device.slavePath(), "listen", "--count", "0"}).status, 2);
}

void CliLinkTest::portNames_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("said");
    QTest::newRow("com7 in lower case") << "com7" << 0 << "";
    QTest::newRow("COM10") << "COM10" << 2 << "numbered COM1 to COM9";
    QTest::newRow("a refused connect, said once, in UTF-8") << "socket://127.0.0.1:1" << 3 << "connection refused";
}

void CliLinkTest::portNames()
{
    QFETCH(QString, port);
    QFETCH(int, status);
    QFETCH(QString, said);
    PortsDir ports;
    Pty device;
    QVERIFY(ports.isValid() && device.isValid() && ports.link("COM7", device.slavePath()));
    const Run run = runCli({"--port", port, "send", "01", "--expect", "any", "--timeout", "10"});
    QCOMPARE(run.status, status);
    if (status == 0)
        QCOMPARE(device.read(4).toHex().toUpper(), QByteArray("2E0100FE"));
    else
        QVERIFY2(run.errors.count(said) == 1 && !run.errors.contains('?'), qPrintable(run.errors));
}

void CliLinkTest::expectFrameListsWhatCame()
{
    Pty device;
    QVERIFY(device.isValid());
    QByteArray seen;
    const Run run = runCli({"--port", device.slavePath(), "session"}, QByteArray(), [&](QProcess& cli) {
        QVERIFY(waitOutput(cli, seen, "hello"));
        // Both in one write, read together: the ping's answer means the
        // expect_frame behind it has started.
        cli.write(R"({"id":2,"cmd":"ping"})" "\n" R"({"id":3,"cmd":"expect_frame","pattern":"83 ??","timeout_ms":500})" "\n");
        QVERIFY(waitOutput(cli, seen, "\"id\":2"));
        QVERIFY(device.write(frame(2, "\x0B")));
        QVERIFY(waitOutput(cli, seen, "\"id\":3"));
        cli.closeWriteChannel();
    });
    QJsonObject failed;
    for (const QByteArray& line : seen.split('\n')) {
        if (object(line).value("id").toInt() == 3)
            failed = object(line);
    }
    QCOMPARE(failed.value("error").toString(), QString("timeout"));
    QCOMPARE(failed.value("came_count").toInt(), 1);
    QCOMPARE(failed.value("came").toArray().at(0).toString(), QString("02 0B"));
}

QTEST_GUILESS_MAIN(CliLinkTest)
#include "tst_clilink.moc"
