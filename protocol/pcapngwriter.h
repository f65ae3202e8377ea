#pragma once
// The monitor's capture in pcapng, for Wireshark and tshark: a section
// header, one interface with the link type USER0 (147, which Wireshark
// leaves to user dissectors; wireshark/korvane.lua takes it) and nanosecond
// stamps, then one enhanced packet block per read from a line, its
// direction in the flags word. Blocks are gathered and handed to a writer
// thread whole by flush() (outputspool.h), so a capture cut short by a kill
// still opens up to its last block, and a reader that stalls (Wireshark on
// a FIFO) costs dropped blocks, never the lines' time. A write that fails
// ends the capture; the caller says so once.

#include "appendfile.h"
#include "outputspool.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class PcapngWriter : public SpooledOutput
{
public:
    // The direction bits of the packet flags: A>B is written as outbound,
    // B>A as inbound, so Wireshark's "sent" is A's side speaking.
    enum class Direction : std::uint32_t { Inbound = 1, Outbound = 2 };
    static constexpr std::uint16_t LinkTypeUser0 = 147;

    // Creates the file with its section header and interface; description
    // names the two lines, application and interfaceName the writer.
    bool open(const std::string& path, const std::string& description, std::string& error,
              const std::string& application = "korvane-sim --monitor",
              const std::string& interfaceName = "korvane-monitor");
    // Closes it and removes it when open() made it.
    void discard();
    // One read from a line, written by the next flush(); a comment, when
    // given, goes with it.
    void packet(Direction direction, std::int64_t wallNs, const std::uint8_t* bytes, std::size_t count,
                const std::string& comment = std::string());
    const std::string& why() const { return m_sink->file.why(); }
    const std::string& path() const { return m_sink->file.path(); }
    // Packets in the file so far.
    std::uint64_t packets() const { return *m_written; }

private:
    void begin(std::uint32_t type);
    void put16(std::uint16_t value);
    void put32(std::uint32_t value);
    void putBytes(const void* bytes, std::size_t count);
    void pad();
    void option(std::uint16_t code, const void* value, std::size_t size);
    // Closes the block being made; it goes out with the next flush().
    void finish();

    // What the writer thread uses, kept alive by it as long as it runs.
    struct Sink
    {
        AppendFile file;
    };
    std::shared_ptr<Sink> m_sink = std::make_shared<Sink>();
    std::vector<std::uint8_t> m_blocks; // the block being made
    std::size_t m_blockStart = 0;
};
