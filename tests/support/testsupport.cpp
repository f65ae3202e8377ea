// Descriptors with deadlines, the ports folder, process figures and captured
// console output.
#include "testsupport.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QTest>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace TestSupport {

// ---- descriptors ---------------------------------------------------------------

namespace {

// Waits for events on fd until they come or the deadline passes; 0 on timeout.
int pollFor(int fd, short events, const QDeadlineTimer& deadline)
{
    for (;;) {
        struct pollfd p = {fd, events, 0};
        const qint64 left = deadline.remainingTime();
        const int r = ::poll(&p, 1, left < 0 ? -1 : static_cast<int>(qMin<qint64>(left, 1000000)));
        if (r < 0 && errno == EINTR)
            continue;
        return r > 0 ? p.revents : 0;
    }
}

void setNonBlocking(int fd)
{
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

} // namespace

Stream::Stream(int fd)
    : m_fd(fd)
{
    if (m_fd >= 0)
        setNonBlocking(m_fd);
}

Stream::~Stream()
{
    close();
}

void Stream::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool Stream::openTerminal(const QString& path)
{
    close();
    m_fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0)
        return false;
    termios tio{};
    if (::tcgetattr(m_fd, &tio) != 0)
        return false;
    ::cfmakeraw(&tio);
    // TCSANOW: what the far end has written already must stay readable.
    return ::tcsetattr(m_fd, TCSANOW, &tio) == 0;
}

bool Stream::connectLoopback(quint16 port)
{
    close();
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0)
        return false;
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(port);
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(m_fd, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0) {
        close();
        return false;
    }
    setNonBlocking(m_fd);
    return true;
}

bool Stream::write(const QByteArray& bytes, int timeoutMs)
{
    if (m_fd < 0)
        return false;
    const QDeadlineTimer deadline(timeoutMs);
    qsizetype done = 0;
    while (done < bytes.size()) {
        const char* from = bytes.constData() + done;
        const auto size = static_cast<size_t>(bytes.size() - done);
        // A socket whose peer has gone must fail the write, not raise SIGPIPE.
        ssize_t r = ::send(m_fd, from, size, MSG_NOSIGNAL);
        if (r < 0 && errno == ENOTSOCK)
            r = ::write(m_fd, from, size);
        if (r > 0) {
            done += r;
            continue;
        }
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 && errno != EAGAIN)
            return false;
        if (deadline.hasExpired() || !(pollFor(m_fd, POLLOUT, deadline) & POLLOUT))
            return false;
    }
    return true;
}

QByteArray Stream::read(int count, int timeoutMs, int chunk)
{
    QByteArray got;
    if (m_fd < 0)
        return got;
    const QDeadlineTimer deadline(timeoutMs);
    std::vector<char> buffer(static_cast<std::size_t>(chunk));
    while (got.size() < count) {
        const ssize_t r = ::read(m_fd, buffer.data(), static_cast<size_t>(qMin<qsizetype>(chunk, count - got.size())));
        if (r > 0) {
            got.append(buffer.data(), r);
            continue;
        }
        if (r < 0 && errno == EINTR)
            continue;
        if (r == 0 || errno != EAGAIN)
            break; // nothing left at the far end to send anything
        if (deadline.hasExpired() || !(pollFor(m_fd, POLLIN, deadline) & POLLIN))
            break;
    }
    return got;
}

QByteArray Stream::readAvailable()
{
    QByteArray out;
    char buffer[4096];
    for (;;) {
        const ssize_t r = m_fd < 0 ? -1 : ::read(m_fd, buffer, sizeof buffer);
        if (r > 0)
            out.append(buffer, r);
        else if (!(r < 0 && errno == EINTR))
            break;
    }
    return out;
}

int Stream::waitEnd(int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    char buffer[4096];
    while (!deadline.hasExpired()) {
        pollFor(m_fd, POLLIN, QDeadlineTimer(qMin<qint64>(100, deadline.remainingTime())));
        const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
        if (n == 0)
            return 0;
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return errno;
    }
    return -1;
}

Pty::Pty()
{
    m_fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0)
        return;
    char name[128];
    struct termios t;
    if (::grantpt(m_fd) != 0 || ::unlockpt(m_fd) != 0 || ::ptsname_r(m_fd, name, sizeof name) != 0
        || ::tcgetattr(m_fd, &t) != 0) {
        close();
        return;
    }
    // On the master, the termios calls reach the slave side of the line.
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    if (::tcsetattr(m_fd, TCSANOW, &t) != 0) {
        close();
        return;
    }
    slave = QString::fromLocal8Bit(name);
}

int fifoReader(const QString& path)
{
    const QByteArray name = QFile::encodeName(path);
    return ::mkfifo(name.constData(), 0600) == 0 ? ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1;
}

QByteArray receiveFromTool(Stream& device, int n, int timeoutMs)
{
    QByteArray got;
    (void)QTest::qWaitFor([&] {
        got += device.readAvailable();
        return got.size() >= n;
    }, timeoutMs);
    return got;
}

// ---- the ports folder -----------------------------------------------------------

PortsDir::PortsDir()
{
    hadOldValue = qEnvironmentVariableIsSet("XDG_CONFIG_HOME");
    oldValue = qgetenv("XDG_CONFIG_HOME");
    if (dir.isValid()) {
        QDir(dir.path()).mkpath(QStringLiteral("korvane/ports"));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.path()));
    }
}

PortsDir::~PortsDir()
{
    if (hadOldValue)
        qputenv("XDG_CONFIG_HOME", oldValue);
    else
        qunsetenv("XDG_CONFIG_HOME");
}

bool PortsDir::isValid() const
{
    return dir.isValid() && QDir(portsPath()).exists();
}

QString PortsDir::portsPath() const
{
    return dir.path() + QStringLiteral("/korvane/ports");
}

bool PortsDir::link(const QString& comName, const QString& target)
{
    // QFile::remove takes the link itself away, never its target.
    const QString path = portsPath() + QLatin1Char('/') + comName;
    QFile::remove(path);
    return QFile::link(target, path);
}

// ---- process figures ------------------------------------------------------------------

namespace {

// Entries of a /proc/.../fd folder, but for the one the listing holds itself.
int countDescriptors(const QByteArray& path, bool own)
{
    DIR* d = ::opendir(path.constData());
    if (!d)
        return -1;
    const int listing = own ? ::dirfd(d) : -1;
    int count = 0;
    while (struct dirent* entry = ::readdir(d)) {
        if (entry->d_name[0] != '.' && std::atoi(entry->d_name) != listing)
            ++count;
    }
    ::closedir(d);
    return count;
}

} // namespace

int openDescriptorCount()
{
    return countDescriptors("/proc/self/fd", true);
}

int descriptorsOn(const QString& path)
{
    int count = 0;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString& fd : fds.entryList(QDir::System | QDir::NoDotAndDotDot)) {
        const QString target = QFile::symLinkTarget(fds.filePath(fd));
        if (target == path || target == path + QStringLiteral(" (deleted)"))
            ++count;
    }
    return count;
}

int descriptorCountOf(qint64 pid)
{
    return countDescriptors(QByteArray("/proc/") + QByteArray::number(pid) + "/fd", false);
}

qint64 residentBytes(qint64 pid)
{
    const QString path = pid > 0 ? QStringLiteral("/proc/%1/statm").arg(pid) : QStringLiteral("/proc/self/statm");
    QFile statm(path);
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().simplified().split(' ');
    if (fields.size() < 2)
        return -1;
    bool ok = false;
    const qint64 pages = fields[1].toLongLong(&ok);
    return ok ? pages * ::sysconf(_SC_PAGESIZE) : -1;
}

qint64 peakResidentBytes(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:")) {
            bool ok = false;
            const qint64 kib = line.mid(6).simplified().split(' ').value(0).toLongLong(&ok);
            return ok ? kib * 1024 : -1;
        }
    }
    return -1;
}

qint64 heapInUse()
{
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 33))
    const struct mallinfo2 info = ::mallinfo2();
    const qint64 inUse = static_cast<qint64>(info.uordblks) + static_cast<qint64>(info.hblkhd);
    // A sanitizer's allocator leaves glibc's figures at nothing.
    return inUse > 0 ? inUse : -1;
#else
    return -1;
#endif
}

double processCpuSeconds()
{
    struct timespec t = {};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

QString growthOverCycles(const std::function<bool(int)>& cycles, int warmUp, int count, const char* what)
{
    if (!cycles(warmUp))
        return QStringLiteral("the warm-up cycles failed");
    const int descriptors = openDescriptorCount();
    const qint64 resident = residentBytes();
    const qint64 heap = heapInUse();
    if (descriptors <= 0 || resident <= 0)
        return QStringLiteral("descriptors or resident size cannot be read");

    if (!cycles(count))
        return QStringLiteral("a cycle failed");
    const int descriptorsAfter = openDescriptorCount();
    const qint64 residentGrowth = residentBytes() - resident;
    const qint64 heapGrowth = heap > 0 ? heapInUse() - heap : 0;
    qInfo("%d %s cycles: descriptors %d -> %d, resident %+lld bytes, heap in use %+lld bytes", count, what,
          descriptors, descriptorsAfter, residentGrowth, heapGrowth);
    if (descriptorsAfter != descriptors)
        return QStringLiteral("descriptors %1 -> %2").arg(descriptors).arg(descriptorsAfter);
    // A leak of even 64 bytes a cycle shows in the heap; resident size is coarser.
    if (heapGrowth >= 64 * qint64(count))
        return QStringLiteral("heap grew by %1 bytes").arg(heapGrowth);
    if (!residentSizeTellsLeaks())
        qInfo("resident size not checked under AddressSanitizer; its leak checker runs at exit");
    else if (residentGrowth >= 1024 * 1024)
        return QStringLiteral("resident size grew by %1 bytes").arg(residentGrowth);
    return QString();
}

// ---- console output ---------------------------------------------------------------------

OutputCapture::OutputCapture(int fd)
    : target(fd)
{
    if (!file.open())
        return;
    std::fflush(nullptr);
    saved = ::fcntl(target, F_DUPFD_CLOEXEC, 3);
    ::dup2(file.handle(), target);
}

OutputCapture::~OutputCapture()
{
    if (saved < 0)
        return;
    const QByteArray captured = text();
    ::dup2(saved, target);
    ::close(saved);
    // Hand on what others printed meanwhile (a test failure, for one); only
    // the tool's per-tick line is left out.
    for (const QByteArray& line : captured.split('\n')) {
        if (!line.isEmpty() && line != "Korvane::TimerRead_IRQ no data")
            ::dprintf(target, "%s\n", line.constData());
    }
}

QByteArray OutputCapture::text()
{
    std::fflush(nullptr);
    QFile reader(file.fileName());
    if (!reader.open(QIODevice::ReadOnly))
        return QByteArray();
    return reader.readAll();
}

} // namespace TestSupport
