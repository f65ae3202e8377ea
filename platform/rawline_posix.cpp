#include "rawline.h"

#include <termios.h>

namespace RawLine {

void makeRaw(struct termios& t)
{
    // cfmakeraw leaves input flow control (IXOFF, IXANY) as it was, and a
    // driver that honours it inserts or swallows 0x11 and 0x13.
    ::cfmakeraw(&t);
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~static_cast<tcflag_t>(HUPCL | CRTSCTS);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
}

void makeLink(struct termios& t)
{
    makeRaw(t);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB);
    t.c_cflag |= CS8;
    ::cfsetispeed(&t, B38400);
    ::cfsetospeed(&t, B38400);
}

} // namespace RawLine
