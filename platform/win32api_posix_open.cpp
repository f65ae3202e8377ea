// POSIX stand-in for CreateFileW on a serial port: which device "COMn" names,
// and the exclusive open that Windows gives a port opened with share mode 0.
#include "win32api_posix_internal.h"

#include "portnumbering.h"
#include "rawline.h"

#include <cerrno>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace win {

using namespace posixlayer;

namespace {

std::string toUtf8(LPCWSTR name)
{
    std::string out;
    for (const WCHAR* p = name; *p; ++p) {
        char32_t c = *p;
        if (c >= 0xD800 && c <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (p[1] - 0xDC00);
            ++p;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// "COMn" is whatever korvane/ports/COMn in the config directory links to
// (PortNumbering), else the n-th on-board port; an absolute path stands for
// itself.
bool devicePath(const std::string& name, std::string* path)
{
    if (name.empty())
        return false;
    if (name[0] == '/') {
        *path = name;
        return true;
    }
    if (name.size() < 4 || name.compare(0, 3, "COM") != 0 || name[3] == '0' || name.size() > 6)
        return false;
    int number = 0;
    for (std::size_t i = 3; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9')
            return false;
        number = number * 10 + (name[i] - '0');
    }
    *path = PortNumbering::openPath(number);
    return true;
}

} // namespace

HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode, SECURITY_ATTRIBUTES*,
                   DWORD creationDisposition, DWORD, HANDLE)
{
    counted(FnCreateFileW);
    std::string path;
    if (!fileName || !devicePath(toUtf8(fileName), &path)) {
        fail(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    if (creationDisposition != OPEN_EXISTING) {
        fail(ERROR_NOT_SUPPORTED);
        return INVALID_HANDLE_VALUE;
    }
    int access;
    if ((desiredAccess & GENERIC_READ) && (desiredAccess & GENERIC_WRITE))
        access = O_RDWR;
    else if (desiredAccess & GENERIC_WRITE)
        access = O_WRONLY;
    else
        access = O_RDONLY;

    int fd;
    do {
        fd = ::open(path.c_str(), access | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        fail(errorFromErrno(errno));
        return INVALID_HANDLE_VALUE;
    }

    const bool exclusive = shareMode == 0;
    int locked;
    do {
        locked = ::flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) {
        DWORD code = errno == EWOULDBLOCK ? ERROR_SHARING_VIOLATION : errorFromErrno(errno);
        ::close(fd);
        fail(code);
        return INVALID_HANDLE_VALUE;
    }

    auto* d = new Device;
    d->fd = fd;
    d->terminal = ::isatty(fd) == 1;
    d->exclusive = exclusive;
    if (d->terminal) {
        if (exclusive)
            ioctlRetry(fd, TIOCEXCL, nullptr);
        struct termios t;
        if (tcgetattrRetry(fd, &t) == 0) {
            RawLine::makeRaw(t);
            tcsetattrRetry(fd, &t);
        }
    }
    addObject(d);
    return d;
}

} // namespace win
