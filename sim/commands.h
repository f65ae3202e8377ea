#pragma once
// One line of standard input turned into a command for the simulator.

#include <cstdint>
#include <string>
#include <vector>

struct Command
{
    enum class Kind { None, Send, Bad, Raw, Ack, Nak, Close, Rst, Start, Stats, Quit, Invalid };

    Kind kind = Kind::None;
    std::uint8_t type = 0;
    std::vector<std::uint8_t> bytes; // data for send/bad, exact bytes for raw
    std::string error;               // why an Invalid line was refused

    // Parses "send TT DD..", "bad TT DD..", "raw XX..", "ack", "nak", "close",
    // "rst", "start", "stats", "quit". Blank lines and lines starting with '#'
    // give Kind::None.
    static Command parse(const std::string& line);
};
