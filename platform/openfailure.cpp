#include "openfailure.h"

#include "win32api.h"

#ifndef _WIN32
#include <grp.h>
#include <sys/stat.h>
#endif

using namespace win; // the error constants are macros on Windows

namespace OpenFailure {

Reason serialReason(unsigned long code)
{
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_INVALID_NAME:
        return Reason::NoDevice;
    case ERROR_ACCESS_DENIED:
        return Reason::PermissionDenied;
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
        return Reason::InUse;
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_SUPPORTED:
        return Reason::NotSerial;
    case ERROR_CANT_RESOLVE_FILENAME:
        return Reason::LinkLoops;
    default:
        return Reason::Other;
    }
}

std::string serialText(unsigned long code, const std::string& device)
{
    switch (serialReason(code)) {
    case Reason::NoDevice:
        return "no such device";
    case Reason::PermissionDenied: {
#ifdef _WIN32
        // Windows says this of a port that another program holds, far more
        // often than of one the user may not open at all.
        (void)device;
        return "access denied; another program may be holding the port";
#else
        const std::string group = owningGroup(device);
        if (group.empty())
            return "permission denied";
        return "permission denied; add your user to the group " + group + " that owns it (sudo usermod -aG " + group
            + " $USER) and log in again";
#endif
    }
    case Reason::InUse:
        return "in use by another program";
    case Reason::NotSerial:
        return "not a serial device";
    case Reason::LinkLoops:
        return "link loops";
    case Reason::Other:
        break;
    }
    return "error " + std::to_string(code);
}

std::string connectText(int code)
{
    switch (code) {
    case WSAECONNREFUSED:
        return "connection refused";
    case WSAENETUNREACH:
    case WSAEHOSTUNREACH:
        return "network unreachable";
    case WSAETIMEDOUT:
        return "connection timed out";
    case 0:
        return "connection failed";
    default:
        return "error " + std::to_string(code);
    }
}

std::string owningGroup(const std::string& device)
{
#ifdef _WIN32
    (void)device;
    return {};
#else
    struct stat st;
    if (::stat(device.c_str(), &st) != 0)
        return {};
    if (const group* g = ::getgrgid(st.st_gid))
        return g->gr_name;
    return std::to_string(st.st_gid);
#endif
}

} // namespace OpenFailure
