// POSIX stand-ins for the Win32 calls that set up a serial line and report on
// it: SetCommTimeouts, GetCommState and SetCommState mapped onto termios,
// SetupComm, and ClearCommError's count of waiting bytes.
#include "win32api_posix_internal.h"

#include "rawline.h"

#include <cerrno>

#include <sys/ioctl.h>
#include <termios.h>

namespace win {
namespace posixlayer {

int tcgetattrRetry(int fd, struct termios* t)
{
    int r;
    do {
        r = ::tcgetattr(fd, t);
    } while (r != 0 && errno == EINTR);
    return r;
}

int tcsetattrRetry(int fd, const struct termios* t)
{
    int r;
    do {
        r = ::tcsetattr(fd, TCSANOW, t);
    } while (r != 0 && errno == EINTR);
    return r;
}

namespace {

struct Speed {
    DWORD baud;
    speed_t code;
};

const Speed speeds[] = {
    {110, B110}, {300, B300}, {600, B600}, {1200, B1200}, {2400, B2400}, {4800, B4800},
    {9600, B9600}, {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200},
    {230400, B230400}, {460800, B460800}, {921600, B921600},
};

bool speedCode(DWORD baud, speed_t* code)
{
    for (const Speed& s : speeds) {
        if (s.baud == baud) {
            *code = s.code;
            return true;
        }
    }
    return false;
}

DWORD baudOf(speed_t code)
{
    for (const Speed& s : speeds) {
        if (s.code == code)
            return s.baud;
    }
    return 0;
}

} // namespace
} // namespace posixlayer

using namespace posixlayer;

BOOL SetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts)
{
    counted(FnSetCommTimeouts);
    Device* d = lookupDevice(file);
    if (!d)
        return kFalse;
    if (!timeouts) {
        fail(ERROR_INVALID_PARAMETER);
        return kFalse;
    }
    d->timeouts = *timeouts;
    return kTrue;
}

BOOL GetCommState(HANDLE file, DCB* dcb)
{
    counted(FnGetCommState);
    Device* d = lookupDevice(file);
    if (!d)
        return kFalse;
    if (!dcb) {
        fail(ERROR_INVALID_PARAMETER);
        return kFalse;
    }
    struct termios t;
    if (tcgetattrRetry(d->fd, &t) != 0) {
        fail(errorFromErrno(errno));
        return kFalse;
    }
    DWORD length = dcb->DCBlength;
    *dcb = DCB{};
    dcb->DCBlength = length;
    dcb->BaudRate = baudOf(::cfgetospeed(&t));
    dcb->fBinary = 1;
    dcb->fParity = (t.c_iflag & INPCK) ? 1 : 0;
    dcb->fOutxCtsFlow = (t.c_cflag & CRTSCTS) ? 1 : 0;
    dcb->fDtrControl = DTR_CONTROL_ENABLE;
    dcb->fOutX = (t.c_iflag & IXON) ? 1 : 0;
    dcb->fInX = (t.c_iflag & IXOFF) ? 1 : 0;
    dcb->fRtsControl = (t.c_cflag & CRTSCTS) ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    switch (t.c_cflag & CSIZE) {
    case CS5: dcb->ByteSize = 5; break;
    case CS6: dcb->ByteSize = 6; break;
    case CS7: dcb->ByteSize = 7; break;
    default: dcb->ByteSize = 8; break;
    }
    if (!(t.c_cflag & PARENB))
        dcb->Parity = NOPARITY;
    else
        dcb->Parity = (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
    dcb->StopBits = (t.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
    dcb->XonChar = static_cast<char>(t.c_cc[VSTART]);
    dcb->XoffChar = static_cast<char>(t.c_cc[VSTOP]);
    return kTrue;
}

BOOL SetCommState(HANDLE file, DCB* dcb)
{
    counted(FnSetCommState);
    Device* d = lookupDevice(file);
    if (!d)
        return kFalse;
    speed_t speed;
    if (!dcb || !speedCode(dcb->BaudRate, &speed) || dcb->ByteSize < 5 || dcb->ByteSize > 8
        || dcb->Parity > EVENPARITY || (dcb->StopBits != ONESTOPBIT && dcb->StopBits != TWOSTOPBITS)) {
        fail(ERROR_INVALID_PARAMETER);
        return kFalse;
    }
    struct termios t;
    if (tcgetattrRetry(d->fd, &t) != 0) {
        fail(errorFromErrno(errno));
        return kFalse;
    }
    RawLine::makeRaw(t);
    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB);
    t.c_cflag |= sizes[dcb->ByteSize - 5];
    if (dcb->Parity != NOPARITY) {
        t.c_cflag |= PARENB;
        if (dcb->Parity == ODDPARITY)
            t.c_cflag |= PARODD;
        if (dcb->fParity)
            t.c_iflag |= INPCK;
    }
    if (dcb->StopBits == TWOSTOPBITS)
        t.c_cflag |= CSTOPB;
    if (dcb->fOutxCtsFlow || dcb->fRtsControl == RTS_CONTROL_HANDSHAKE)
        t.c_cflag |= CRTSCTS;
    if (dcb->fOutX)
        t.c_iflag |= IXON;
    if (dcb->fInX)
        t.c_iflag |= IXOFF;
    if (dcb->XonChar)
        t.c_cc[VSTART] = static_cast<cc_t>(dcb->XonChar);
    if (dcb->XoffChar)
        t.c_cc[VSTOP] = static_cast<cc_t>(dcb->XoffChar);
    ::cfsetispeed(&t, speed);
    ::cfsetospeed(&t, speed);
    if (tcsetattrRetry(d->fd, &t) != 0) {
        fail(errorFromErrno(errno));
        return kFalse;
    }
    return kTrue;
}

BOOL SetupComm(HANDLE file, DWORD, DWORD)
{
    counted(FnSetupComm);
    // The kernel's tty queues have fixed sizes; the request is accepted as it stands.
    return lookupDevice(file) ? kTrue : kFalse;
}

BOOL ClearCommError(HANDLE file, DWORD* errors, COMSTAT* stat)
{
    counted(FnClearCommError);
    if (errors)
        *errors = 0;
    if (stat)
        *stat = COMSTAT{};
    Device* d = lookupDevice(file);
    if (!d)
        return kFalse;
    pumpWrite(*d);
    int waiting = 0;
    if (ioctlRetry(d->fd, FIONREAD, &waiting) != 0) {
        // A line whose far end has hung up has nothing waiting.
        fail(errorFromErrno(errno));
        return kFalse;
    }
    if (stat) {
        stat->cbInQue = waiting > 0 ? static_cast<DWORD>(waiting) : 0;
        int queued = 0;
        if (d->terminal && ioctlRetry(d->fd, TIOCOUTQ, &queued) == 0 && queued > 0)
            stat->cbOutQue = static_cast<DWORD>(queued);
        if (d->writePending)
            stat->cbOutQue += static_cast<DWORD>(d->unsent.size() - d->sent);
    }
    return kTrue;
}

} // namespace win

namespace win {

BOOL PurgeComm(HANDLE file, DWORD flags)
{
    counted(FnPurgeComm);
    Device* d = lookupDevice(file);
    if (!d)
        return kFalse;
    if ((flags & (PURGE_TXABORT | PURGE_TXCLEAR)) != 0 && d->writePending)
        finishWrite(*d, ERROR_OPERATION_ABORTED);
    const bool in = (flags & PURGE_RXCLEAR) != 0;
    const bool out = (flags & PURGE_TXCLEAR) != 0;
    if (d->terminal && (in || out) && ::tcflush(d->fd, in && out ? TCIOFLUSH : in ? TCIFLUSH : TCOFLUSH) != 0) {
        fail(errorFromErrno(errno));
        return kFalse;
    }
    return kTrue;
}

} // namespace win
