#pragma once
// Text forms of a received frame: the line the traffic view shows and the
// comma-separated row the traffic log keeps. The row is derived from the line
// alone, so whatever the view showed is exactly what the log holds.

#include "typedata.h"

#include <QByteArray>
#include <QString>
#include <QStringView>
#include <cstdint>

namespace TrafficFormat {

// The running index of a line: 64 bits, so it only ever grows.
using LineIndex = std::uint64_t;
// Decimal digits of the largest index.
constexpr int MaxIndexDigits = 20;

// "hh:mm:ss.zzz  2E tt ll d1 .. dk ss [n]": 28 + 3k + d characters.
constexpr int MaxLineLength = 28 + 3 * LinkFrame::MaxRecordData + MaxIndexDigits;
// "hh:mm:ss,zzz,2E,tt,ll,d1,..,dk,ss,-,[n]\n": two bytes longer than its line.
constexpr int MaxRowLength = MaxLineLength + 2;

// A blank and two upper-case hex digits, high nibble first: 0x0A gives " 0A".
QString hexByte(std::uint8_t b);

// The view's line for record r with running index `index`.
QString frameLine(const TYPE_Data& r, LineIndex index);

// Writes the log row for a frame line, LF included, into out (MaxRowLength
// bytes). Returns its length, or 0 when the text is not shaped like a frame
// line (too short, too long, or without the index bracket).
int rowFromLine(QStringView line, char* out);

// The same row as a byte array, empty for text that is not a frame line.
QByteArray rowFromLine(QStringView line);

} // namespace TrafficFormat
