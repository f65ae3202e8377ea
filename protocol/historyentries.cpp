#include "historyentries.h"

#include <algorithm>

namespace History {

namespace {

constexpr std::size_t BlockRows = 65536;
constexpr std::uint32_t FarInPacket = (1u << 18) - 1;

} // namespace

const EntryStore::Block& EntryStore::blockOf(std::size_t i) const
{
    const Block& last = m_blocks[m_last];
    if (i >= last.first && i < last.first + last.rows.size())
        return last;
    if (m_last + 1 < m_blocks.size() && i >= m_blocks[m_last + 1].first
        && i < m_blocks[m_last + 1].first + m_blocks[m_last + 1].rows.size())
        return m_blocks[++m_last];
    const auto it = std::upper_bound(m_blocks.begin(), m_blocks.end(), i,
                                     [](std::size_t row, const Block& b) { return row < b.first; });
    m_last = static_cast<std::size_t>(it - m_blocks.begin()) - 1;
    return m_blocks[m_last];
}

Entry EntryStore::operator[](std::size_t i) const
{
    const Block& block = blockOf(i);
    const Packed& p = block.rows[i - block.first];
    std::uint64_t inPacket = p.bits >> 14;
    if (inPacket == FarInPacket) {
        const auto far = std::lower_bound(m_far.begin(), m_far.end(), std::make_pair(i, std::uint32_t(0)));
        inPacket = far != m_far.end() && far->first == i ? far->second : inPacket;
    }
    Entry entry;
    entry.where = (block.offset + p.offset) | (inPacket << 40);
    entry.packed = static_cast<std::uint64_t>(block.us + p.us) | (std::uint64_t(p.bits & 0x3FFF) << 48);
    return entry;
}

void EntryStore::push(const Entry& entry)
{
    const std::uint64_t offset = entry.fileOffset();
    const std::int64_t us = entry.offsetUs();
    Block* block = m_blocks.empty() ? nullptr : &m_blocks.back();
    if (!block || block->rows.size() == BlockRows || offset - block->offset > UINT32_MAX || us < block->us
        || us - block->us > INT64_C(0xFFFFFFFF)) {
        if (block)
            block->rows.shrink_to_fit();
        m_blocks.emplace_back();
        block = &m_blocks.back();
        block->first = m_size;
        block->offset = offset;
        block->us = us;
    }
    std::uint32_t inPacket = entry.offsetInPacket();
    if (inPacket >= FarInPacket) {
        m_far.emplace_back(m_size, inPacket);
        inPacket = FarInPacket;
    }
    block->rows.push_back({static_cast<std::uint32_t>(offset - block->offset), static_cast<std::uint32_t>(us - block->us),
                           static_cast<std::uint32_t>((entry.packed >> 48) & 0x3FFF) | (inPacket << 14)});
    ++m_size;
}

void EntryStore::setReply(std::size_t i, Reply reply)
{
    const Block& found = blockOf(i);
    Packed& p = m_blocks[static_cast<std::size_t>(&found - m_blocks.data())].rows[i - found.first];
    // The reply's two bits are bits 10..11 of the flags word (58..59 of an entry).
    p.bits = (p.bits & ~(3u << 10)) | (static_cast<std::uint32_t>(reply) << 10);
}

void EntryStore::clear()
{
    m_blocks.clear();
    m_far.clear();
    m_size = 0;
    m_last = 0;
}

void EntryStore::shrink()
{
    if (!m_blocks.empty())
        m_blocks.back().rows.shrink_to_fit();
}

std::size_t EntryStore::memoryBytes() const
{
    std::size_t bytes = m_blocks.capacity() * sizeof(Block) + m_far.capacity() * sizeof(m_far[0]);
    for (const Block& block : m_blocks)
        bytes += block.rows.capacity() * sizeof(Packed);
    return bytes;
}

} // namespace History
