// pcapng blocks, in this machine's byte order (the section header's magic
// tells a reader which that is).
#include "pcapngwriter.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::uint32_t SectionHeader = 0x0A0D0D0A;
constexpr std::uint32_t InterfaceDescription = 1;
constexpr std::uint32_t EnhancedPacket = 6;
constexpr std::uint32_t ByteOrderMagic = 0x1A2B3C4D;

constexpr std::uint16_t EndOfOptions = 0;
constexpr std::uint16_t ShbUserApplication = 4;
constexpr std::uint16_t IfName = 2;
constexpr std::uint16_t IfDescription = 3;
constexpr std::uint16_t IfTimestampResolution = 9;
constexpr std::uint16_t EpbFlags = 2;

constexpr std::uint8_t Nanoseconds = 9; // 10^-9 s per stamp unit

} // namespace

void PcapngWriter::begin(std::uint32_t type)
{
    m_blockStart = m_blocks.size();
    put32(type);
    put32(0); // total length, filled in by finish()
}

void PcapngWriter::put16(std::uint16_t value)
{
    putBytes(&value, sizeof value);
}

void PcapngWriter::put32(std::uint32_t value)
{
    putBytes(&value, sizeof value);
}

void PcapngWriter::putBytes(const void* bytes, std::size_t count)
{
    const auto* from = static_cast<const std::uint8_t*>(bytes);
    m_blocks.insert(m_blocks.end(), from, from + count);
}

void PcapngWriter::pad()
{
    // Packet data and option values end on a 32-bit boundary.
    m_blocks.resize((m_blocks.size() + 3) & ~std::size_t(3), 0);
}

void PcapngWriter::option(std::uint16_t code, const void* value, std::size_t size)
{
    put16(code);
    put16(static_cast<std::uint16_t>(size));
    if (size > 0)
        putBytes(value, size);
    pad();
}

void PcapngWriter::finish()
{
    option(EndOfOptions, nullptr, 0);
    const auto total = static_cast<std::uint32_t>(m_blocks.size() - m_blockStart + 4);
    put32(total);
    std::memcpy(m_blocks.data() + m_blockStart + 4, &total, sizeof total);
}

bool PcapngWriter::flush()
{
    if (m_blocks.empty() || !m_file.isOpen())
        return true;
    std::uint64_t whole = 0;
    const bool written = m_file.write(m_blocks.data(), m_blocks.size(), [&](std::size_t done) {
        // Each block carries its length in its second word.
        std::size_t at = 0;
        while (at + 8 <= done) {
            std::uint32_t length = 0;
            std::memcpy(&length, m_blocks.data() + at + 4, sizeof length);
            if (at + length > done)
                break;
            at += length;
            ++whole;
        }
        return at;
    });
    m_packets += written ? m_gathered : std::min(whole, m_gathered);
    m_blocks.clear();
    m_gathered = 0;
    return written;
}

bool PcapngWriter::open(const std::string& path, const std::string& description, std::string& error)
{
    if (!m_file.create(path, error))
        return false;
    begin(SectionHeader);
    put32(ByteOrderMagic);
    put16(1); // version 1.0
    put16(0);
    const std::int64_t unknownLength = -1;
    putBytes(&unknownLength, sizeof unknownLength);
    const char application[] = "korvane-sim --monitor";
    option(ShbUserApplication, application, sizeof application - 1);
    finish();

    begin(InterfaceDescription);
    put16(LinkTypeUser0);
    put16(0);    // reserved
    put32(0);    // no snap length: every byte is kept
    const char name[] = "korvane-monitor";
    option(IfName, name, sizeof name - 1);
    option(IfDescription, description.data(), description.size());
    option(IfTimestampResolution, &Nanoseconds, 1);
    finish();
    if (!flush()) {
        error = "cannot write " + path + ": " + m_file.why();
        return false;
    }
    return true;
}

void PcapngWriter::packet(Direction direction, std::int64_t wallNs, const std::uint8_t* bytes, std::size_t count)
{
    begin(EnhancedPacket);
    put32(0); // the one interface
    const auto stamp = static_cast<std::uint64_t>(wallNs);
    put32(static_cast<std::uint32_t>(stamp >> 32));
    put32(static_cast<std::uint32_t>(stamp));
    put32(static_cast<std::uint32_t>(count)); // captured
    put32(static_cast<std::uint32_t>(count)); // on the line
    putBytes(bytes, count);
    pad();
    const auto flags = static_cast<std::uint32_t>(direction);
    option(EpbFlags, &flags, sizeof flags);
    finish();
    ++m_gathered;
}
