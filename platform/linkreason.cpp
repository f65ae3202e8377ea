#include "linkreason.h"

#include "win32api.h"

#ifndef _WIN32
#include <grp.h>
#include <sys/stat.h>
#endif

using namespace win; // the error constants are macros on Windows

namespace LinkReason {

Open serialOpen(unsigned long code)
{
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_INVALID_NAME:
        return Open::NoDevice;
    case ERROR_ACCESS_DENIED:
        return Open::PermissionDenied;
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
        return Open::InUse;
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_SUPPORTED:
        return Open::NotSerial;
    case ERROR_CANT_RESOLVE_FILENAME:
        return Open::LinkLoops;
    default:
        return Open::Other;
    }
}

std::string serialOpenText(unsigned long code, const std::string& device)
{
    switch (serialOpen(code)) {
    case Open::NoDevice:
        return "no such device";
    case Open::PermissionDenied: {
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
    case Open::InUse:
        return "in use by another program";
    case Open::NotSerial:
        return "not a serial device";
    case Open::LinkLoops:
        return "link loops";
    case Open::Other:
        break;
    }
    return "error " + std::to_string(code);
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

Lost serialLost(unsigned long code)
{
    switch (code) {
    case ERROR_GEN_FAILURE:
        // What Linux gives (EIO) for a pulled adapter and a hung-up line alike.
        return Lost::HungUp;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_COMMAND:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
    case ERROR_OPERATION_ABORTED:
        // Windows answers a pulled USB adapter's handle with one of these.
        return Lost::Removed;
    default:
        return Lost::Other;
    }
}

Lost connectionLost(int code)
{
    switch (code) {
    case 0:
    case WSAESHUTDOWN:
        return Lost::Closed;
    case WSAECONNRESET:
    case WSAECONNABORTED:
        return Lost::Reset;
    case WSAETIMEDOUT:
        return Lost::TimedOut;
    case WSAENETDOWN:
    case WSAENETUNREACH:
    case WSAEHOSTUNREACH:
        return Lost::Unreachable;
    default:
        return Lost::Other;
    }
}

std::string lostText(Lost lost, long code)
{
    switch (lost) {
    case Lost::HungUp:
        return "I/O error, the device was unplugged or hung up";
    case Lost::Removed:
        return "the device was removed";
    case Lost::Closed:
        return "device closed the connection";
    case Lost::Reset:
        return "device reset the connection";
    case Lost::TimedOut:
        return "connection timed out";
    case Lost::Unreachable:
        return "network unreachable";
    case Lost::Other:
        break;
    }
    return "error " + std::to_string(code);
}

} // namespace LinkReason
