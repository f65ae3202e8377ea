// Faults of the traffic log, seen from the whole window receiving frames on
// a real pseudo-terminal: a directory it may not write, a disk that is full
// from the start (/dev/full behind the name), a small disk that fills up and
// gets room again, a file that another process holds, and a previous log
// that cannot be moved aside. The view must work on, nothing may crash, each
// fault is said (view, standard error, status bar), and once there is room
// again later rows are written whole.
//
// The read-only directory and the small disk are tmpfs mounts inside a mount
// namespace of this test's own; without one those cases skip.

#include "windowsupport.h"

#include <QApplication>
#include <QProcess>
#include <QTemporaryDir>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

using namespace TestSupport;
using TestSupport::PortsDir;
using TestSupport::Pty;

// Files on a file system without locks, while flockError is set: NFS
// without its lock daemon gives ENOLCK. Terminals lock as ever.
static int flockError = 0;
extern "C" int flock(int fd, int operation)
{
    struct stat st;
    if (flockError == 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return static_cast<int>(::syscall(SYS_flock, fd, operation));
    errno = flockError;
    return -1;
}

namespace {

const QString LogName = QStringLiteral("Korvane_data.csv");

QByteArray fileBytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The child of fileHeldByAnotherProcess: holds the log locked, as a running
// tool does, until its standard input closes.
int runHolder(int argc, char** argv)
{
    if (argc < 3)
        return 2;
    const int fd = ::open(argv[2], O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0)
        return 3;
    std::fputs("held\n", stdout);
    std::fflush(stdout);
    char c;
    while (::read(STDIN_FILENO, &c, 1) > 0) {
    }
    ::close(fd);
    return 0;
}

} // namespace

class LogFaultsTest : public QObject
{
    Q_OBJECT

public:
    LogFaultsTest(bool privateMounts, const QString& why) : mounts(privateMounts), whyNot(why) {}

private Q_SLOTS:
    void init();
    void cleanup();

    void unwritableDirectory();
    void fullDiskFromTheStart();
    void diskFillsUpThenHasRoomAgain();
    void fileHeldByAnotherProcess();
    void fileSystemWithoutLocks();
    void previousLogCannotBeKept();

private:
    void startWindowIn(const QString& dir);
    // Sends frames numbered first..first+count-1 in writes of at most 40
    // frames and waits for every answer.
    void sendFrames(quint32 first, int count);
    // The no-log or write-failure line is in the view and the status bar,
    // and its English counterpart said once on standard error.
    void checkSaid(const QString& said, TestSupport::OutputCapture& err, const char* console);

    bool mounts;
    QString whyNot;
    PortsDir* ports = nullptr;
    Pty* pty = nullptr;
    QTemporaryDir* work = nullptr;
    QString mounted;
    Korvane* window = nullptr;
    KorvaneProbe* probe = nullptr;
};

void LogFaultsTest::init()
{
    ports = new PortsDir;
    pty = new Pty;
    work = new QTemporaryDir;
    QVERIFY(ports->isValid() && pty->isValid() && work->isValid());
    QVERIFY(ports->link(QStringLiteral("COM1"), pty->slavePath()));
}

void LogFaultsTest::cleanup()
{
    delete probe;
    delete window;
    probe = nullptr;
    window = nullptr;
    QDir::setCurrent(QDir::tempPath());
    if (!mounted.isEmpty())
        TestSupport::unmount(mounted);
    mounted.clear();
    flockError = 0;
    delete work;
    delete pty;
    delete ports;
    work = nullptr;
    pty = nullptr;
    ports = nullptr;
}

void LogFaultsTest::startWindowIn(const QString& dir)
{
    QVERIFY(QDir::setCurrent(dir));
    window = new Korvane;
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    probe = new KorvaneProbe(*window);
    probe->ui().portBox->setValue(1);
    QTest::mouseClick(probe->ui().open, Qt::LeftButton);
    QVERIFY(probe->linkOpen());
}

void LogFaultsTest::sendFrames(quint32 first, int count)
{
    for (int done = 0; done < count;) {
        const int chunk = qMin(40, count - done);
        QByteArray bytes;
        for (int i = 0; i < chunk; ++i)
            bytes += TestSupport::numberedFrame(0x01, first + quint32(done + i));
        QVERIFY(pty->write(bytes));
        QCOMPARE(TestSupport::receiveFromTool(*pty, chunk), QByteArray(chunk, '\xFF'));
        done += chunk;
    }
    // The view shows the last of them.
    const QString last = QStringLiteral(" 2E 01 04 %1 ")
                             .arg(QString::fromLatin1(TestSupport::numberedFrame(0x01, first + quint32(count - 1))
                                                          .mid(3, 4)
                                                          .toHex(' ')
                                                          .toUpper()));
    QTRY_VERIFY2(viewText(*window).contains(last), qPrintable(last));
}

void LogFaultsTest::checkSaid(const QString& said, TestSupport::OutputCapture& err, const char* console)
{
    QTRY_COMPARE(statusText(*window, "logStatus"), said);
    QCOMPARE(err.text().count(console), 1);
}

void LogFaultsTest::unwritableDirectory()
{
    if (!mounts)
        QSKIP(qPrintable(QStringLiteral("no private mount namespace, so no read-only directory: ") + whyNot));
    // Read-only even for root, unlike a directory without write permission.
    const QString dir = work->filePath(QStringLiteral("readonly"));
    QVERIFY(QDir().mkdir(dir));
    QString why;
    QVERIFY2(TestSupport::mountTmpfs(dir, 64 * 1024, true, &why), qPrintable(why));
    mounted = dir;

    TestSupport::OutputCapture err(STDERR_FILENO);
    startWindowIn(dir);
    checkSaid(QStringLiteral("无日志: 无法写入 Korvane_data.csv (Read-only file system)"), err,
              "korvane: no traffic log: cannot write Korvane_data.csv: Read-only file system\n");
    QTRY_VERIFY(viewText(*window).contains(statusText(*window, "logStatus")));
    sendFrames(0, 30);
    QVERIFY(!QFileInfo::exists(LogName));
    QCOMPARE(QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System), QStringList());
    QVERIFY(probe->linkOpen());

    QTest::mouseClick(probe->ui().clearrx, Qt::LeftButton);
    sendFrames(30, 5);
    QTRY_VERIFY(viewText(*window).contains(QStringLiteral("[5]")));
}

void LogFaultsTest::fullDiskFromTheStart()
{
    // Every write to /dev/full fails with ENOSPC; it opens and locks fine.
    QVERIFY(QDir::setCurrent(work->path()));
    QVERIFY(QFile::link(QStringLiteral("/dev/full"), LogName));
    startWindowIn(work->path());

    // Far more rows than the file object can hold back (16 KiB).
    sendFrames(0, 800);
    QVERIFY(probe->linkOpen());
    QCOMPARE(QFileInfo(LogName).symLinkTarget(), QStringLiteral("/dev/full"));

    QTest::mouseClick(probe->ui().open, Qt::LeftButton);
    QVERIFY(!probe->linkOpen());
    delete probe;
    delete window; // closing the log fails its last flush, quietly
    probe = nullptr;
    window = nullptr;
    QCOMPARE(QFileInfo(LogName).symLinkTarget(), QStringLiteral("/dev/full"));
}

void LogFaultsTest::diskFillsUpThenHasRoomAgain()
{
    if (!mounts)
        QSKIP(qPrintable(QStringLiteral("no private mount namespace, so no small disk: ") + whyNot));
    const QString dir = work->filePath(QStringLiteral("disk"));
    QVERIFY(QDir().mkdir(dir));
    QString why;
    QVERIFY2(TestSupport::mountTmpfs(dir, 64 * 1024, false, &why), qPrintable(why));
    mounted = dir;
    TestSupport::OutputCapture err(STDERR_FILENO);
    startWindowIn(dir);
    QCOMPARE(statusText(*window, "logStatus"), QStringLiteral("日志: Korvane_data.csv"));

    // Rows while there is room.
    constexpr int before = 20;
    sendFrames(0, before);
    QTRY_COMPARE(TestSupport::readLog().rows.size(), before);

    // Fill the disk to the last byte.
    const QByteArray fillerPath = QFile::encodeName(dir + QStringLiteral("/filler"));
    const int filler = ::open(fillerPath.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    QVERIFY(filler >= 0);
    const QByteArray block(4096, 'x');
    int lastError = 0;
    for (qsizetype size = block.size(); size > 0; size /= 2) {
        while (::write(filler, block.constData(), size_t(size)) == size) {
        }
        lastError = errno;
    }
    ::close(filler);
    QCOMPARE(lastError, ENOSPC);

    // Frames while the disk is full: the view goes on. More rows than the
    // file object can hold back (16 KiB) and more than the log's last page
    // takes.
    constexpr int whileFull = 800;
    sendFrames(before, whileFull);
    QVERIFY(probe->linkOpen());
    checkSaid(QStringLiteral("日志写入失败: 磁盘已满"), err,
              "korvane: writing the traffic log Korvane_data.csv failed: the disk is full; rows are dropped until it can be written again\n");
    const TestSupport::LogContents full = TestSupport::readLog();

    // Room again, and more frames.
    QVERIFY(QFile::remove(QString::fromLocal8Bit(fillerPath)));
    constexpr int after = 20;
    const quint32 firstAfter = before + whileFull;
    sendFrames(firstAfter, after);
    QTRY_VERIFY(!TestSupport::readLog().rows.isEmpty() && TestSupport::readLog().rows.last().sequence() == firstAfter + after - 1);
    QCOMPARE(statusText(*window, "logStatus"), QStringLiteral("日志: Korvane_data.csv"));
    QCOMPARE(err.text().count("korvane: the traffic log Korvane_data.csv is written again\n"), 1);
    QCOMPARE(err.text().count("korvane: writing the session record Korvane_data.pcapng failed: "), 1);

    // The tool ends normally.
    QTest::mouseClick(probe->ui().open, Qt::LeftButton);
    delete probe;
    delete window;
    probe = nullptr;
    window = nullptr;

    const TestSupport::LogContents log = TestSupport::readLog();
    const QList<qint64> seqs = TestSupport::sequences(log.rows);
    qInfo("disk full: %d rows on disk while full (%s), %d rows at the end of %d frames; rows lost: %d",
          int(full.rows.size()), full.endsMidLine ? "the last one torn" : "none torn", int(log.rows.size()),
          before + whileFull + after, int(before + whileFull + after - log.rows.size()));
    QVERIFY(log.headerFirst);
    QCOMPARE(log.headers, 1);
    // No torn or mixed-up row anywhere, and none at the end.
    QVERIFY2(log.junk.isEmpty(), log.junk.value(0).constData());
    QVERIFY(!log.endsMidLine);
    // In order, each frame at most once; the rows written before the disk
    // filled and every row after it had room again are all there.
    for (qsizetype i = 1; i < seqs.size(); ++i)
        QVERIFY2(seqs[i] > seqs[i - 1], qPrintable(QStringLiteral("row %1").arg(i)));
    QVERIFY(TestSupport::contiguous(log.rows.mid(0, before), 0));
    QVERIFY(TestSupport::contiguous(log.rows.mid(log.rows.size() - after), firstAfter));
    // The row indices follow the frames they belong to: [1] is the status
    // line of the open, and the two lines that said the disk was full (the
    // log's, and the session record's, which ends there) count from where
    // they were shown.
    qint64 shift = 0;
    for (const TestSupport::LogRow& r : log.rows) {
        const qint64 offset = r.index - r.sequence() - 2;
        QVERIFY2(offset >= shift && offset <= shift + 2, qPrintable(QString::number(r.sequence())));
        shift = offset;
    }
    QCOMPARE(shift, 2);
}

void LogFaultsTest::fileHeldByAnotherProcess()
{
    QVERIFY(QDir::setCurrent(work->path()));
    const QByteArray earlier = "Korvane Bus Traffic File \nfrom another run, held by another process\n";
    {
        QFile f(LogName);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QCOMPARE(f.write(earlier), qint64(earlier.size()));
    }
    QProcess holder;
    holder.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    holder.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--hold-log"), work->filePath(LogName)});
    QVERIFY(holder.waitForStarted());
    QVERIFY(QTest::qWaitFor([&] {
        holder.waitForReadyRead(50);
        return holder.canReadLine();
    }, 10000));
    QCOMPARE(holder.readLine(), QByteArray("held\n"));

    TestSupport::OutputCapture err(STDERR_FILENO);
    startWindowIn(work->path());
    checkSaid(QStringLiteral("无日志: 另一个 Korvane 正在此文件夹写日志"), err,
              "korvane: no traffic log: another Korvane is writing Korvane_data.csv in this folder\n");
    sendFrames(0, 50);
    QCOMPARE(fileBytes(LogName), earlier);
    QTest::mouseClick(probe->ui().open, Qt::LeftButton);
    delete probe;
    delete window;
    probe = nullptr;
    window = nullptr;
    QCOMPARE(fileBytes(LogName), earlier);

    holder.closeWriteChannel();
    QVERIFY(holder.waitForFinished(10000));
    QCOMPARE(holder.exitCode(), 0);
    QCOMPARE(fileBytes(LogName), earlier);
}

// Only a lock held elsewhere means a second instance: without locks at all
// the log is written as usual, and the reason said once.
void LogFaultsTest::fileSystemWithoutLocks()
{
    QVERIFY(QDir::setCurrent(work->path()));
    {
        QFile f(LogName);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(QByteArray(4096, 'x')) == 4096);
    }
    TestSupport::OutputCapture err(STDERR_FILENO);
    flockError = ENOLCK;
    startWindowIn(work->path());
    sendFrames(0, 5);
    QTRY_COMPARE(TestSupport::readLog().rows.size(), 5);
    const TestSupport::LogContents log = TestSupport::readLog();
    QVERIFY(log.headerFirst && log.junk.isEmpty() && TestSupport::contiguous(log.rows, 0));
    QCOMPARE(err.text().count("cannot be locked"), 1);
}

// A previous log that cannot be moved aside (here a mount point, which no
// rename moves) is left as it is, and the run goes on without a log.
void LogFaultsTest::previousLogCannotBeKept()
{
    if (!mounts)
        QSKIP(qPrintable(QStringLiteral("no private mount namespace, so no file that cannot be moved: ") + whyNot));
    QVERIFY(QDir::setCurrent(work->path()));
    const QByteArray earlier = "Korvane Bus Traffic File \nNew Data ,2026-01-02 \nnew Time ,03:04:05,\n\n\n\nrows\n";
    {
        QFile f(LogName);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(earlier) == earlier.size());
    }
    const QByteArray path = QFile::encodeName(work->filePath(LogName));
    QCOMPARE(::mount(path.constData(), path.constData(), nullptr, MS_BIND, nullptr), 0);
    mounted = work->filePath(LogName);

    TestSupport::OutputCapture err(STDERR_FILENO);
    startWindowIn(work->path());
    checkSaid(QStringLiteral("无日志: 上次的日志无法另存 (Device or resource busy), 原文件未改动"), err,
              "korvane: no traffic log: the previous log Korvane_data.csv could not be kept aside (Device or resource busy); it is left as it is\n");
    sendFrames(0, 5);
    QCOMPARE(fileBytes(LogName), earlier);
    QCOMPARE(QDir().entryList(QDir::Files), QStringList{LogName});
}

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--hold-log") == 0)
        return runHolder(argc, argv);
    return TestSupport::execIsolated<QApplication, LogFaultsTest>(argc, argv, TestSupport::enterPrivateMounts);
}

#include "tst_logfaults.moc"
