#pragma once
// What the Windows test program and its driver exchange, so that both ends
// check the same bytes.

#include "linkframe.h"

#include <cstdio>
#include <string>
#include <vector>

namespace WireCases {

using Bytes = std::vector<unsigned char>;

constexpr int DeviceHost = 154;            // 192.168.1.154:4500
constexpr unsigned char Xoff = 0x13;        // stops a line that obeys XON/XOFF
constexpr int WaitMs = 15000;               // for bytes that should come at once
constexpr int FailedConnects = 3;

// Every byte value once, in order; 0x11 and 0x13 among them.
inline Bytes allByteValues()
{
    Bytes b(256);
    for (int i = 0; i < 256; ++i)
        b[static_cast<std::size_t>(i)] = static_cast<unsigned char>(i);
    return b;
}

// 4 KiB, more than the 1024-byte device queues hold: every value 16 times,
// in a different order each round.
inline Bytes burst()
{
    Bytes b(4096);
    for (std::size_t i = 0; i < b.size(); ++i)
        b[i] = static_cast<unsigned char>(i * 7 + i / 256);
    return b;
}

inline Bytes frame(unsigned char type, Bytes data)
{
    Bytes out(data.size() + LinkFrame::Overhead);
    out.resize(static_cast<std::size_t>(LinkFrame::encode(type, static_cast<std::uint8_t>(data.size()), data.data(), out.data())));
    return out;
}

// The program asks, the device answers with a lone XOFF, the program replies.
inline Bytes request() { return frame(0x01, {0x0A, 0xFF}); }
inline Bytes reply() { return frame(0x02, {0x11, 0x13}); }

inline int passes = 0;
inline int failures = 0;
inline std::string failed; // the failed cases' lines, to repeat at the end

// One line per case, "ok <case>" or "FAIL <case>: <why>", flushed at once
// so that the driver's and the program's lines come out in order.
inline void check(bool ok, const char* what, const std::string& why = {})
{
    if (ok) {
        std::printf("ok %s\n", what);
        ++passes;
    } else {
        std::printf("FAIL %s: %s\n", what, why.empty() ? "no" : why.c_str());
        failed += std::string("FAIL ") + what + "\n";
        ++failures;
    }
    std::fflush(stdout);
}

// Empty when got is wanted; else where they part.
inline std::string difference(const Bytes& got, const Bytes& wanted)
{
    std::size_t i = 0;
    while (i < got.size() && i < wanted.size() && got[i] == wanted[i])
        ++i;
    if (i == got.size() && i == wanted.size())
        return {};
    char text[128];
    if (i == got.size())
        std::snprintf(text, sizeof text, "%zu of %zu bytes, next wanted 0x%02X", got.size(), wanted.size(), wanted[i]);
    else if (i == wanted.size())
        std::snprintf(text, sizeof text, "%zu bytes where %zu were wanted", got.size(), wanted.size());
    else
        std::snprintf(text, sizeof text, "%zu of %zu bytes, at %zu 0x%02X instead of 0x%02X", got.size(), wanted.size(), i,
                      got[i], wanted[i]);
    return text;
}

} // namespace WireCases
