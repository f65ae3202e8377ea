// Faults of the whole tool process: the real window, run as the tool's main()
// runs it (korvane-window-host, which only adds a click on `open`, since the
// tool has no command line), in a temporary working directory, fed by the
// device simulator on a pseudo-terminal linked as COMn.
//
//  - SIGKILL in the middle of a stream keeps every row shown before the last
//    poll tick: every frame the device had an ACK for is in the log, but for
//    at most the frames of the tick that was running.
//  - SIGTERM keeps every row: the tool exits with 0 and every ACKed frame is
//    in the log.
//  - A second instance in the same directory runs without a log and leaves
//    the first one's log whole.
//  - Under `nohup` a SIGHUP leaves the tool running; the stop signals give
//    back at the end what they found.
//  - korvane itself answers --help and --version without a window, and
//    without a display it says which one it tried and exits 1, not abort.

#include "korvane.h"
#include "programoptions.h"
#include "stopsignals.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <memory>

using namespace TestSupport;

namespace {

const QString HostPath = QStringLiteral(KORVANE_WINDOW_HOST);
const QString ToolPath = QStringLiteral(KORVANE_TOOL);

// Frames of eight bytes on the wire (type, four sequence bytes), so that a
// poll of 100 bytes completes at most 13 of them.
constexpr int FrameBytes = 8;
constexpr int MaxFramesPerTick = (100 + FrameBytes - 1) / FrameBytes;

// The tool, hosted, as a child process (started through `wrapper`, such as
// nohup, when one is given); true when it opened COMn.
bool startTool(Child& tool, const QString& workDir, int comNumber, const QString& wrapper = QString())
{
    QStringList arguments = {HostPath, QStringLiteral("--open-serial"), QString::number(comNumber)};
    const QString program = wrapper.isEmpty() ? arguments.takeFirst() : wrapper;
    return tool.start(program, arguments, workDir)
        && tool.waitLine(QRegularExpression(QStringLiteral("^open \\d$")), 0, 20000).captured(0) == QStringLiteral("open 1");
}

struct SimStats
{
    qint64 sent = -1;
    qint64 acks = -1;
    qint64 naks = -1;
};

// Asks the simulator for its counts now.
SimStats statsOf(Child& sim)
{
    const QMap<QString, qint64> s = sim.stats();
    return {s.value(QStringLiteral("sent"), -1), s.value(QStringLiteral("acks"), -1), s.value(QStringLiteral("naks"), -1)};
}

QStringList streamArguments(const QString& com, const QString& type)
{
    return {QStringLiteral("--serial"), com, QStringLiteral("--rate"), QStringLiteral("400"),
            QStringLiteral("--frame"), type + QStringLiteral(" 00 00 00 00"), QStringLiteral("--number"),
            QStringLiteral("--quiet")};
}

} // namespace

class ProcessFaultsTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void sigkillMidStreamKeepsShownRows();
    void sigtermKeepsEveryRow();
    void secondInstanceLeavesTheLogAlone();
    void logNameIsAPipeNobodyReads();
    void hangUpIgnoredUnderNohup();
    void stopSignalsGiveBackWhatTheyFound();
    void startWithoutWindow_data();
    void startWithoutWindow();
    void historyOfAFileAlone();
    void optionsAsParsed_data();
    void optionsAsParsed();

private:
    bool waitForRows(int count, int timeoutMs = 20000);
    QString logPath() const { return work->filePath(QStringLiteral("Korvane_data.csv")); }

    TestSupport::PortsDir* ports = nullptr;
    QTemporaryDir* work = nullptr;
};

void ProcessFaultsTest::init()
{
    ports = new TestSupport::PortsDir;
    work = new QTemporaryDir;
    QVERIFY(ports->isValid() && work->isValid());
}

void ProcessFaultsTest::cleanup()
{
    delete work;
    delete ports;
    work = nullptr;
    ports = nullptr;
}

bool ProcessFaultsTest::waitForRows(int count, int timeoutMs)
{
    return QTest::qWaitFor([&] { return TestSupport::readLog(logPath()).rows.size() >= count; }, timeoutMs);
}

void ProcessFaultsTest::sigkillMidStreamKeepsShownRows()
{
    Child sim;
    QVERIFY2(sim.startReady(streamArguments(QStringLiteral("COM1"), QStringLiteral("01"))), qPrintable(sim.describe()));
    Child tool;
    QVERIFY2(startTool(tool, work->path(), 1), qPrintable(tool.describe()));
    QVERIFY(waitForRows(200));

    QVERIFY(tool.signal(SIGKILL));
    QVERIFY(tool.process().waitForFinished(20000));
    QCOMPARE(tool.process().exitStatus(), QProcess::CrashExit);
    QVERIFY(sim.waitLine(QRegularExpression(QStringLiteral("^disconnected"))).hasMatch());

    const TestSupport::LogContents log = TestSupport::readLog(logPath());
    const qint64 rows = log.rows.size();
    QVERIFY(log.headerFirst);
    QVERIFY2(log.junk.isEmpty(), log.junk.value(0).constData());
    QVERIFY(!log.endsMidLine);
    QVERIFY(TestSupport::contiguous(log.rows, 0));

    // Each ACK leaves after its row is written, and rows reach the file at
    // the end of each tick: only the running tick's rows may be missing.
    SimStats stats;
    QVERIFY(QTest::qWaitFor([&] {
        stats = statsOf(sim);
        return stats.acks >= rows;
    }, 10000));
    qInfo("SIGKILL: %lld frames sent, %lld ACKed, %lld rows in the log", stats.sent, stats.acks, rows);
    QCOMPARE(stats.naks, 0LL);
    QVERIFY2(stats.acks - rows <= MaxFramesPerTick, qPrintable(QStringLiteral("%1 ACKs, %2 rows").arg(stats.acks).arg(rows)));
}

void ProcessFaultsTest::sigtermKeepsEveryRow()
{
    Child sim;
    QVERIFY2(sim.startReady(streamArguments(QStringLiteral("COM1"), QStringLiteral("01"))), qPrintable(sim.describe()));
    Child tool;
    QVERIFY2(startTool(tool, work->path(), 1), qPrintable(tool.describe()));
    QVERIFY(waitForRows(200));

    QVERIFY(tool.signal(SIGTERM));
    QVERIFY(tool.process().waitForFinished(20000));
    QCOMPARE(tool.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(tool.process().exitCode(), 0);
    QVERIFY(sim.waitLine(QRegularExpression(QStringLiteral("^disconnected"))).hasMatch());

    const TestSupport::LogContents log = TestSupport::readLog(logPath());
    QVERIFY(log.headerFirst);
    QVERIFY2(log.junk.isEmpty(), log.junk.value(0).constData());
    QVERIFY(!log.endsMidLine);
    QVERIFY(TestSupport::contiguous(log.rows, 0));
    SimStats stats;
    QVERIFY(QTest::qWaitFor([&] {
        stats = statsOf(sim);
        return stats.acks >= log.rows.size();
    }, 10000));
    qInfo("SIGTERM: %lld frames sent, %lld ACKed, %lld rows in the log", stats.sent, stats.acks,
          qint64(log.rows.size()));
    QCOMPARE(stats.naks, 0LL);
    QCOMPARE(stats.acks, qint64(log.rows.size()));
}

void ProcessFaultsTest::secondInstanceLeavesTheLogAlone()
{
    Child first;
    QVERIFY2(first.startReady(streamArguments(QStringLiteral("COM1"), QStringLiteral("01"))), qPrintable(first.describe()));
    Child second;
    QVERIFY2(second.startReady(streamArguments(QStringLiteral("COM2"), QStringLiteral("02"))), qPrintable(second.describe()));

    Child running;
    QVERIFY2(startTool(running, work->path(), 1), qPrintable(running.describe()));
    QVERIFY(waitForRows(50));

    // The second instance opens its own device and shows its frames.
    Child another;
    QVERIFY2(startTool(another, work->path(), 2), qPrintable(another.describe()));
    SimStats shown;
    QVERIFY(QTest::qWaitFor([&] {
        shown = statsOf(second);
        return shown.acks >= 100;
    }, 20000));
    const int rowsMeanwhile = int(TestSupport::readLog(logPath()).rows.size());

    QVERIFY(another.signal(SIGTERM));
    QVERIFY(another.process().waitForFinished(20000));
    QCOMPARE(another.process().exitCode(), 0);
    QVERIFY(waitForRows(rowsMeanwhile + 50)); // the first instance still logs

    QVERIFY(running.signal(SIGTERM));
    QVERIFY(running.process().waitForFinished(20000));
    QCOMPARE(running.process().exitCode(), 0);
    QVERIFY(first.waitLine(QRegularExpression(QStringLiteral("^disconnected"))).hasMatch());

    // One header, the first instance's rows only, all of them, whole, in order.
    const TestSupport::LogContents log = TestSupport::readLog(logPath());
    QVERIFY(log.headerFirst);
    QCOMPARE(log.headers, 1);
    QVERIFY2(log.junk.isEmpty(), log.junk.value(0).constData());
    QVERIFY(!log.endsMidLine);
    for (const TestSupport::LogRow& r : log.rows)
        QCOMPARE(r.type, 0x01);
    QVERIFY(TestSupport::contiguous(log.rows, 0));
    SimStats stats;
    QVERIFY(QTest::qWaitFor([&] {
        stats = statsOf(first);
        return stats.acks >= log.rows.size();
    }, 10000));
    qInfo("two instances: first %lld ACKs / %lld rows; second %lld ACKs / none logged", stats.acks,
          qint64(log.rows.size()), shown.acks);
    QCOMPARE(stats.acks, qint64(log.rows.size()));
}

void ProcessFaultsTest::logNameIsAPipeNobodyReads()
{
    // A pipe behind the log's name, as for watching the log live, whose
    // reader has stopped (here: there is none yet). Once the pipe is full the
    // tool must neither hang in a write nor ignore SIGTERM; rows that do not
    // fit are dropped whole, as on a full disk.
    QCOMPARE(::mkfifo(QFile::encodeName(logPath()).constData(), 0600), 0);
    Child sim;
    QStringList args = streamArguments(QStringLiteral("COM1"), QStringLiteral("01"));
    args[3] = QStringLiteral("1000");
    QVERIFY2(sim.startReady(args), qPrintable(sim.describe()));
    Child tool;
    QVERIFY2(startTool(tool, work->path(), 1), qPrintable(tool.describe()));

    // 64 KiB of pipe hold some 1,700 rows: far more frames are answered.
    SimStats stats;
    QVERIFY2(QTest::qWaitFor([&] {
        stats = statsOf(sim);
        return stats.acks >= 4000;
    }, 30000), qPrintable(QStringLiteral("the tool stopped answering after %1 frames").arg(stats.acks)));

    // A reader comes: it gets the header and whole rows in order, and more
    // rows follow while it reads.
    const int reader = ::open(QFile::encodeName(logPath()).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    QVERIFY(reader >= 0);
    QByteArray got;
    const qint64 acksBefore = stats.acks;
    QVERIFY(QTest::qWaitFor([&] {
        char buffer[65536];
        ssize_t r;
        while ((r = ::read(reader, buffer, sizeof buffer)) > 0)
            got.append(buffer, r);
        stats = statsOf(sim);
        return stats.acks >= acksBefore + 2000 && got.size() > 70000;
    }, 30000));
    ::close(reader);
    QVERIFY(got.startsWith("Korvane Bus Traffic File \n"));
    const QList<QByteArray> lines = got.left(got.lastIndexOf('\n')).split('\n');
    qint64 previous = -1;
    int rows = 0;
    for (int i = 7; i < lines.size(); ++i) {
        TestSupport::LogRow row;
        QVERIFY2(TestSupport::parseRow(lines[i], &row), lines[i].constData());
        QVERIFY(row.sequence() > previous);
        previous = row.sequence();
        ++rows;
    }
    qInfo("pipe log: %lld frames answered, %d whole rows read from the pipe, last frame %lld", stats.acks, rows,
          previous);
    QVERIFY(previous > 2000);

    QVERIFY(tool.signal(SIGTERM));
    QVERIFY(tool.process().waitForFinished(20000));
    QCOMPARE(tool.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(tool.process().exitCode(), 0);
}

void ProcessFaultsTest::hangUpIgnoredUnderNohup()
{
    const QString nohup = QStandardPaths::findExecutable(QStringLiteral("nohup"));
    if (nohup.isEmpty())
        QSKIP("nohup is missing");
    Child sim;
    QVERIFY2(sim.startReady(streamArguments(QStringLiteral("COM1"), QStringLiteral("01"))), qPrintable(sim.describe()));
    Child tool;
    QVERIFY2(startTool(tool, work->path(), 1, nohup), qPrintable(tool.describe()));
    QVERIFY(waitForRows(50));

    QVERIFY(tool.signal(SIGHUP));
    const int before = int(TestSupport::readLog(logPath()).rows.size());
    QVERIFY2(waitForRows(before + 200), "the tool stopped logging after SIGHUP");
    QCOMPARE(tool.process().state(), QProcess::Running);

    QVERIFY(tool.signal(SIGTERM)); // still the orderly stop
    QVERIFY(tool.process().waitForFinished(20000));
    QCOMPARE(tool.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(tool.process().exitCode(), 0);
}

namespace {
extern "C" void someoneElsesHandler(int) {}
} // namespace

void ProcessFaultsTest::startWithoutWindow_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("display"); // DISPLAY; unset when empty; QT_QPA_PLATFORM is unset
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("says"); // a line of standard output, or of standard error when exitCode != 0

    QTest::newRow("--help") << QStringList{QStringLiteral("--help")} << QString() << 0
                            << QStringLiteral("Usage: korvane [--help] [--version] [--history FILE] [Qt options such as -platform offscreen]");
    QTest::newRow("--version") << QStringList{QStringLiteral("--version")} << QString() << 0
                               << QStringLiteral("korvane ") + Korvane::versionText();
    // Refused before any display is needed; Qt's own options pass.
    const QString usage = QStringLiteral("Usage: korvane [--help] [--version] [--history FILE] [Qt options such as -platform offscreen]");
    QTest::newRow("--bogus") << QStringList{QStringLiteral("--bogus")} << QString() << 2
                             << QStringLiteral("korvane: unknown option \"--bogus\"");
    QTest::newRow("--bogus after a Qt option")
        << QStringList{QStringLiteral("-platform"), QStringLiteral("offscreen"), QStringLiteral("--bogus")} << QString() << 2
        << usage;
    QTest::newRow("--history without its file") << QStringList{QStringLiteral("--history")} << QString() << 2
                                                 << QStringLiteral("korvane: --history wants the file to open");
    QTest::newRow("a file without --history") << QStringList{QStringLiteral("Korvane_data.csv")} << QString() << 2
                                              << QStringLiteral("korvane: unexpected argument \"Korvane_data.csv\" (a file to look at goes after --history)");
    QTest::newRow("a Qt option without its value") << QStringList{QStringLiteral("-style")} << QString() << 2
                                                   << QStringLiteral("korvane: the Qt option -style wants a value");
    QTest::newRow("no display") << QStringList() << QString() << 1
                                << QStringLiteral("korvane: no display to open (DISPLAY is not set); to run without a display, "
                                                  "start it as: QT_QPA_PLATFORM=offscreen korvane");
    // A display number nobody serves: no X server socket, no lock file.
    QTest::newRow("display gone") << QStringList() << QStringLiteral(":97") << 1
                                  << QStringLiteral("korvane: cannot open the display \":97\" (X11): could not connect to display :97; "
                                                    "to run without a display, start it as: QT_QPA_PLATFORM=offscreen korvane");
}

void ProcessFaultsTest::startWithoutWindow()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, display);
    QFETCH(int, exitCode);
    QFETCH(QString, says);
    if (!display.isEmpty() && QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X") + display.mid(1)))
        QSKIP("an X server serves the display this case takes for gone");
    QProcess tool;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(name));
    if (!display.isEmpty())
        env.insert(QStringLiteral("DISPLAY"), display);
    tool.setProcessEnvironment(env);
    tool.setWorkingDirectory(work->path());
    tool.start(ToolPath, arguments);
    QVERIFY(tool.waitForFinished(20000));
    QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
    QCOMPARE(tool.exitCode(), exitCode);
    const QStringList lines = QString::fromLocal8Bit(exitCode == 0 ? tool.readAllStandardOutput() : tool.readAllStandardError())
                                  .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QVERIFY2(lines.contains(says), qPrintable(lines.join(QLatin1Char('\n'))));
    if (exitCode == 1)
        QCOMPARE(lines.size(), 1);
    if (exitCode == 2) // the reason, then the usage text
        QVERIFY2(lines.value(1).startsWith(QStringLiteral("Usage: korvane ")), qPrintable(lines.join(QLatin1Char('\n'))));
    // Nothing that needs a window ran: no log was started.
    QVERIFY(!QFileInfo::exists(logPath()));
}

void ProcessFaultsTest::stopSignalsGiveBackWhatTheyFound()
{
    const auto handlerOf = [](int sig) {
        struct sigaction now = {};
        ::sigaction(sig, nullptr, &now);
        return now.sa_handler;
    };
    const auto hup = std::signal(SIGHUP, SIG_IGN);
    const auto term = std::signal(SIGTERM, someoneElsesHandler);
    bool leftAlone = false, watched = false;
    {
        StopSignals stop(nullptr);
        leftAlone = handlerOf(SIGHUP) == SIG_IGN;
        watched = handlerOf(SIGTERM) != someoneElsesHandler;
    }
    const bool givenBack = handlerOf(SIGHUP) == SIG_IGN && handlerOf(SIGTERM) == someoneElsesHandler;
    std::signal(SIGHUP, hup);
    std::signal(SIGTERM, term);
    QVERIFY(leftAlone && watched);
    QVERIFY(givenBack);
}

void ProcessFaultsTest::historyOfAFileAlone()
{
    // The log of an earlier run, in the folder where the tool would start
    // its own: looking at it must neither move it nor start a new one.
    const QDateTime started(QDate(2026, 12, 7), QTime(23, 59, 59));
    const QByteArray log = TestSupport::makeLog({TestSupport::frame(1, "\x0a"), TestSupport::frame(2, ""),
                                                 TestSupport::frame(3, "\xff\x00")},
                                                started, 400);
    QFile file(logPath());
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(log), log.size());
    file.close();

    Child tool;
    // Only Qt's own option says where to draw, so it must reach Qt.
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        tool.environment().remove(QString::fromLatin1(name));
    QVERIFY(tool.start(HostPath, {QStringLiteral("--history"), logPath(), QStringLiteral("-platform"), QStringLiteral("offscreen")},
                       work->path()));
    // Child reads lines as Latin-1; the host writes UTF-8.
    const QString title = QString::fromLatin1(QStringLiteral("title Korvane 历史 — Korvane_data.csv — 3 帧").toUtf8());
    QVERIFY2(tool.waitLine(QRegularExpression(QLatin1Char('^') + QRegularExpression::escape(title) + QLatin1Char('$')), 0, 20000)
                 .hasMatch(),
             qPrintable(tool.describe()));
    QVERIFY(tool.signal(SIGTERM));
    QCOMPARE(tool.waitExit(20000), 0);
    QDir dir(work->path());
    QCOMPARE(dir.entryList(QDir::Files), QStringList{QStringLiteral("Korvane_data.csv")});
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), log);
}

// What the command line asks for, in the forms the process cases above
// leave out: Qt's options in their other spellings pass, and so does a
// file after --history in either form.
void ProcessFaultsTest::optionsAsParsed_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("action");
    QTest::addColumn<QString>("file");
    using A = ProgramOptions::Action;
    QTest::newRow("nothing") << QStringList() << int(A::Window) << QString();
    QTest::newRow("Qt's options, one dash or two, joined or not")
        << QStringList{"--platform", "offscreen", "-style=fusion", "-reverse", "-qmljsdebugger=port:1234"} << int(A::Window)
        << QString();
    QTest::newRow("--history FILE") << QStringList{"--history", "a b.csv", "-platform", "offscreen"} << int(A::History)
                                    << QStringLiteral("a b.csv");
    QTest::newRow("--history=FILE") << QStringList{"--history=cap.pcapng"} << int(A::History) << QStringLiteral("cap.pcapng");
    QTest::newRow("a file named like a Qt option") << QStringList{"--history", "-reverse"} << int(A::History)
                                                   << QStringLiteral("-reverse");
    QTest::newRow("--history twice") << QStringList{"--history", "a.csv", "--history", "b.csv"} << int(A::Refuse) << QString();
    QTest::newRow("--history= empty") << QStringList{"--history="} << int(A::Refuse) << QString();
    QTest::newRow("--help wins over what follows") << QStringList{"--help", "--bogus"} << int(A::Help) << QString();
    QTest::newRow("what comes first is refused first") << QStringList{"--bogus", "--help"} << int(A::Refuse) << QString();
    QTest::newRow("-v") << QStringList{"-v"} << int(A::Version) << QString();
}

void ProcessFaultsTest::optionsAsParsed()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, action);
    QFETCH(QString, file);
    const ProgramOptions options = ProgramOptions::parse(arguments);
    QCOMPARE(int(options.action), action);
    QCOMPARE(options.historyFile, file);
    QCOMPARE(options.refused.isEmpty(), options.action != ProgramOptions::Action::Refuse);
}

QTEST_GUILESS_MAIN(ProcessFaultsTest)
#include "tst_processfaults.moc"
