// POSIX stand-ins for WinSock: start-up counting, sockets that only this layer
// made, a blocking connect that gives up where Windows does, FIONBIO and
// FIONREAD, and send/recv that report a gone peer as a result, not a signal.
#include "win32api_posix_internal.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace win {

using namespace posixlayer;

namespace {

int startups = 0;
int startupFailure = 0; // what WSAStartup gives instead of starting, 0: it starts
int connectTimeoutMs = 21000;

// Descriptors that socket() made; only these are ever used or closed.
std::vector<bool>& ownSockets()
{
    static std::vector<bool> own;
    return own;
}

int ownFd(SOCKET s)
{
    std::vector<bool>& own = ownSockets();
    if (s >= own.size() || !own[s]) {
        errno = EBADF;
        return -1;
    }
    return static_cast<int>(s);
}

int socketFlags(int flags)
{
    int out = 0;
    if (flags & 0x1)
        out |= MSG_OOB;
    if (flags & 0x2)
        out |= MSG_PEEK;
    return out;
}

} // namespace

int WSAStartup(WORD versionRequested, WSADATA* data)
{
    counted(FnWSAStartup);
    constexpr int wsaefault = 10014;
    constexpr int wsavernotsupported = 10092;
    if (!data)
        return wsaefault;
    if ((versionRequested & 0xFF) < 1)
        return wsavernotsupported;
    if (startupFailure != 0)
        return startupFailure;
    *data = WSADATA{};
    data->wVersion = std::min<WORD>(versionRequested, 0x0202);
    data->wHighVersion = 0x0202;
    std::strcpy(data->szDescription, "BSD sockets");
    std::strcpy(data->szSystemStatus, "Running");
    ++startups;
    return 0;
}

int WSACleanup()
{
    counted(FnWSACleanup);
    if (startups == 0)
        return SOCKET_ERROR;
    --startups;
    return 0;
}

SOCKET socket(int af, int type, int protocol)
{
    counted(FnSocket);
    if (af != kWinAfInet || type != kWinSockStream || (protocol != kWinIpprotoTcp && protocol != 0)) {
        errno = EAFNOSUPPORT;
        return INVALID_SOCKET;
    }
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0)
        return INVALID_SOCKET;
    std::vector<bool>& own = ownSockets();
    if (own.size() <= static_cast<std::size_t>(fd))
        own.resize(static_cast<std::size_t>(fd) + 1, false);
    own[static_cast<std::size_t>(fd)] = true;
    return static_cast<SOCKET>(fd);
}

unsigned long inet_addr(const char* text)
{
    counted(FnInetAddr);
    if (!text)
        return 0xFFFFFFFFul;
    return ::inet_addr(text);
}

u_short(htons)(u_short hostShort)
{
    counted(FnHtons);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return hostShort;
#else
    return static_cast<u_short>((hostShort << 8) | (hostShort >> 8));
#endif
}

int connect(SOCKET s, const sockaddr* name, int nameLength)
{
    counted(FnConnect);
    int fd = ownFd(s);
    if (fd < 0)
        return SOCKET_ERROR;
    if (!name || nameLength < static_cast<int>(sizeof(sockaddr_in))) {
        errno = EINVAL;
        return SOCKET_ERROR;
    }
    const auto* in = reinterpret_cast<const sockaddr_in*>(name);
    if (in->sin_family != kWinAfInet) {
        errno = EAFNOSUPPORT;
        return SOCKET_ERROR;
    }
    struct ::sockaddr_in to;
    std::memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = in->sin_port;
    to.sin_addr.s_addr = static_cast<in_addr_t>(in->sin_addr.s_addr);

    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0)
        return SOCKET_ERROR;
    if (flags & O_NONBLOCK) {
        // A non-blocking socket reports at once, as WinSock does.
        return ::connect(fd, reinterpret_cast<struct ::sockaddr*>(&to), sizeof to) == 0 ? 0 : SOCKET_ERROR;
    }

    // A blocking connect, but one that gives up where Windows does instead of
    // after Linux's two minutes of SYN retries.
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int error = 0;
    if (::connect(fd, reinterpret_cast<struct ::sockaddr*>(&to), sizeof to) != 0) {
        error = errno;
        if (error == EINPROGRESS || error == EINTR) {
            const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(connectTimeoutMs);
            error = ETIMEDOUT;
            for (;;) {
                Clock::time_point now = Clock::now();
                if (now >= deadline)
                    break;
                long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
                struct pollfd p = {fd, POLLOUT, 0};
                int r = ::poll(&p, 1, static_cast<int>(std::min<long long>(ms, INT_MAX)));
                if (r < 0 && errno == EINTR)
                    continue;
                if (r < 0) {
                    error = errno;
                    break;
                }
                if (r > 0) {
                    int soError = 0;
                    socklen_t length = sizeof soError;
                    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &length) != 0)
                        soError = errno;
                    error = soError;
                    break;
                }
            }
        }
    }
    ::fcntl(fd, F_SETFL, flags);
    if (error != 0) {
        errno = error;
        return SOCKET_ERROR;
    }
    return 0;
}

int ioctlsocket(SOCKET s, long command, u_long* argument)
{
    counted(FnIoctlsocket);
    int fd = ownFd(s);
    if (fd < 0)
        return SOCKET_ERROR;
    if (!argument) {
        errno = EFAULT;
        return SOCKET_ERROR;
    }
    if (command == kWinFionbio) {
        int flags = ::fcntl(fd, F_GETFL);
        if (flags < 0)
            return SOCKET_ERROR;
        flags = *argument ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
        return ::fcntl(fd, F_SETFL, flags) == 0 ? 0 : SOCKET_ERROR;
    }
    if (command == kWinFionread) {
        int waiting = 0;
        if (ioctlRetry(fd, FIONREAD, &waiting) != 0)
            return SOCKET_ERROR;
        *argument = static_cast<u_long>(waiting > 0 ? waiting : 0);
        return 0;
    }
    errno = EINVAL;
    return SOCKET_ERROR;
}

int send(SOCKET s, const char* buffer, int length, int flags)
{
    counted(FnSend);
    int fd = ownFd(s);
    if (fd < 0)
        return SOCKET_ERROR;
    if (length < 0 || (!buffer && length > 0)) {
        errno = EINVAL;
        return SOCKET_ERROR;
    }
    ssize_t r;
    do {
        // MSG_NOSIGNAL: a peer that has gone away is an error result, not SIGPIPE.
        r = ::send(fd, buffer, static_cast<std::size_t>(length), socketFlags(flags) | MSG_NOSIGNAL);
    } while (r < 0 && errno == EINTR);
    return r < 0 ? SOCKET_ERROR : static_cast<int>(r);
}

int recv(SOCKET s, char* buffer, int length, int flags)
{
    counted(FnRecv);
    int fd = ownFd(s);
    if (fd < 0)
        return SOCKET_ERROR;
    if (length < 0 || (!buffer && length > 0)) {
        errno = EINVAL;
        return SOCKET_ERROR;
    }
    ssize_t r;
    do {
        r = ::recv(fd, buffer, static_cast<std::size_t>(length), socketFlags(flags));
    } while (r < 0 && errno == EINTR);
    return r < 0 ? SOCKET_ERROR : static_cast<int>(r);
}

int closesocket(SOCKET s)
{
    counted(FnClosesocket);
    int fd = ownFd(s);
    if (fd < 0)
        return SOCKET_ERROR;
    ownSockets()[static_cast<std::size_t>(fd)] = false;
    return ::close(fd) == 0 ? 0 : SOCKET_ERROR;
}

int WSAGetLastError()
{
    switch (errno) {
    case ETIMEDOUT:
        return WSAETIMEDOUT;
    case ECONNREFUSED:
        return WSAECONNREFUSED;
    case ENETUNREACH:
        return WSAENETUNREACH;
    case EHOSTUNREACH:
        return WSAEHOSTUNREACH;
    case EAGAIN:
        return WSAEWOULDBLOCK;
    case ENETDOWN:
        return WSAENETDOWN;
    case ECONNABORTED:
        return WSAECONNABORTED;
    case ECONNRESET:
        return WSAECONNRESET;
    case EPIPE:
        return WSAESHUTDOWN;
    default:
        // Reasons the tool does not tell apart: a code outside the ones
        // above, never 0, that still shows which errno it was.
        return errno == 0 ? 0 : 20000 + errno;
    }
}

namespace posix {

int setConnectTimeoutMs(int milliseconds)
{
    int previous = connectTimeoutMs;
    connectTimeoutMs = milliseconds > 0 ? milliseconds : 0;
    return previous;
}

void failStartups(int code)
{
    startupFailure = code;
}

} // namespace posix

} // namespace win
