#pragma once
// A file written in whole pieces (a capture block, a batch of log rows).
// Each piece goes out in full; when a write fails (a full disk, a file size
// limit) the file is cut back to the end of the last whole piece and closed,
// so whatever reads it later never meets half a block or half a row.

#include <cstddef>
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
    // False when this write failed: the file is then closed and why() says why.
    bool write(const void* data, std::size_t size);

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
