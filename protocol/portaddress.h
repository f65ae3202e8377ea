#pragma once
// What a port's name names: a serial port ("COM3", a device path), a device
// behind raw TCP ("socket://HOST:PORT", as ser2net serves an adapter) or a
// serial port shared with RFC 2217 ("rfc2217://HOST:PORT", as labgrid's
// exporter serves one through ser2net). A COMn that the port numbering maps
// to such an address stands for that address, so korvane-cli and the window
// reach it by the same name.

#include <string>

struct PortAddress
{
    enum class Kind { Serial, Tcp, Rfc2217 };
    Kind kind = Kind::Serial;
    std::string text;  // as given ("COM5" for a mapped COMn)
    std::string host;  // Tcp, Rfc2217
    unsigned short port = 0;
    std::string mapped; // the address a COMn stands for; empty otherwise

    bool network() const { return kind != Kind::Serial; }

    // False, with the reason, for a socket:// or rfc2217:// address without
    // host or port, or an rfc2217:// address where this build has no RFC 2217,
    // whether given or mapped.
    static bool parse(const std::string& text, PortAddress& out, std::string& error);
    // Whether the text begins with socket:// or rfc2217://.
    static bool isAddress(const std::string& text);
};
