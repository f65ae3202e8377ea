#pragma once
// A file written in whole pieces (capture blocks, log rows, printed lines),
// a batch of them at a time. When a write fails (a full disk, a file size
// limit) the file is cut back to the end of the last piece that got out in
// full and closed, so whatever reads it later never meets half a block or
// half a row. Into a pipe or FIFO only as many whole pieces are written as
// it has room for: a reader that stalls, and a process that ends meanwhile,
// never leave half a piece in it. A FIFO is written only while it has a
// reader, and every new reader gets the preamble first (a capture's section
// header and interface), so that what it reads is whole from its first byte.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <sys/types.h>

class AppendFile
{
public:
    AppendFile() = default;
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;
    ~AppendFile();

    // Creates the file, or empties one that is there, once it holds the
    // lock that the tool takes on its own log: a file that another running
    // Korvane program writes is refused and left as it is. A FIFO (a live
    // reader such as Wireshark) is not waited for: the writes wait for a
    // reader, and while there is none the pieces wait in their spool.
    bool create(const std::string& path, std::string& error);
    // What each reader of a FIFO gets before anything else; set before the
    // first write.
    void setPreamble(const std::string& preamble) { m_preamble = preamble; }
    bool isFifo() const { return m_fifo; }
    // How often the writer of a FIFO calls write() with nothing, so that a
    // reader that left is let go of and a new one gets its preamble at once.
    static constexpr std::int64_t TendNs = 50000000;
    // Whether two names lead to one file, through links or not; false when
    // either is not there.
    static bool sameFile(const std::string& a, const std::string& b);
    // Closes the file and, when create() made it, removes it again: a run
    // that is refused leaves no file behind.
    void discard();
    // Writes to a descriptor that is already open (standard output), which
    // stays open.
    void adopt(int fd, const std::string& name);
    // Writes a batch of whole pieces. whole(n) tells how many of the batch's
    // first n bytes are whole pieces. False when the write failed: the file
    // then keeps those pieces only, is closed, and why() says why. An empty
    // batch tends a FIFO.
    bool write(const void* data, std::size_t size, const std::function<std::size_t(std::size_t)>& whole);
    // Of the last batch, the bytes that are in the file.
    std::size_t lastKept() const { return m_lastKept; }

    bool isOpen() const { return m_fd >= 0; }
    // A regular file, which takes every write at once; not a pipe, FIFO or
    // terminal, whose reader may stall.
    bool isRegular() const { return m_regular; }
    const std::string& path() const { return m_path; }
    const std::string& why() const { return m_why; }

private:
    void close();
    enum class Reader { None, Ready, Refused };
    bool createFifo(std::string& error);
    // Opens a FIFO for writing once it has a reader, and writes the preamble.
    Reader connect();
    // Lets go of a FIFO whose reader left, or connects to a new one; false
    // when another program took it meanwhile.
    bool tend();
    // How much a pipe takes now without waiting: all of it when empty,
    // else less a page for the one its reader has begun.
    std::size_t pipeRoom(bool& empty) const;
    // The end of the batch's piece that starts at from.
    static std::size_t pieceEnd(std::size_t from, std::size_t size, const std::function<std::size_t(std::size_t)>& whole);

    int m_fd = -1;
    bool m_owned = true;
    bool m_pipe = false;
    bool m_regular = false;
    bool m_created = false; // not there before create()
    bool m_fifo = false;    // named by its path: readers come and go
    std::string m_preamble;
    off_t m_whole = 0; // bytes of whole pieces so far
    std::size_t m_lastKept = 0;
    std::string m_path;
    std::string m_why;
};
