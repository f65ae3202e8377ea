#pragma once
// What --port names: a serial port ("COM3", a device path) or a device
// behind TCP ("socket://HOST:PORT", as ser2net serves an adapter).

#include <string>

struct PortAddress
{
    enum class Kind { Serial, Tcp };
    Kind kind = Kind::Serial;
    std::string text;  // as given
    std::string host;  // Tcp
    unsigned short port = 0;

    // False, with the reason, for a socket:// address without host or port.
    static bool parse(const std::string& text, PortAddress& out, std::string& error);
};
