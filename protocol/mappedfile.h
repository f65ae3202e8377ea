#pragma once
// A file read through a read-only memory map, which can be mapped again as
// the file grows; POSIX mmap or a Windows file mapping. Another program may
// go on writing the file, and may cut it short: currentSize() says so
// before a read past the new end would fault.

#include <cstdint>
#include <string>

class MappedFile
{
public:
    MappedFile() = default;
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    ~MappedFile();

    bool open(const std::string& path, std::string& error);
    void close();
    // Maps the file as long as it is now (which may be 0: nothing mapped).
    bool remap(std::string& error);
    const std::uint8_t* data() const { return m_data; }
    std::uint64_t mappedSize() const { return m_mapped; }
    // The file's length now, which another program may have changed.
    std::uint64_t currentSize() const;
    // The first offset at or after `from` that is not in a hole of a sparse
    // file (where the system can tell; otherwise `from`).
    std::uint64_t nextData(std::uint64_t from) const;
    const std::string& path() const { return m_path; }

private:
    void unmap();

    std::string m_path;
    const std::uint8_t* m_data = nullptr;
    std::uint64_t m_mapped = 0;
#ifdef _WIN32
    void* m_handle = nullptr;
    void* m_mapping = nullptr;
#else
    int m_fd = -1;
#endif
};
