#pragma once
// A host name or dotted address to the dotted IPv4 address the network
// client connects to. On Windows WinSock must have been started.

#include <string>

bool resolveIpv4(const std::string& host, std::string& address, std::string& error);
