// Hosts the real window for the live benchmark, in a process of its own so
// that its CPU time and memory are the tool's alone. The driver starts it in
// a run directory (the traffic log lands there) with $XDG_CONFIG_HOME
// pointing at the simulator's ports, and talks to it line by line:
//
//   host -> "ready"                      window shown, portBox set to n
//   "history" -> opens the history window on the session (Ctrl+H), following,
//              "history open"
//   "open"  -> clicks `open`, "opened rss=R fds=F"
//   "mark"  -> "unread=N": bytes the port holds unread now
//   "stop"  -> "result cpu=S wall=S rss0=B rss1=B rss10s=B unread=N backlog_max=N
//              backlog_last=N fds_before=F fds_after=F fds_gone=.. fds_new=.." after
//              closing the link (gone/new: descriptors that differ, n:target)
//              with a second click, then "backlog_series B,B,.." (the 1 s
//              samples) and exits
//
//   korvane-bench-host COMn_NUMBER
//
// While the link is open it looks once a second at the bytes the port holds
// unread (one ioctl) and at its own resident memory; nothing else of the
// measurement runs in this process.

#include "display.h"
#include "korvane.h"
#include "korvaneprobe.h"
#include "testsupport.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QSocketNotifier>
#include <QTest>
#include <QTimer>

#include <cstdio>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// The descriptor this process holds on the pseudo-terminal that COMn names.
int serialDescriptor(int port)
{
    const QString link = QDir(qEnvironmentVariable("XDG_CONFIG_HOME"))
                             .filePath(QStringLiteral("korvane/ports/COM%1").arg(port));
    const QString target = QFileInfo(link).canonicalFilePath();
    if (target.isEmpty())
        return -1;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    const QStringList names = fds.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);
    for (const QString& name : names) {
        if (QFileInfo(fds.filePath(name)).symLinkTarget() == target)
            return name.toInt();
    }
    return -1;
}

// What each open descriptor refers to, by number.
QMap<int, QString> descriptorTargets()
{
    QMap<int, QString> out;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    const QStringList names = fds.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);
    for (const QString& name : names) {
        const QString target = QFileInfo(fds.filePath(name)).symLinkTarget();
        if (!target.isEmpty())
            out.insert(name.toInt(), QFileInfo(target).fileName());
        else
            out.insert(name.toInt(), QFile::decodeName(QFile::encodeName(fds.filePath(name))));
    }
    return out;
}

// Descriptors other than event-loop wake-ups: every thread that runs a Qt
// event dispatcher holds an eventfd of its own, and the toolkit's worker
// threads come and go with theirs.
int fileDescriptors(const QMap<int, QString>& targets)
{
    int n = 0;
    for (const QString& t : targets) {
        if (!t.contains(QLatin1String("eventfd")))
            ++n;
    }
    return n;
}

int threadCount()
{
    return static_cast<int>(QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}

// "n:target" for the descriptors in a but not in b.
QString descriptorsMissingFrom(const QMap<int, QString>& a, const QMap<int, QString>& b)
{
    QStringList out;
    for (auto it = a.cbegin(); it != a.cend(); ++it) {
        if (b.value(it.key()) != it.value())
            out << QStringLiteral("%1:%2").arg(it.key()).arg(it.value());
    }
    return out.isEmpty() ? QStringLiteral("-") : out.join(QLatin1Char(','));
}

int unreadBytes(int fd)
{
    int n = -1;
    if (fd < 0 || ::ioctl(fd, FIONREAD, &n) != 0)
        return -1;
    return n;
}

void say(const QString& line)
{
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: korvane-bench-host PORT_NUMBER\n");
        return 2;
    }
    const int port = QByteArray(argv[1]).toInt();

    Korvane window;
    window.show();
    if (!QTest::qWaitForWindowExposed(&window)) {
        std::fprintf(stderr, "window not exposed\n");
        return 1;
    }
    KorvaneProbe probe(window);
    probe.ui().portBox->setValue(port);

    double cpu0 = 0;
    QElapsedTimer wall;
    long long rss0 = 0;
    long long rss10 = -1;
    int fdsBefore = 0;
    QMap<int, QString> targetsBefore;
    int threadsBefore = 0;
    int serialFd = -1;
    int backlogMax = 0;
    int backlogLast = 0;
    QStringList backlogSeries;
    QTimer sampler;
    sampler.setInterval(1000);
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        const int unread = unreadBytes(serialFd);
        backlogLast = unread;
        backlogSeries << QString::number(unread);
        if (unread > backlogMax)
            backlogMax = unread;
        if (rss10 < 0 && wall.elapsed() >= 10000)
            rss10 = TestSupport::residentBytes();
    });

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QByteArray pending;
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buf[256];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) {
            app.quit();
            return;
        }
        pending.append(buf, static_cast<int>(n));
        for (qsizetype eol = pending.indexOf('\n'); eol >= 0; eol = pending.indexOf('\n')) {
            const QByteArray command = pending.left(eol).trimmed();
            pending.remove(0, eol + 1);
            if (command == "history") {
                window.openHistory();
                say(QStringLiteral("history open"));
            } else if (command == "open") {
                fdsBefore = TestSupport::openDescriptorCount();
                targetsBefore = descriptorTargets();
                threadsBefore = threadCount();
                rss0 = TestSupport::residentBytes();
                cpu0 = TestSupport::processCpuSeconds();
                wall.start();
                QTest::mouseClick(probe.ui().open, Qt::LeftButton);
                serialFd = serialDescriptor(port);
                sampler.start();
                say(QStringLiteral("opened rss=%1 fds=%2 serial_fd=%3").arg(rss0).arg(fdsBefore).arg(serialFd));
            } else if (command == "mark") {
                say(QStringLiteral("unread=%1").arg(unreadBytes(serialFd)));
            } else if (command == "stop") {
                const double cpu = TestSupport::processCpuSeconds() - cpu0;
                const double seconds = wall.nsecsElapsed() * 1e-9;
                const long long rss1 = TestSupport::residentBytes();
                const int unread = unreadBytes(serialFd);
                sampler.stop();
                QTest::mouseClick(probe.ui().open, Qt::LeftButton); // closes the link
                QApplication::processEvents();
                const int fdsAfter = TestSupport::openDescriptorCount();
                const QMap<int, QString> targetsAfter = descriptorTargets();
                say(QStringLiteral("result cpu=%1 wall=%2 rss0=%3 rss1=%4 rss10s=%5 unread=%6 backlog_max=%7 "
                                   "backlog_last=%8 fds_before=%9 fds_after=%10 fds_gone=%11 fds_new=%12 "
                                   "files_before=%13 files_after=%14 threads_before=%15 threads_after=%16")
                        .arg(cpu, 0, 'f', 6)
                        .arg(seconds, 0, 'f', 6)
                        .arg(rss0)
                        .arg(rss1)
                        .arg(rss10)
                        .arg(unread)
                        .arg(backlogMax)
                        .arg(backlogLast)
                        .arg(fdsBefore)
                        .arg(fdsAfter)
                        .arg(descriptorsMissingFrom(targetsBefore, targetsAfter),
                             descriptorsMissingFrom(targetsAfter, targetsBefore))
                        .arg(fileDescriptors(targetsBefore))
                        .arg(fileDescriptors(targetsAfter))
                        .arg(threadsBefore)
                        .arg(threadCount()));
                say(QStringLiteral("backlog_series %1").arg(backlogSeries.join(QLatin1Char(','))));
                app.quit();
            }
        }
    });

    say(QStringLiteral("ready"));
    return app.exec();
}
