// The traffic log file "Korvane_data.csv": header, rows, the previous logs
// kept, a link in the log's place, failure to open, a second instance, and
// rows surviving a killed tool.

#include "display.h"
#include "trafficfixtures.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>
#include <QTextEdit>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <cstdio>
#include <cstring>
#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/types.h>
#include <unistd.h>
#endif

using Fixtures::expectedLine;
using Fixtures::expectedRow;
using Fixtures::numbered;

namespace {

const QString LogName = QStringLiteral("Korvane_data.csv");
const QByteArray Columns = "time,time_ms,head,type,len,data,...,...,-,inx\n";
constexpr int HeaderSize = 26 + 22 + 23 + 46;

QByteArray readLog()
{
    QFile f(LogName);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.readAll();
}

// The child of killedToolKeepsFlushedRows: shows frames tick by tick, flushing
// at the end of each tick as the window does, reports, then waits to be
// killed with a few more rows left unflushed.
int runLogChild(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc < 5 || !QDir::setCurrent(QString::fromLocal8Bit(argv[2])))
        return 2;
    const int ticks = atoi(argv[3]);
    const int perTick = atoi(argv[4]);
    Display display;
    int n = 0;
    for (int t = 0; t < ticks; ++t) {
        for (int i = 0; i < perTick; ++i) {
            TYPE_Data r = numbered(++n);
            display.ShowFrame(&r);
        }
        display.FlushLog();
    }
    // Rows of a tick that has not ended yet.
    for (int i = 0; i < 3; ++i) {
        TYPE_Data r = numbered(++n);
        display.ShowFrame(&r);
    }
    std::fputs("ready\n", stdout);
    std::fflush(stdout);
    // Never reached when the parent does its job.
    QTimer::singleShot(60000, &app, &QCoreApplication::quit);
    return app.exec();
}

// Whether the source tree's .gitignore keeps a file of this name out of
// `git status`: its lines without a slash match a name in any folder.
bool ignoredInSourceTree(const QString& name)
{
    QFile rules(QStringLiteral(KORVANE_SOURCE_DIR "/.gitignore"));
    if (!rules.open(QIODevice::ReadOnly))
        return false;
    bool ignored = false;
    for (const QByteArray& raw : rules.readAll().split('\n')) {
        QString rule = QString::fromUtf8(raw.trimmed());
        const bool negated = rule.startsWith(QLatin1Char('!'));
        if (negated)
            rule.remove(0, 1);
        if (rule.isEmpty() || rule.startsWith(QLatin1Char('#')) || rule.contains(QLatin1Char('/')))
            continue;
        if (QRegularExpression(QRegularExpression::wildcardToRegularExpression(rule)).match(name).hasMatch())
            ignored = !negated;
    }
    return ignored;
}

} // namespace

class TrafficLogTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void header();
    void rowsInOrder();
    void clearRestartsIndexButKeepsFile();
    void previousLogsAreKept();
    void linkInTheLogsPlace_data();
    void linkInTheLogsPlace();
    void newRunWritesNewHeaderAtStart();
    void openFailureLeavesViewWorking();
    void secondInstanceLeavesLogAlone();
    void killedToolKeepsFlushedRows();

private:
    Fixtures::WorkDir* work = nullptr;
};

void TrafficLogTest::init()
{
    work = new Fixtures::WorkDir;
    QVERIFY(work->ok());
}

void TrafficLogTest::cleanup()
{
    delete work;
    work = nullptr;
}

void TrafficLogTest::header()
{
    const QDateTime before = QDateTime::currentDateTime();
    Display display;
    const QDateTime after = QDateTime::currentDateTime();

    // The header is on disk at once, before any frame.
    const QByteArray log = readLog();
    QCOMPARE(log.size(), HeaderSize);
    const QRegularExpression shape(QStringLiteral(
        "\\AKorvane Bus Traffic File \\n"
        "New Data ,(\\d{4}-\\d{2}-\\d{2}) \\n"
        "new Time ,(\\d{2}:\\d{2}:\\d{2}),\\n\\n\\n\\n"
        "time,time_ms,head,type,len,data,\\.\\.\\.,\\.\\.\\.,-,inx\\n\\z"));
    const QRegularExpressionMatch m = shape.match(QString::fromLatin1(log));
    QVERIFY2(m.hasMatch(), log.constData());
    QVERIFY(log.endsWith(Columns));
    QVERIFY(!log.contains('\r'));

    const QDateTime stamped(QDate::fromString(m.captured(1), QStringLiteral("yyyy-MM-dd")),
                            QTime::fromString(m.captured(2), QStringLiteral("hh:mm:ss")));
    QVERIFY(stamped.isValid());
    QVERIFY(stamped >= before.addMSecs(-before.time().msec()));
    QVERIFY(stamped <= after);
}

void TrafficLogTest::rowsInOrder()
{
    QWidget host; // outlives the display, as the window does
    Display display;
    QByteArray expected = readLog();
    QCOMPARE(expected.size(), HeaderSize);

    int index = 0;
    for (int n = 1; n <= 20; ++n) {
        if (n == 5) {
            // A status line is counted but never logged.
            display.ShowText(QStringLiteral("网络连接成功"));
            ++index;
        }
        TYPE_Data r = numbered(n);
        display.ShowFrame(&r);
        expected += expectedRow(r, ++index);
        if (n % 7 == 0) {
            display.FlushLog();
            QCOMPARE(readLog(), expected);
        }
    }
    display.FlushLog();
    QCOMPARE(readLog(), expected);
    QVERIFY(expected.endsWith(",-,[21]\n"));

    // The view's lines are the ones the rows were derived from.
    display.SetView(&host, 10, 270);
    display.RefreshView();
    const QStringList shown = host.findChild<QTextEdit*>()->toPlainText().split(QLatin1Char('\n'));
    QCOMPARE(shown.size(), 7);
    QCOMPARE(shown.last(), expectedLine(numbered(20), 21));
}

void TrafficLogTest::clearRestartsIndexButKeepsFile()
{
    Display display;
    QByteArray expected = readLog();
    for (int n = 1; n <= 3; ++n) {
        TYPE_Data r = numbered(n);
        display.ShowFrame(&r);
        expected += expectedRow(r, n);
    }
    display.FlushLog();
    display.ClearView();
    display.FlushLog();
    QCOMPARE(readLog(), expected);

    TYPE_Data r = numbered(4);
    display.ShowFrame(&r);
    expected += expectedRow(r, 1);
    display.FlushLog();
    const QByteArray log = readLog();
    QCOMPARE(log, expected);
    QVERIFY(log.endsWith(",-,[1]\n"));
}

void TrafficLogTest::previousLogsAreKept()
{
    // A file without a header is kept under its own modification time.
    const QByteArray foreign = QByteArray(20000, 'X') + "\nold,rows\n";
    {
        QFile old(LogName);
        QVERIFY(old.open(QIODevice::WriteOnly) && old.write(foreign) > 0);
        QVERIFY(old.setFileTime(QDateTime(QDate(2025, 1, 2), QTime(3, 4, 5)), QFileDevice::FileModificationTime));
    }
    // Three runs, each writing its own rows; runs started within one second
    // share a start time, and their kept names then differ by a number.
    QList<QByteArray> written;
    for (int run = 0; run < 3; ++run) {
        Display display;
        QCOMPARE(display.logStatus().state, LogStarter::State::Open);
        QCOMPARE(readLog().size(), HeaderSize);
        for (int n = 1; n <= run + 1; ++n) {
            TYPE_Data r = numbered(n);
            display.ShowFrame(&r);
        }
        display.FlushLog();
        written << readLog();
    }
    Display last;
    QCOMPARE(readLog().size(), HeaderSize);

    // Every earlier log is kept whole, under a name that carries its start.
    const QStringList kept = QDir().entryList({QStringLiteral("Korvane_data-*.csv")}, QDir::Files, QDir::Name);
    QCOMPARE(kept.size(), 4);
    QCOMPARE(kept.first(), QStringLiteral("Korvane_data-2025-01-02_03-04-05.csv"));
    QFile first(kept.first());
    QVERIFY(first.open(QIODevice::ReadOnly));
    QCOMPARE(first.readAll(), foreign);
    // A run in a source tree leaves nothing for `git status` to show.
    for (const QString& name : kept + QStringList{LogName})
        QVERIFY2(ignoredInSourceTree(name), qPrintable(name));
    QList<QByteArray> found;
    for (const QString& name : kept.mid(1)) {
        QFile f(name);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray bytes = f.readAll();
        const QRegularExpressionMatch m =
            QRegularExpression(QStringLiteral("New Data ,(\\S+) \nnew Time ,(\\d\\d):(\\d\\d):(\\d\\d),")).match(QString::fromLatin1(bytes));
        QVERIFY(m.hasMatch());
        const QString stamp = QStringLiteral("Korvane_data-%1_%2-%3-%4").arg(m.captured(1), m.captured(2), m.captured(3), m.captured(4));
        QVERIFY2(name.startsWith(stamp), qPrintable(name));
        found << bytes;
    }
    std::sort(found.begin(), found.end(), [](const QByteArray& a, const QByteArray& b) { return a.size() < b.size(); });
    QCOMPARE(found, written);
}

void TrafficLogTest::linkInTheLogsPlace_data()
{
    QTest::addColumn<bool>("foreign");
    QTest::addColumn<bool>("dangling");
    QTest::addColumn<bool>("chain"); // through a second link of the user's, mid.csv
    QTest::newRow("the user's own link") << false << false << false;
    QTest::newRow("the user's own link to a new file") << false << true << false;
    QTest::newRow("a chain of the user's own links") << false << false << true;
    QTest::newRow("a chain of the user's own links to a new file") << false << true << true;
    QTest::newRow("a link another user made") << true << false << false;
    QTest::newRow("a chain through a link another user made") << true << false << true;
}

// A link that the user made is followed, the previous log it named kept
// beside its target; a link someone else put into the folder is left alone,
// and so is the file it names.
void TrafficLogTest::linkInTheLogsPlace()
{
    QFETCH(bool, foreign);
    QFETCH(bool, dangling);
    QFETCH(bool, chain);
#ifdef Q_OS_UNIX
    if (foreign && ::geteuid() != 0)
        QSKIP("making a link owned by another user needs root");
    QVERIFY(QDir().mkdir(QStringLiteral("elsewhere")));
    const QString target = QDir::current().absoluteFilePath(QStringLiteral("elsewhere/mine.csv"));
    const QByteArray precious = "Korvane Bus Traffic File \nNew Data ,2026-01-02 \nnew Time ,03:04:05,\n\n\n\nrows\n";
    if (!dangling) {
        QFile f(target);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(precious) == precious.size());
    }
    const QString mid = QStringLiteral("mid.csv");
    QVERIFY(QFile::link(chain ? mid : target, LogName));
    if (chain)
        QVERIFY(QFile::link(QStringLiteral("elsewhere/mine.csv"), mid));
    // The link further along the chain is the other user's.
    if (foreign)
        QCOMPARE(::lchown(QFile::encodeName(chain ? mid : LogName).constData(), 65534, 65534), 0);

    Display display;
    TYPE_Data r = numbered(1);
    display.ShowFrame(&r);
    display.FlushLog();
    // Every link stays, and the chain still ends at the target.
    QCOMPARE(QFileInfo(LogName).canonicalFilePath(), target);
    QFile written(target);
    if (foreign) {
        QCOMPARE(display.logStatus().state, LogStarter::State::ForeignLink);
        QVERIFY(written.open(QIODevice::ReadOnly));
        QCOMPARE(written.readAll(), precious);
        QCOMPARE(QDir(QStringLiteral("elsewhere")).entryList(QDir::Files), QStringList{QStringLiteral("mine.csv")});
        return;
    }
    QCOMPARE(display.logStatus().state, LogStarter::State::Open);
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(written.readAll().size(), HeaderSize + expectedRow(r, 1).size());
    QFile kept(QStringLiteral("elsewhere/mine-2026-01-02_03-04-05.csv"));
    QCOMPARE(kept.exists(), !dangling);
    if (!dangling) {
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), precious);
    }
#else
    Q_UNUSED(foreign);
    Q_UNUSED(dangling);
    Q_UNUSED(chain);
    QSKIP("symbolic links are a POSIX case");
#endif
}

void TrafficLogTest::newRunWritesNewHeaderAtStart()
{
    {
        Display first;
        for (int n = 1; n <= 30; ++n) {
            TYPE_Data r = numbered(n);
            first.ShowFrame(&r);
        }
    }
    QVERIFY(readLog().size() > HeaderSize);

    Display second;
    TYPE_Data r = numbered(7);
    second.ShowFrame(&r);
    second.FlushLog();
    const QByteArray log = readLog();
    QVERIFY(log.startsWith("Korvane Bus Traffic File \n"));
    QCOMPARE(log.count("Korvane Bus Traffic File"), 1);
    QCOMPARE(log.size(), HeaderSize + expectedRow(r, 1).size());
    QVERIFY(log.endsWith(expectedRow(r, 1)));
}

void TrafficLogTest::openFailureLeavesViewWorking()
{
    // A directory in the log's place makes the open fail even for root.
    QVERIFY(QDir().mkdir(LogName));

    QWidget host;
    Display display;
    display.SetView(&host, 10, 270);
    QTextEdit* view = host.findChild<QTextEdit*>();
    QVERIFY(view);

    QStringList lines;
    for (int n = 1; n <= 9; ++n) {
        TYPE_Data r = numbered(n);
        display.ShowFrame(&r);
        lines << expectedLine(r, n);
    }
    display.FlushLog();
    QTRY_COMPARE(view->toPlainText(), lines.mid(2).join(QLatin1Char('\n')));

    display.ClearView();
    TYPE_Data r = numbered(10);
    display.ShowFrame(&r);
    QTRY_VERIFY(view->toPlainText().startsWith(expectedLine(r, 1)));

    QVERIFY(QFileInfo(LogName).isDir());
    QVERIFY(QDir(LogName).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot));
    QCOMPARE(QDir().entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
             QStringList{LogName});
}

void TrafficLogTest::secondInstanceLeavesLogAlone()
{
    Display first;
    QByteArray expected = readLog();
    for (int n = 1; n <= 4; ++n) {
        TYPE_Data r = numbered(n);
        first.ShowFrame(&r);
        expected += expectedRow(r, n);
    }
    first.FlushLog();
    QCOMPARE(readLog(), expected);

    {
        QWidget host;
        Display second;
        second.SetView(&host, 10, 270);
        QCOMPARE(readLog(), expected);
        TYPE_Data r = numbered(99);
        second.ShowFrame(&r);
        second.FlushLog();
        QTRY_VERIFY(host.findChild<QTextEdit*>()->toPlainText().startsWith(expectedLine(r, 1)));
        QCOMPARE(readLog(), expected);
    }
    QCOMPARE(readLog(), expected);

    // The running instance keeps its log, lock and position.
    TYPE_Data r = numbered(5);
    first.ShowFrame(&r);
    expected += expectedRow(r, 5);
    first.FlushLog();
    QCOMPARE(readLog(), expected);
}

void TrafficLogTest::killedToolKeepsFlushedRows()
{
    const int ticks = 4;
    const int perTick = 5;
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--log-child"), work->path(), QString::number(ticks), QString::number(perTick)});
    QVERIFY2(child.waitForStarted(), qPrintable(child.errorString()));

    QByteArray out;
    QVERIFY(QTest::qWaitFor([&] {
        child.waitForReadyRead(100);
        out += child.readAllStandardOutput();
        return out.contains("ready\n") || child.state() == QProcess::NotRunning;
    }, 30000));
    QVERIFY2(out.contains("ready\n"), out.constData());

#ifdef Q_OS_UNIX
    QCOMPARE(::kill(static_cast<pid_t>(child.processId()), SIGKILL), 0);
#else
    child.kill();
#endif
    QVERIFY(child.waitForFinished(30000));
    QCOMPARE(child.exitStatus(), QProcess::CrashExit);

    QByteArray flushed;
    for (int n = 1; n <= ticks * perTick; ++n)
        flushed += expectedRow(numbered(n), n);
    QByteArray pending;
    for (int n = ticks * perTick + 1; n <= ticks * perTick + 3; ++n)
        pending += expectedRow(numbered(n), n);

    const QByteArray log = readLog();
    QVERIFY(log.size() >= HeaderSize);
    QVERIFY(log.startsWith("Korvane Bus Traffic File \n"));
    QCOMPARE(log.mid(HeaderSize, flushed.size()), flushed);
    // Rows of the unfinished tick may or may not have made it, but never torn
    // into something else.
    QVERIFY(pending.startsWith(log.mid(HeaderSize + flushed.size())));
}

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--log-child") == 0)
        return runLogChild(argc, argv);
    QApplication app(argc, argv);
    QTEST_SET_MAIN_SOURCE_PATH
    TrafficLogTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_trafficlog.moc"
