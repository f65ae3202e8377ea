// Private network and mount namespaces, and the device's listener inside one.
#include "testsupport.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fstream>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace TestSupport {

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

bool mountOr(const char* source, const char* target, const char* type, unsigned long flags, QString* why)
{
    if (::mount(source, target, type, flags, nullptr) == 0)
        return true;
    *why = errnoText(target);
    return false;
}

// Without CAP_SYS_ADMIN, a user namespace in which we are root grants the
// right to own the new namespace (and to mount in a mount namespace).
bool unshareAsRoot(int kind, const char* name, QString* why)
{
    if (::unshare(kind) == 0)
        return true;
    if (errno != EPERM) {
        *why = errnoText(name);
        return false;
    }
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    if (::unshare(CLONE_NEWUSER | kind) != 0) {
        *why = errnoText(name) + QStringLiteral(" with a user namespace");
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

bool setAddress(int s, const char* ifName, const char* address, QString* why,
                unsigned long request = SIOCSIFADDR, const char* what = "SIOCSIFADDR")
{
    struct ifreq ifr;
    std::memset(&ifr, 0, sizeof ifr);
    std::strncpy(ifr.ifr_name, ifName, IFNAMSIZ - 1);
    auto* in = reinterpret_cast<struct sockaddr_in*>(&ifr.ifr_addr);
    in->sin_family = AF_INET;
    ::inet_pton(AF_INET, address, &in->sin_addr);
    if (::ioctl(s, request, &ifr) != 0) {
        *why = errnoText(what);
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
    if (!unshareAsRoot(CLONE_NEWNET, "unshare(CLONE_NEWNET)", why)) {
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
    // Only the device's own address is routed: any other 192.168.1.x is
    // unreachable at once, never a silent drop on lo.
    if (ok)
        ok = setAddress(s, "lo:1", "255.255.255.255", why, SIOCSIFNETMASK, "SIOCSIFNETMASK");
    ::close(s);
    if (!ok)
        return false;
    if (!canBind("127.0.0.1") || !canBind(address.constData())) {
        *why = QStringLiteral("127.0.0.1 and %1 are not both usable on lo").arg(QLatin1String(address));
        return false;
    }
    return true;
}

bool enterPrivateMounts(QString* why)
{
    QString ignored;
    if (!why)
        why = &ignored;
    if (!unshareAsRoot(CLONE_NEWNS, "unshare(CLONE_NEWNS)", why))
        return false;
    // Nothing mounted from here on may show up outside.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        *why = errnoText("making / private");
        return false;
    }
    return true;
}

bool enterPrivateDevices(QString* why)
{
    QString ignored;
    if (!why)
        why = &ignored;
    if (!enterPrivateMounts(why)) {
        why->prepend(QStringLiteral("no private mount namespace: "));
        return false;
    }
    // The old /dev stays reachable under a scratch folder while the new one
    // borrows the few nodes tests need from it.
    char old[] = "/tmp/korvane-dev-XXXXXX";
    if (!::mkdtemp(old)) {
        *why = errnoText("mkdtemp");
        return false;
    }
    bool ok = mountOr("/dev", old, nullptr, MS_BIND | MS_REC, why) && mountOr("tmpfs", "/dev", "tmpfs", 0, why);
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
        && ::mkdir("/dev/serial/by-id", 0755) == 0 && ::mkdir("/dev/serial/by-path", 0755) == 0
        && mountOr("tmpfs", "/sys/class/tty", "tmpfs", 0, why) && mountOr("tmpfs", "/sys/dev/char", "tmpfs", 0, why);
    if (!ok && why->isEmpty())
        *why = errnoText("making the private /dev");
    return ok;
}

bool mountTmpfs(const QString& dir, qint64 bytes, bool readOnly, QString* why)
{
    const QByteArray options = "size=" + QByteArray::number(bytes) + ",mode=0755";
    unsigned long flags = MS_NOSUID | MS_NODEV;
    if (readOnly)
        flags |= MS_RDONLY;
    if (::mount("faults", QFile::encodeName(dir).constData(), "tmpfs", flags, options.constData()) != 0) {
        if (why)
            *why = errnoText("mount tmpfs");
        return false;
    }
    return true;
}

bool unmount(const QString& dir)
{
    return ::umount2(QFile::encodeName(dir).constData(), MNT_DETACH) == 0;
}

DeviceListener::DeviceListener(int host, int port, int backlog)
{
    listenOn("192.168.1." + QByteArray::number(host), port, backlog);
}

DeviceListener::DeviceListener(const QByteArray& address, int port, int backlog)
{
    listenOn(address, port, backlog);
}

int DeviceListener::port() const
{
    struct sockaddr_in a;
    socklen_t size = sizeof a;
    if (fd < 0 || ::getsockname(fd, reinterpret_cast<struct sockaddr*>(&a), &size) != 0)
        return -1;
    return ntohs(a.sin_port);
}

void DeviceListener::listenOn(const QByteArray& address, int port, int backlog)
{
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    struct sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
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

} // namespace TestSupport
