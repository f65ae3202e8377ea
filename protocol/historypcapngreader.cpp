// The history of a pcapng capture: the bytes of each direction read as the
// dissector reads them (frames, replies, bytes outside a frame), a frame's
// reply the first reply byte the other way after it. A packet is a read
// from a line, so a frame may begin in one packet and end in a later one;
// its entry points at the packet holding its start byte.
#include "historyreader.h"

#include "linkframe.h"
#include "pcapngblocks.h"

#include <cstring>

namespace History {

namespace {

constexpr std::uint32_t SimplePacket = 3;
constexpr std::uint32_t ObsoletePacket = 2;
constexpr std::uint32_t NameResolution = 4;
constexpr std::uint32_t InterfaceStatistics = 5;
// Blocks longer than this are taken for garbage, not waited for.
constexpr std::uint32_t MaxBlock = 64u << 20;
// Bytes looked through for the next block after a broken one, per slice.
constexpr std::uint64_t ResyncStep = 1 << 20;

std::uint32_t swap32(std::uint32_t v)
{
    return (v >> 24) | ((v >> 8) & 0xFF00) | ((v << 8) & 0xFF0000) | (v << 24);
}

struct Block
{
    const std::uint8_t* p = nullptr;
    bool swapped = false;
    std::uint32_t u32(std::size_t at) const
    {
        std::uint32_t v;
        std::memcpy(&v, p + at, 4);
        return swapped ? swap32(v) : v;
    }
    std::uint16_t u16(std::size_t at) const
    {
        std::uint16_t v;
        std::memcpy(&v, p + at, 2);
        return swapped ? static_cast<std::uint16_t>((v >> 8) | (v << 8)) : v;
    }
};

// The byte order of a block, from its type word: a section header's magic,
// or a type that reads small one way.
bool swappedAt(const std::uint8_t* p, std::uint64_t available)
{
    std::uint32_t type;
    std::memcpy(&type, p, 4);
    if (type == Pcapng::SectionHeader && available >= 12) {
        std::uint32_t magic;
        std::memcpy(&magic, p + 8, 4);
        return magic == swap32(Pcapng::ByteOrderMagic);
    }
    return type > 0xFFFF && swap32(type) <= 0xFFFF;
}

bool knownType(std::uint32_t type)
{
    return type == Pcapng::SectionHeader || type == Pcapng::InterfaceDescription || type == Pcapng::EnhancedPacket
        || type == SimplePacket || type == ObsoletePacket || type == NameResolution || type == InterfaceStatistics;
}

// What is wrong with the block at `at` (empty: nothing); needMore when it is
// cut short by the end of the map, which a writer may yet fill.
std::string blockProblem(const std::uint8_t* map, std::uint64_t at, std::uint64_t end, bool& needMore)
{
    needMore = false;
    if (end - at < 12) {
        needMore = true;
        return "a block cut short";
    }
    Block b{map + at, swappedAt(map + at, end - at)};
    const std::uint32_t type = b.u32(0);
    const std::uint32_t length = b.u32(4);
    if (type == Pcapng::SectionHeader && b.u32(8) != Pcapng::ByteOrderMagic)
        return "a section header without the byte-order magic";
    if (length < 12 || length % 4 != 0 || length > MaxBlock)
        return "block length " + std::to_string(length) + " is not one a block can have";
    if (length > end - at) {
        needMore = true;
        return "a block of " + std::to_string(length) + " bytes cut short at the end of the file";
    }
    if (b.u32(length - 4) != length)
        return "block length " + std::to_string(length) + " does not match its trailing copy "
            + std::to_string(b.u32(length - 4));
    if (type == Pcapng::EnhancedPacket && (length < 32 || b.u32(20) > length - 32))
        return "a packet block whose captured length does not fit in it";
    if (type == Pcapng::InterfaceDescription && length < 20)
        return "an interface block too short for its fields";
    return std::string();
}

struct Interface
{
    bool ours = false;      // link type USER0
    bool power2 = false;    // stamps in 2^-units seconds, else 10^-units
    std::uint8_t units = 6; // microseconds unless the block says otherwise
};

// The bytes of one direction, between packets.
struct Stream
{
    enum class State : std::uint8_t { WaitStart, Type, Len, Data, Sum };
    State state = State::WaitStart;
    std::uint64_t block = 0;   // where the frame's start byte is
    std::uint32_t inPacket = 0;
    std::int64_t us = 0;
    std::uint8_t type = 0;
    std::uint8_t len = 0;
    std::uint8_t keep = 0;     // data bytes still to come
    std::uint8_t sum = 0;
    std::size_t last = static_cast<std::size_t>(-1); // the latest frame, until the other side answers it
};

std::int64_t stampUs(const Interface& face, std::uint64_t stamp)
{
    if (face.power2) {
        const unsigned shift = face.units & 63u;
        const std::uint64_t mask = shift ? (std::uint64_t(1) << shift) - 1 : 0;
        return static_cast<std::int64_t>((stamp >> shift) * 1000000 + (((stamp & mask) * 1000000) >> shift));
    }
    std::int64_t value = static_cast<std::int64_t>(stamp);
    for (unsigned u = face.units; u > 6; --u)
        value /= 10;
    for (unsigned u = face.units; u < 6; ++u)
        value *= 10;
    return value;
}

class PcapngReader : public Reader
{
public:
    std::uint64_t scan(const MappedFile& file, std::uint64_t at, std::size_t rows, EntryStore& out) override;
    bool decode(const MappedFile& file, const EntryStore& entries, std::size_t row, Row& out) const override;

private:
    void interface(const Block& b, std::uint32_t length);
    void packet(const Block& b, std::uint64_t at, EntryStore& out);
    // The next offset after a broken block where a whole block of a known
    // type begins; `end` when none is there yet.
    std::uint64_t resync(const MappedFile& file, std::uint64_t from) const;

    std::vector<Interface> m_interfaces;
    Stream m_streams[2];
    std::int64_t m_lastUs = 0; // of the latest packet, for the rows between packets
    bool m_lost = false;       // looking for the next block after a broken one
};

void PcapngReader::interface(const Block& b, std::uint32_t length)
{
    Interface face;
    face.ours = b.u16(8) == Pcapng::LinkTypeUser0;
    for (std::uint32_t at = 16; at + 4 <= length - 4;) {
        const std::uint16_t code = b.u16(at);
        const std::uint16_t size = b.u16(at + 2);
        if (code == Pcapng::EndOfOptions || at + 4 + size > length - 4)
            break;
        if (code == Pcapng::IfTimestampResolution && size >= 1) {
            face.power2 = (b.p[at + 4] & 0x80) != 0;
            face.units = b.p[at + 4] & 0x7F;
        }
        at += 4 + ((size + 3u) & ~3u);
    }
    m_interfaces.push_back(face);
}

// Where a packet block's option of this code begins (its value 4 bytes
// on), with its size; 0 when the block has none.
std::uint32_t packetOption(const Block& b, std::uint32_t length, std::uint16_t wanted, std::uint16_t& size)
{
    const std::uint32_t captured = b.u32(20);
    for (std::uint32_t at = 28 + ((captured + 3u) & ~3u); at + 4 <= length - 4;) {
        const std::uint16_t code = b.u16(at);
        size = b.u16(at + 2);
        if (code == Pcapng::EndOfOptions || at + 4 + size > length - 4)
            break;
        if (code == wanted)
            return at;
        at += 4 + ((size + 3u) & ~3u);
    }
    return 0;
}

// The flags option's direction; a packet that says none counts as received.
Direction packetDirection(const Block& b, std::uint32_t length)
{
    std::uint16_t size = 0;
    const std::uint32_t at = packetOption(b, length, Pcapng::EpbFlags, size);
    return at && size == 4 && (b.u32(at + 4) & 3) == Pcapng::Outbound ? Direction::Sent : Direction::Received;
}

// The packet comment "[n]": the log index the window gave the frame.
std::int64_t packetLogIndex(const Block& b, std::uint32_t length)
{
    std::uint16_t size = 0;
    const std::uint32_t at = packetOption(b, length, Pcapng::Comment, size);
    if (!at || size < 3 || b.p[at + 4] != '[' || b.p[at + 4 + size - 1] != ']')
        return -1;
    std::int64_t value = 0;
    for (std::uint32_t i = at + 5; i < at + 4 + size - 1u; ++i) {
        if (b.p[i] < '0' || b.p[i] > '9')
            return -1;
        value = value * 10 + (b.p[i] - '0');
    }
    return value;
}

void PcapngReader::packet(const Block& b, std::uint64_t at, EntryStore& out)
{
    const std::uint32_t length = b.u32(4);
    const std::uint32_t face = b.u32(8);
    if (face >= m_interfaces.size()) {
        out.push(makeEntry(at, 0, m_lastUs, 0, Direction::Received, false, Reply::Unknown, Kind::Malformed));
        return;
    }
    if (!m_interfaces[face].ours) {
        ++m_skippedPackets;
        return;
    }
    const std::uint64_t stamp = (std::uint64_t(b.u32(12)) << 32) | b.u32(16);
    const std::int64_t wallUs = stampUs(m_interfaces[face], stamp);
    if (!m_started) {
        m_firstWallUs = wallUs;
        m_started = true;
    }
    const std::int64_t us = wallUs > m_firstWallUs ? wallUs - m_firstWallUs : 0;
    m_lastUs = us;
    const Direction direction = packetDirection(b, length);
    Stream& s = m_streams[static_cast<int>(direction)];
    Stream& other = m_streams[1 - static_cast<int>(direction)];
    const std::uint32_t captured = b.u32(20);
    const std::uint8_t* data = b.p + 28;
    for (std::uint32_t i = 0; i < captured; ++i) {
        const std::uint8_t byte = data[i];
        switch (s.state) {
        case Stream::State::WaitStart:
            if (byte == LinkFrame::StartByte) {
                s.state = Stream::State::Type;
                s.block = at;
                s.inPacket = i;
                s.us = us;
            } else if ((byte == LinkFrame::Ack || byte == LinkFrame::Nak) && other.last != std::size_t(-1)) {
                out.setReply(other.last, byte == LinkFrame::Ack ? Reply::Ack : Reply::Nak);
                other.last = std::size_t(-1);
            } else {
                // Bytes outside a frame, a stray reply among them: one row
                // for the run within this packet.
                std::uint32_t stop = i + 1;
                while (stop < captured && data[stop] != LinkFrame::StartByte && data[stop] != LinkFrame::Ack
                       && data[stop] != LinkFrame::Nak)
                    ++stop;
                out.push(makeEntry(at, i, us, 0, direction, false, Reply::Unknown, Kind::Noise));
                i = stop - 1;
            }
            break;
        case Stream::State::Type:
            s.type = byte;
            s.state = Stream::State::Len;
            break;
        case Stream::State::Len:
            s.len = byte;
            s.sum = static_cast<std::uint8_t>(s.type + byte);
            s.keep = static_cast<std::uint8_t>(byte < LinkFrame::MaxRecordData ? byte : LinkFrame::MaxRecordData);
            s.state = s.keep ? Stream::State::Data : Stream::State::Sum;
            break;
        case Stream::State::Data:
            s.sum = static_cast<std::uint8_t>(s.sum + byte);
            if (--s.keep == 0)
                s.state = Stream::State::Sum;
            break;
        case Stream::State::Sum: {
            const bool good = static_cast<std::uint8_t>(~s.sum) == byte;
            s.last = out.size();
            out.push(makeEntry(s.block, s.inPacket, s.us, s.type, direction, good, Reply::None, Kind::Frame));
            s.state = Stream::State::WaitStart;
            break;
        }
        }
    }
}

std::uint64_t PcapngReader::resync(const MappedFile& file, std::uint64_t from) const
{
    const std::uint64_t end = file.mappedSize();
    std::uint64_t at = (from + 3) & ~std::uint64_t(3);
    const std::uint64_t limit = std::min(end, at + ResyncStep);
    while (at + 12 <= limit) {
        if ((at & 4095) == 0) {
            const std::uint64_t next = (file.nextData(at) + 3) & ~std::uint64_t(3);
            if (next > at) {
                at = next;
                continue;
            }
        }
        const std::uint8_t* p = file.data() + at;
        Block b{p, swappedAt(p, end - at)};
        bool needMore = false;
        if (knownType(b.u32(0)) && blockProblem(file.data(), at, end, needMore).empty())
            return at;
        at += 4;
    }
    return at + 12 > end ? end : at;
}

std::uint64_t PcapngReader::scan(const MappedFile& file, std::uint64_t at, std::size_t rows, EntryStore& out)
{
    const std::uint8_t* map = file.data();
    const std::uint64_t end = file.mappedSize();
    const std::size_t target = out.size() + rows;
    while (at + 12 <= end && out.size() < target) {
        bool needMore = false;
        const std::string problem = blockProblem(map, at, end, needMore);
        if (needMore)
            break;
        if (!problem.empty()) {
            // One row for all that is lost until the next whole block.
            if (!m_lost)
                out.push(makeEntry(at, 0, m_lastUs, 0, Direction::Received, false, Reply::Unknown, Kind::Malformed));
            m_lost = true;
            // Looked through a step at a time, so a slice stays short.
            return resync(file, at + 4);
        }
        m_lost = false;
        Block b{map + at, swappedAt(map + at, end - at)};
        const std::uint32_t type = b.u32(0);
        const std::uint32_t length = b.u32(4);
        if (type == Pcapng::SectionHeader) {
            // A new section: its own interfaces, and what was half read ends.
            m_interfaces.clear();
            m_streams[0] = Stream();
            m_streams[1] = Stream();
        } else if (type == Pcapng::InterfaceDescription) {
            interface(b, length);
        } else if (type == Pcapng::EnhancedPacket) {
            packet(b, at, out);
        } else {
            ++m_skippedBlocks;
        }
        at += length;
    }
    return at;
}

bool PcapngReader::decode(const MappedFile& file, const EntryStore& entries, std::size_t index, Row& out) const
{
    const Entry entry = entries[index];
    const std::uint8_t* map = file.data();
    const std::uint64_t end = file.mappedSize();
    std::uint64_t at = entry.fileOffset();
    if (at + 12 > end)
        return false;
    fromEntry(entry, out);
    bool needMore = false;
    out.problem = blockProblem(map, at, end, needMore);
    if (out.kind == Kind::Malformed) {
        if (out.problem.empty())
            out.problem = "a packet on an interface that its section does not describe";
        return true;
    }
    if (!out.problem.empty())
        return false;
    Block b{map + at, swappedAt(map + at, end - at)};
    out.logIndex = packetLogIndex(b, b.u32(4));
    std::uint32_t i = entry.offsetInPacket();
    if (out.kind == Kind::Noise) {
        for (std::uint32_t n = b.u32(20); i < n; ++i) {
            const std::uint8_t byte = b.p[28 + i];
            if (!out.bytes.empty()
                && (byte == LinkFrame::StartByte || byte == LinkFrame::Ack || byte == LinkFrame::Nak))
                break;
            out.bytes.push_back(byte);
        }
        return true;
    }
    // The frame's bytes, from this packet and the next ones of its direction.
    std::size_t need = 3;
    while (out.bytes.size() < need) {
        const std::uint32_t captured = b.u32(20);
        for (; i < captured && out.bytes.size() < need; ++i) {
            out.bytes.push_back(b.p[28 + i]);
            if (out.bytes.size() == 3)
                need = 4 + std::min<std::size_t>(out.bytes[2], LinkFrame::MaxRecordData);
        }
        if (out.bytes.size() == need)
            break;
        // On to the next packet block of the same direction.
        do {
            at += b.u32(4);
            if (!blockProblem(map, at, end, needMore).empty())
                return false;
            b = Block{map + at, swappedAt(map + at, end - at)};
        } while (b.u32(0) != Pcapng::EnhancedPacket || packetDirection(b, b.u32(4)) != out.direction);
        i = 0;
    }
    out.type = out.bytes[1];
    out.len = out.bytes[2];
    out.checksum = out.bytes.back();
    out.good = LinkFrame::checksum(out.type, out.len, out.bytes.data() + 3, static_cast<int>(need - 4)) == out.checksum;
    return true;
}

} // namespace

std::unique_ptr<Reader> makePcapngReader()
{
    return std::make_unique<PcapngReader>();
}

} // namespace History
