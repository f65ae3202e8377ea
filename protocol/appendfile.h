#pragma once
// A file written in whole pieces (capture blocks, log rows, printed lines),
// a batch of them at a time. When a write fails (a full disk, a file size
// limit) the file is cut back to the end of the last piece that got out in
// full and closed, so whatever reads it later never meets half a block or
// half a row. Into a pipe or FIFO only as many whole pieces are written as
// it has room for: a reader that stalls, and a process that ends meanwhile,
// never leave half a piece in it.

#include <cstddef>
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
    // reader such as Wireshark) is opened without waiting for its reader.
    bool create(const std::string& path, std::string& error);
    // Whether two names lead to one file, through links or not; false when
    // either is not there.
    static bool sameFile(const std::string& a, const std::string& b);
    // Writes to a descriptor that is already open (standard output), which
    // stays open.
    void adopt(int fd, const std::string& name);
    // Writes a batch of whole pieces. whole(n) tells how many of the batch's
    // first n bytes are whole pieces. False when the write failed: the file
    // then keeps those pieces only, is closed, and why() says why.
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
    // How much a pipe takes now without waiting: all of it when empty,
    // else less a page for the one its reader has begun.
    std::size_t pipeRoom(bool& empty) const;
    // The end of the batch's piece that starts at from.
    static std::size_t pieceEnd(std::size_t from, std::size_t size, const std::function<std::size_t(std::size_t)>& whole);

    int m_fd = -1;
    bool m_owned = true;
    bool m_pipe = false;
    bool m_regular = false;
    off_t m_whole = 0; // bytes of whole pieces so far
    std::size_t m_lastKept = 0;
    std::string m_path;
    std::string m_why;
};
