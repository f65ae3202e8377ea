#pragma once
// The terminal settings of a serial line that carries the link, shared by
// the tool's own open and the device simulator's lines, so that both ends
// treat every byte the same. POSIX only.

struct termios;

namespace RawLine {

// Binary-transparent: every byte passes unchanged both ways, nothing is
// echoed or translated, no byte means flow control (IXON, IXOFF and IXANY
// off), no parity check, the modem lines are ignored and stay up when the
// port closes; a read returns each byte as it comes.
void makeRaw(struct termios& t);

// makeRaw, at the link's 38400 baud, 8 data bits, no parity, one stop bit:
// the line as the tool's open of a port leaves it.
void makeLink(struct termios& t);

} // namespace RawLine
