#include "netclient.h"

#include <cstdio>

using namespace win; // constants are macros on Windows, names in win elsewhere

namespace {
constexpr u_short DevicePort = 4500;
constexpr DWORD CloseSettleMs = 50;

// The failure text, then the reason. On Windows WinSock's code is the
// reason; errno, which perror reads, is untouched there and would say
// ": Success".
void reportConnectFailure([[maybe_unused]] int code)
{
#ifdef _WIN32
    char reason[256];
    DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                               static_cast<DWORD>(code), 0, reason, sizeof reason, nullptr);
    while (n > 0 && (reason[n - 1] == '\r' || reason[n - 1] == '\n' || reason[n - 1] == ' '))
        --n;
    reason[n] = '\0';
    if (n > 0)
        std::fprintf(stderr, "client connect failed!??????: %s (WinSock error %d)\n", reason, code);
    else
        std::fprintf(stderr, "client connect failed!??????: WinSock error %d\n", code);
#else
    std::perror("client connect failed!??????");
#endif
}
} // namespace

NetClient::NetClient()
    : sock(INVALID_SOCKET), connected(false), startupFailed(false), startedUp(false)
{
    startup();
}

NetClient::~NetClient()
{
    close();
}

void NetClient::startup()
{
    // WinSock counts start-ups per process; the client holds at most one,
    // which close gives back.
    if (startedUp)
        return;
    WSADATA data;
    const int error = win::WSAStartup(0x0202, &data);
    startupError = error;
    if (error != 0) {
        std::printf("WSAStartup failed with error %d\n", error);
        startupFailed = true;
    } else {
        startupFailed = false;
        startedUp = true;
    }
}

bool NetClient::connectTo(int hostNumber)
{
    char address[32];
    std::snprintf(address, sizeof address, "192.168.1.%d", hostNumber);
    // Outside 0..255 the address text would not parse and inet_addr would
    // give the broadcast address.
    return connectTo(hostNumber >= 0 && hostNumber <= 255 ? address : nullptr, DevicePort);
}

win::SOCKET NetClient::nativeSocket() const
{
    return connected ? sock : INVALID_SOCKET;
}

bool NetClient::connectTo(const char* address, u_short port)
{
    // Whatever this attempt ends with, an earlier attempt's reason is not it.
    lastConnectError = 0;
    startup();
    if (startupFailed) {
        lastConnectError = startupError;
        return false;
    }

    // A socket left from an earlier attempt is not carried over into a new one.
    if (sock != INVALID_SOCKET) {
        win::closesocket(sock);
        sock = INVALID_SOCKET;
    }
    connected = false;

    if (address == nullptr)
        return false;

    sock = win::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (sock == INVALID_SOCKET) {
        if (connectDiagnostics)
            reportConnectFailure(win::WSAGetLastError());
        return false;
    }

    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = win::htons(port);
    to.sin_addr.s_addr = win::inet_addr(address);

    // A socket left blocking would hold the receive poll, and with it the
    // window, in recv: that counts as a failed connect.
    u_long nonBlocking = 1;
    if (win::connect(sock, reinterpret_cast<const sockaddr*>(&to), static_cast<int>(sizeof to)) == SOCKET_ERROR
        || win::ioctlsocket(sock, FIONBIO, &nonBlocking) == SOCKET_ERROR) {
        lastConnectError = win::WSAGetLastError();
        if (connectDiagnostics)
            reportConnectFailure(lastConnectError);
        win::closesocket(sock);
        sock = INVALID_SOCKET;
        return false;
    }
    connected = true;
    lastBrokenError = 0;
    return connected;
}

bool NetClient::close()
{
    if (sock != INVALID_SOCKET) {
        win::closesocket(sock);
        sock = INVALID_SOCKET;
    }
    win::Sleep(CloseSettleMs);
    if (startedUp) {
        win::WSACleanup();
        startedUp = false;
    }
    connected = false;
    startupFailed = false;
    return true;
}

int NetClient::send(const char* data, int length)
{
    if (!connected || startupFailed)
        return 0;
    const int n = win::send(sock, data, length, 0);
    if (n < 0)
        noteFailure();
    return n;
}

int NetClient::recv(char* buffer, int maxBytes)
{
    if (!connected || startupFailed)
        return 0;
    const int n = win::recv(sock, buffer, maxBytes, 0);
    if (n < 0)
        noteFailure();
    return n;
}

void NetClient::noteFailure()
{
    const int error = win::WSAGetLastError();
    if (error != WSAEWOULDBLOCK && lastBrokenError == 0)
        lastBrokenError = error;
}
