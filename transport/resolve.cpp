#include "resolve.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstdio>

bool resolveIpv4(const std::string& host, std::string& address, std::string& error)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int status = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (status != 0 || found == nullptr) {
        error = "cannot resolve " + host + ": " + (status != 0 ? gai_strerror(status) : "no IPv4 address");
        return false;
    }
    const auto* in = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    const auto* b = reinterpret_cast<const unsigned char*>(&in->sin_addr);
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    ::freeaddrinfo(found);
    address = text;
    return true;
}
