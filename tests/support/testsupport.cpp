#include "testsupport.h"

#include <QDir>
#include <QFile>

#ifndef _WIN32
#include <QDeadlineTimer>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace TestSupport {

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

#ifndef _WIN32

namespace {

int pollFor(int fd, short events, const QDeadlineTimer& deadline)
{
    for (;;) {
        struct pollfd p = {fd, events, 0};
        qint64 left = deadline.remainingTime();
        int r = ::poll(&p, 1, left < 0 ? -1 : static_cast<int>(qMin<qint64>(left, 1000000)));
        if (r < 0 && errno == EINTR)
            continue;
        return r > 0 ? p.revents : 0;
    }
}

} // namespace

Pty::Pty()
{
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master < 0)
        return;
    char name[128];
    struct termios t;
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0 || ::ptsname_r(master, name, sizeof name) != 0
        || ::tcgetattr(master, &t) != 0) {
        hangUp();
        return;
    }
    // On the master, the termios calls reach the slave side of the line.
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    if (::tcsetattr(master, TCSANOW, &t) != 0) {
        hangUp();
        return;
    }
    slave = QString::fromLocal8Bit(name);
}

Pty::~Pty()
{
    hangUp();
}

bool Pty::isValid() const
{
    return master >= 0;
}

int Pty::masterFd() const
{
    return master;
}

QString Pty::slavePath() const
{
    return slave;
}

bool Pty::write(const QByteArray& bytes)
{
    if (master < 0)
        return false;
    const QDeadlineTimer deadline(5000);
    qsizetype done = 0;
    while (done < bytes.size()) {
        ssize_t r = ::write(master, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (r > 0) {
            done += r;
            continue;
        }
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 && errno != EAGAIN)
            return false;
        if (deadline.hasExpired() || !(pollFor(master, POLLOUT, deadline) & POLLOUT))
            return false;
    }
    return true;
}

QByteArray Pty::readExactly(int n, int timeoutMs)
{
    QByteArray out;
    if (master < 0 || n <= 0)
        return out;
    const QDeadlineTimer deadline(timeoutMs);
    char buffer[4096];
    while (out.size() < n) {
        ssize_t r = ::read(master, buffer, static_cast<size_t>(qMin<qsizetype>(n - out.size(), sizeof buffer)));
        if (r > 0) {
            out.append(buffer, r);
            continue;
        }
        if (r < 0 && errno == EINTR)
            continue;
        if (r == 0 || errno != EAGAIN)
            break; // no slave left to send anything
        if (deadline.hasExpired() || !(pollFor(master, POLLIN, deadline) & POLLIN))
            break;
    }
    return out;
}

QByteArray Pty::readAvailable()
{
    QByteArray out;
    if (master < 0)
        return out;
    char buffer[4096];
    for (;;) {
        ssize_t r = ::read(master, buffer, sizeof buffer);
        if (r > 0)
            out.append(buffer, r);
        else if (!(r < 0 && errno == EINTR))
            break;
    }
    return out;
}

void Pty::hangUp()
{
    if (master >= 0)
        ::close(master);
    master = -1;
}

OutputCapture::OutputCapture(int fd) : target(fd)
{
    if (!file.open())
        return;
    std::fflush(nullptr);
    saved = ::dup(target);
    ::dup2(file.handle(), target);
}

OutputCapture::~OutputCapture()
{
    if (saved < 0)
        return;
    std::fflush(nullptr);
    ::dup2(saved, target);
    ::close(saved);
}

QByteArray OutputCapture::text()
{
    std::fflush(nullptr);
    QFile reader(file.fileName());
    return reader.open(QIODevice::ReadOnly) ? reader.readAll() : QByteArray();
}

int openDescriptorCount()
{
    DIR* d = ::opendir("/proc/self/fd");
    if (!d)
        return -1;
    const int own = ::dirfd(d);
    int count = 0;
    while (struct dirent* entry = ::readdir(d)) {
        if (entry->d_name[0] == '.')
            continue;
        if (std::atoi(entry->d_name) != own)
            ++count;
    }
    ::closedir(d);
    return count;
}

namespace {

QString errnoText(const char* what)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromLocal8Bit(std::strerror(errno)));
}

bool writeFile(const char* path, const QByteArray& text)
{
    std::ofstream out(path);
    out << text.constData();
    out.flush();
    return bool(out);
}

// Without CAP_SYS_ADMIN, a user namespace in which we are root grants the
// right to own the new namespaces.
bool unshareAsRoot(int flags, QString* why)
{
    if (::unshare(flags) == 0)
        return true;
    if (errno != EPERM) {
        *why = errnoText("unshare");
        return false;
    }
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    if (::unshare(CLONE_NEWUSER | flags) != 0) {
        *why = errnoText("unshare with a user namespace");
        return false;
    }
    if (!writeFile("/proc/self/setgroups", "deny")
        || !writeFile("/proc/self/uid_map", QByteArray("0 ") + QByteArray::number(uid) + " 1")
        || !writeFile("/proc/self/gid_map", QByteArray("0 ") + QByteArray::number(gid) + " 1")) {
        *why = QStringLiteral("cannot map ids into the new user namespace");
        return false;
    }
    return true;
}

bool mountOr(const char* source, const char* target, const char* type, unsigned long flags, QString* why)
{
    if (::mount(source, target, type, flags, nullptr) == 0)
        return true;
    *why = errnoText(target);
    return false;
}

bool setAddress(int s, const char* ifName, const char* address, QString* why)
{
    struct ifreq request;
    std::memset(&request, 0, sizeof request);
    std::strncpy(request.ifr_name, ifName, IFNAMSIZ - 1);
    auto* in = reinterpret_cast<struct sockaddr_in*>(&request.ifr_addr);
    in->sin_family = AF_INET;
    ::inet_pton(AF_INET, address, &in->sin_addr);
    if (::ioctl(s, SIOCSIFADDR, &request) != 0) {
        *why = errnoText("SIOCSIFADDR");
        return false;
    }
    return true;
}

bool canBind(const char* address)
{
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return false;
    struct sockaddr_in in;
    std::memset(&in, 0, sizeof in);
    in.sin_family = AF_INET;
    ::inet_pton(AF_INET, address, &in.sin_addr);
    const bool ok = ::bind(s, reinterpret_cast<struct sockaddr*>(&in), sizeof in) == 0;
    ::close(s);
    return ok;
}

} // namespace

bool enterPrivateNetwork(QString* why, int host)
{
    QString ignored;
    if (!why)
        why = &ignored;
    if (host < 1 || host > 254) {
        *why = QStringLiteral("host number %1 is outside 1..254").arg(host);
        return false;
    }
    if (!unshareAsRoot(CLONE_NEWNET, why)) {
        why->prepend(QStringLiteral("no private network namespace: "));
        return false;
    }

    struct if_nameindex* names = ::if_nameindex();
    if (!names) {
        *why = errnoText("if_nameindex");
        return false;
    }
    QStringList others;
    for (struct if_nameindex* n = names; n->if_index != 0; ++n) {
        if (std::strcmp(n->if_name, "lo") != 0)
            others << QString::fromLocal8Bit(n->if_name);
    }
    ::if_freenameindex(names);
    if (!others.isEmpty()) {
        *why = QStringLiteral("the new network namespace holds more than lo: %1").arg(others.join(QLatin1Char(' ')));
        return false;
    }

    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        *why = errnoText("socket");
        return false;
    }
    struct ifreq request;
    std::memset(&request, 0, sizeof request);
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ::ioctl(s, SIOCGIFFLAGS, &request) == 0;
    if (ok) {
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
        ok = ::ioctl(s, SIOCSIFFLAGS, &request) == 0;
    }
    if (!ok)
        *why = errnoText("bringing lo up");
    const QByteArray address = "192.168.1." + QByteArray::number(host);
    // Bringing lo up gives it 127.0.0.1; the device address goes on an alias.
    if (ok && !canBind("127.0.0.1"))
        ok = setAddress(s, "lo", "127.0.0.1", why);
    if (ok)
        ok = setAddress(s, "lo:1", address.constData(), why);
    ::close(s);
    if (!ok)
        return false;
    if (!canBind("127.0.0.1") || !canBind(address.constData())) {
        *why = QStringLiteral("127.0.0.1 and %1 are not both usable on lo").arg(QLatin1String(address));
        return false;
    }
    return true;
}

bool enterPrivateDevices(QString* why)
{
    QString ignored;
    if (!why)
        why = &ignored;
    if (!unshareAsRoot(CLONE_NEWNS, why)) {
        why->prepend(QStringLiteral("no private mount namespace: "));
        return false;
    }
    if (!mountOr(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, why))
        return false;
    // The old /dev stays reachable under a scratch folder while the new one
    // borrows the few nodes tests need from it.
    char old[] = "/tmp/korvane-dev-XXXXXX";
    if (!::mkdtemp(old)) {
        *why = errnoText("mkdtemp");
        return false;
    }
    bool ok = mountOr("/dev", old, nullptr, MS_BIND | MS_REC, why)
        && mountOr("tmpfs", "/dev", "tmpfs", 0, why);
    for (const char* node : {"null", "zero", "full", "random", "urandom", "tty"}) {
        const QByteArray from = QByteArray(old) + "/" + node;
        const QByteArray to = QByteArray("/dev/") + node;
        ok = ok && writeFile(to.constData(), {}) && mountOr(from.constData(), to.constData(), nullptr, MS_BIND, why);
    }
    // Pseudo-terminals of a devpts instance of our own.
    ok = ok && ::mkdir("/dev/pts", 0755) == 0 && ::mkdir("/dev/shm", 01777) == 0
        && ::mount("devpts", "/dev/pts", "devpts", 0, "newinstance,ptmxmode=0666,mode=0620") == 0
        && ::symlink("pts/ptmx", "/dev/ptmx") == 0 && mountOr("tmpfs", "/dev/shm", "tmpfs", 0, why);
    ok = ok && ::symlink("/proc/self/fd", "/dev/fd") == 0;
    ::umount2(old, MNT_DETACH);
    ::rmdir(old);
    ok = ok && ::mkdir("/dev/serial", 0755) == 0 && mountOr("tmpfs", "/dev/serial", "tmpfs", 0, why)
        && ::mkdir("/dev/serial/by-id", 0755) == 0 && mountOr("tmpfs", "/sys/class/tty", "tmpfs", 0, why);
    if (!ok && why->isEmpty())
        *why = errnoText("making the private /dev");
    return ok;
}

DeviceListener::DeviceListener(int host, int port, int backlog)
{
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    struct sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    const QByteArray address = "192.168.1." + QByteArray::number(host);
    ::inet_pton(AF_INET, address.constData(), &a.sin_addr);
    if (::bind(fd, reinterpret_cast<struct sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, backlog) != 0) {
        ::close(fd);
        fd = -1;
    }
}

DeviceListener::~DeviceListener()
{
    if (fd >= 0)
        ::close(fd);
}

int DeviceListener::accept(int timeoutMs, bool nonBlocking)
{
    struct pollfd p = {fd, POLLIN, 0};
    if (fd < 0 || ::poll(&p, 1, timeoutMs) != 1)
        return -1;
    return ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0));
}

#else // no pseudo-terminals, /proc or network namespaces here

Pty::Pty() = default;
Pty::~Pty() = default;
bool Pty::isValid() const { return false; }
int Pty::masterFd() const { return -1; }
QString Pty::slavePath() const { return slave; }
bool Pty::write(const QByteArray&) { return false; }
QByteArray Pty::readExactly(int, int) { return {}; }
QByteArray Pty::readAvailable() { return {}; }
void Pty::hangUp() {}

OutputCapture::OutputCapture(int fd) : target(fd) {}
OutputCapture::~OutputCapture() = default;
QByteArray OutputCapture::text() { return {}; }

int openDescriptorCount() { return -1; }

bool enterPrivateDevices(QString* why)
{
    if (why)
        *why = QStringLiteral("mount namespaces exist only on Linux");
    return false;
}

bool enterPrivateNetwork(QString* why, int)
{
    if (why)
        *why = QStringLiteral("network namespaces exist only on Linux");
    return false;
}

DeviceListener::DeviceListener(int, int, int) {}
DeviceListener::~DeviceListener() = default;
int DeviceListener::accept(int, bool)
{
    return -1;
}

#endif

} // namespace TestSupport
