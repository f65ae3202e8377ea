#pragma once
// The monitor's capture in pcapng, for Wireshark and tshark: a section
// header, one interface with the link type USER0 (147, which Wireshark
// leaves to user dissectors; wireshark/korvane.lua takes it) and nanosecond
// stamps, then one enhanced packet block per read from a line, its
// direction in the flags word. Blocks are gathered and written whole by
// flush(), so a capture cut short by a kill still opens up to its last
// block. A write that fails ends the capture; the caller says so once.

#include "appendfile.h"

#include <cstdint>
#include <string>
#include <vector>

class PcapngWriter
{
public:
    // The direction bits of the packet flags: A>B is written as outbound,
    // B>A as inbound, so Wireshark's "sent" is A's side speaking.
    enum class Direction : std::uint32_t { Inbound = 1, Outbound = 2 };
    static constexpr std::uint16_t LinkTypeUser0 = 147;

    // Creates the file with its section header and interface; description
    // names the two lines.
    bool open(const std::string& path, const std::string& description, std::string& error);
    // One read from a line, written by the next flush().
    void packet(Direction direction, std::int64_t wallNs, const std::uint8_t* bytes, std::size_t count);
    // Writes the packets gathered; false when that failed and ended the capture.
    bool flush();

    bool active() const { return m_file.isOpen(); }
    bool pending() const { return m_gathered > 0; }
    const std::string& why() const { return m_file.why(); }
    const std::string& path() const { return m_file.path(); }
    std::uint64_t packets() const { return m_packets; }

private:
    void begin(std::uint32_t type);
    void put16(std::uint16_t value);
    void put32(std::uint32_t value);
    void putBytes(const void* bytes, std::size_t count);
    void pad();
    void option(std::uint16_t code, const void* value, std::size_t size);
    // Closes the block being made; it goes out with the next flush().
    void finish();

    AppendFile m_file;
    std::vector<std::uint8_t> m_blocks; // whole blocks, then the one being made
    std::size_t m_blockStart = 0;
    std::uint64_t m_gathered = 0;       // packets not yet written
    std::uint64_t m_packets = 0;        // packets in the file
};
