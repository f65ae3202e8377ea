#pragma once
// A file written in whole pieces (capture blocks, log rows), a batch of
// them at a time. When a write fails (a full disk, a file size limit) the
// file is cut back to the end of the last piece that got out in full and
// closed, so whatever reads it later never meets half a block or half a row.

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

    // Creates the file, or empties one that is there.
    bool create(const std::string& path, std::string& error);
    // Writes a batch of whole pieces. whole(n) tells how many of the batch's
    // first n bytes are whole pieces. False when the write failed: the file
    // then keeps those pieces only, is closed, and why() says why.
    bool write(const void* data, std::size_t size, const std::function<std::size_t(std::size_t)>& whole);

    bool isOpen() const { return m_fd >= 0; }
    const std::string& path() const { return m_path; }
    const std::string& why() const { return m_why; }

private:
    void close();

    int m_fd = -1;
    off_t m_whole = 0; // bytes of whole pieces so far
    std::string m_path;
    std::string m_why;
};
