#include "netclient.h"

#include <cstdio>

using namespace win; // constants are macros on Windows, names in win elsewhere

namespace {
constexpr u_short DevicePort = 4500;
constexpr DWORD CloseSettleMs = 50;
} // namespace

NetClient::NetClient()
    : sock(INVALID_SOCKET), connected(false), startupFailed(false)
{
    startup();
}

NetClient::~NetClient()
{
    close();
}

void NetClient::startup()
{
    WSADATA data;
    const int error = win::WSAStartup(0x0202, &data);
    if (error != 0) {
        std::printf("WSAStartup failed with error %d\n", error);
        startupFailed = true;
    } else {
        startupFailed = false;
    }
}

bool NetClient::connectTo(int hostNumber)
{
    startup();
    if (startupFailed)
        return false;

    // A socket left from an earlier attempt is not carried over into a new one.
    if (sock != INVALID_SOCKET) {
        win::closesocket(sock);
        sock = INVALID_SOCKET;
    }
    connected = false;
    lastConnectError = 0;

    // Outside 0..255 the address text would not parse and inet_addr would
    // give the broadcast address.
    if (hostNumber < 0 || hostNumber > 255)
        return false;

    sock = win::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (sock == INVALID_SOCKET) {
        std::perror("client connect failed!??????");
        return false;
    }

    char address[32];
    std::snprintf(address, sizeof address, "192.168.1.%d", hostNumber);
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = win::htons(DevicePort);
    to.sin_addr.s_addr = win::inet_addr(address);

    if (win::connect(sock, reinterpret_cast<const sockaddr*>(&to), static_cast<int>(sizeof to)) == SOCKET_ERROR) {
        lastConnectError = win::WSAGetLastError();
        std::perror("client connect failed!??????");
        win::closesocket(sock);
        sock = INVALID_SOCKET;
        return false;
    }
    connected = true;

    u_long nonBlocking = 1;
    win::ioctlsocket(sock, FIONBIO, &nonBlocking);
    return connected;
}

bool NetClient::close()
{
    if (sock != INVALID_SOCKET) {
        win::closesocket(sock);
        sock = INVALID_SOCKET;
    }
    win::Sleep(CloseSettleMs);
    win::WSACleanup();
    connected = false;
    startupFailed = false;
    return true;
}

int NetClient::send(const char* data, int length)
{
    if (!connected || startupFailed)
        return 0;
    return win::send(sock, data, length, 0);
}

int NetClient::recv(char* buffer, int maxBytes)
{
    if (!connected || startupFailed)
        return 0;
    return win::recv(sock, buffer, maxBytes, 0);
}
