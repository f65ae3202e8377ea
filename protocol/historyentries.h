#pragma once
// The store of a history's entries, 12 bytes a row: rows come in blocks of
// up to 65,536, each with the file offset and time its rows count from, so
// a row keeps 32-bit distances from them and its type and flags. A block
// ends early when a distance would not fit (a long quiet spell, a hole in
// the file); a frame that starts more than 256 KiB into one packet, which
// the rows' 18 bits cannot say, is kept aside.

#include "historyindex.h"

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace History {

class EntryStore
{
public:
    std::size_t size() const { return m_size; }
    Entry operator[](std::size_t i) const;
    void push(const Entry& entry);
    void setReply(std::size_t i, Reply reply);
    void clear();
    // Closes the last block to its size: the slack of a file read to the end.
    void shrink();
    std::size_t memoryBytes() const;

private:
    struct Packed
    {
        std::uint32_t offset; // from the block's offset
        std::uint32_t us;     // from the block's time
        std::uint32_t bits;   // type 0..7, flags 8..13, offset in packet 14..31
    };
    struct Block
    {
        std::size_t first = 0;
        std::uint64_t offset = 0;
        std::int64_t us = 0;
        std::vector<Packed> rows;
    };
    const Block& blockOf(std::size_t i) const;

    std::vector<Block> m_blocks;
    std::vector<std::pair<std::size_t, std::uint32_t>> m_far; // row, offset in packet
    std::size_t m_size = 0;
    mutable std::size_t m_last = 0; // the block found last: rows are mostly read in order
};

} // namespace History
