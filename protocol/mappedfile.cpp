#include "mappedfile.h"

#include <cerrno>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

MappedFile::~MappedFile()
{
    close();
}

#ifdef _WIN32

namespace {

std::string lastError()
{
    char text[256] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, GetLastError(), 0, text,
                   sizeof text, nullptr);
    std::string why = text;
    while (!why.empty() && (why.back() == '\n' || why.back() == '\r' || why.back() == '.'))
        why.pop_back();
    return why;
}

} // namespace

bool MappedFile::open(const std::string& path, std::string& error)
{
    close();
    m_path = path;
    const int wide = MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, nullptr, 0);
    std::wstring name(static_cast<std::size_t>(wide > 0 ? wide : 1), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, &name[0], wide);
    // Shared for writing and deleting: the tool goes on writing its log.
    HANDLE file = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = "cannot read " + path + ": " + lastError();
        return false;
    }
    m_handle = file;
    return remap(error);
}

void MappedFile::unmap()
{
    if (m_data)
        UnmapViewOfFile(m_data);
    if (m_mapping)
        CloseHandle(m_mapping);
    m_data = nullptr;
    m_mapping = nullptr;
    m_mapped = 0;
}

void MappedFile::close()
{
    unmap();
    if (m_handle)
        CloseHandle(m_handle);
    m_handle = nullptr;
}

std::uint64_t MappedFile::currentSize() const
{
    LARGE_INTEGER size{};
    if (!m_handle || !GetFileSizeEx(m_handle, &size))
        return 0;
    return static_cast<std::uint64_t>(size.QuadPart);
}

bool MappedFile::remap(std::string& error)
{
    unmap();
    const std::uint64_t size = currentSize();
    if (size == 0)
        return true;
    HANDLE mapping = CreateFileMappingW(m_handle, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (!mapping) {
        error = "cannot map " + m_path + ": " + lastError();
        return false;
    }
    void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    if (!view) {
        error = "cannot map " + m_path + ": " + lastError();
        CloseHandle(mapping);
        return false;
    }
    m_mapping = mapping;
    m_data = static_cast<const std::uint8_t*>(view);
    m_mapped = size;
    return true;
}

std::uint64_t MappedFile::nextData(std::uint64_t from) const
{
    return from;
}

#else

bool MappedFile::open(const std::string& path, std::string& error)
{
    close();
    m_path = path;
    m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (m_fd < 0) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat info{};
    if (fstat(m_fd, &info) == 0 && !S_ISREG(info.st_mode)) {
        error = "cannot read " + path + ": not a regular file";
        close();
        return false;
    }
    return remap(error);
}

void MappedFile::unmap()
{
    if (m_data)
        munmap(const_cast<std::uint8_t*>(m_data), m_mapped);
    m_data = nullptr;
    m_mapped = 0;
}

void MappedFile::close()
{
    unmap();
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

std::uint64_t MappedFile::currentSize() const
{
    struct stat info{};
    if (m_fd < 0 || fstat(m_fd, &info) != 0)
        return 0;
    return static_cast<std::uint64_t>(info.st_size);
}

bool MappedFile::remap(std::string& error)
{
    unmap();
    const std::uint64_t size = currentSize();
    if (size == 0)
        return true;
    void* map = mmap(nullptr, size, PROT_READ, MAP_SHARED, m_fd, 0);
    if (map == MAP_FAILED) {
        error = "cannot map " + m_path + ": " + std::strerror(errno);
        return false;
    }
    // Read front to back while indexing; the kernel reads ahead and drops
    // pages behind.
    madvise(map, size, MADV_SEQUENTIAL);
    m_data = static_cast<const std::uint8_t*>(map);
    m_mapped = size;
    return true;
}

std::uint64_t MappedFile::nextData(std::uint64_t from) const
{
#ifdef SEEK_DATA
    const off_t next = lseek(m_fd, static_cast<off_t>(from), SEEK_DATA);
    if (next >= 0)
        return static_cast<std::uint64_t>(next);
    // ENXIO: nothing but a hole up to the end.
    if (errno == ENXIO)
        return currentSize();
#endif
    return from;
}

#endif
