// pcapng blocks, in this machine's byte order (the section header's magic
// tells a reader which that is).
#include "pcapngwriter.h"

#include "pcapngblocks.h"

#include <algorithm>
#include <cstring>

namespace {

using namespace Pcapng;

constexpr std::uint8_t Nanoseconds = 9; // 10^-9 s per stamp unit

// Blocks that may wait for the file or a reader of the FIFO: seconds of a
// busy line's reads.
constexpr std::size_t SpoolLimit = 1 << 20;

// The end of the last whole block within the batch's first `size` bytes;
// packets counts the packet blocks up to there.
std::size_t wholeBlocks(const std::string& batch, std::size_t size, std::uint64_t& packets)
{
    std::size_t at = 0;
    while (at + 8 <= size) {
        std::uint32_t type = 0;
        std::uint32_t length = 0;
        std::memcpy(&type, batch.data() + at, sizeof type);
        std::memcpy(&length, batch.data() + at + 4, sizeof length);
        if (at + length > size)
            break;
        at += length;
        packets += type == EnhancedPacket;
    }
    return at;
}

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

bool PcapngWriter::open(const std::string& path, const std::string& description, std::string& error,
                        const std::string& application, const std::string& interfaceName)
{
    if (!m_sink->file.create(path, error))
        return false;
    begin(SectionHeader);
    put32(ByteOrderMagic);
    put16(1); // version 1.0
    put16(0);
    const std::int64_t unknownLength = -1;
    putBytes(&unknownLength, sizeof unknownLength);
    option(ShbUserApplication, application.data(), application.size());
    finish();

    begin(InterfaceDescription);
    put16(LinkTypeUser0);
    put16(0);    // reserved
    put32(0);    // no snap length: every byte is kept
    option(IfName, interfaceName.data(), interfaceName.size());
    option(IfDescription, description.data(), description.size());
    option(IfTimestampResolution, &Nanoseconds, 1);
    finish();
    const std::string header(m_blocks.begin(), m_blocks.end());
    m_blocks.clear();

    AppendFile& file = m_sink->file;
    // A FIFO's every reader gets the header from the file itself.
    file.setPreamble(file.isFifo() ? header : std::string());
    m_spool = std::make_unique<OutputSpool>(SpoolLimit, [sink = m_sink, packetsWritten = m_written](const std::string& batch) {
        std::uint64_t ignored = 0;
        // Each block carries its length in its second word.
        const bool written = sink->file.write(batch.data(), batch.size(), [&](std::size_t done) {
            return wholeBlocks(batch, done, ignored);
        });
        std::uint64_t packets = 0;
        wholeBlocks(batch, sink->file.lastKept(), packets);
        *packetsWritten += packets;
        return written;
    }, !file.isRegular(), file.isFifo() ? AppendFile::TendNs : 0);
    if (!file.isFifo()) {
        m_spool->put(header);
        m_spool->flush();
    }
    return true;
}

void PcapngWriter::discard()
{
    m_spool.reset();
    m_sink->file.discard();
}

void PcapngWriter::packet(Direction direction, std::int64_t wallNs, const std::uint8_t* bytes, std::size_t count,
                          const std::string& comment)
{
    ++m_offered;
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
    if (!comment.empty())
        option(Comment, comment.data(), comment.size());
    finish();
    // Whole or not at all.
    m_spool->put(reinterpret_cast<const char*>(m_blocks.data()), m_blocks.size());
    m_blocks.clear();
}
