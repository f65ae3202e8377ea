#include "trafficformat.h"

#include <QTime>

namespace TrafficFormat {

namespace {

constexpr char16_t HexDigits[] = u"0123456789ABCDEF";

inline char16_t* putHexByte(char16_t* p, std::uint8_t b)
{
    *p++ = u' ';
    *p++ = HexDigits[b >> 4];
    *p++ = HexDigits[b & 0x0F];
    return p;
}

inline char16_t* putTwoDigits(char16_t* p, int v)
{
    *p++ = static_cast<char16_t>(u'0' + v / 10);
    *p++ = static_cast<char16_t>(u'0' + v % 10);
    return p;
}

inline char16_t* putDecimal(char16_t* p, LineIndex u)
{
    char16_t digits[MaxIndexDigits];
    int n = 0;
    do {
        digits[n++] = static_cast<char16_t>(u'0' + u % 10);
        u /= 10;
    } while (u != 0);
    while (n > 0)
        *p++ = digits[--n];
    return p;
}

} // namespace

QString hexByte(std::uint8_t b)
{
    char16_t buf[3];
    putHexByte(buf, b);
    return QString(reinterpret_cast<const QChar*>(buf), 3);
}

QString frameLine(const TYPE_Data& r, LineIndex index)
{
    char16_t buf[MaxLineLength];
    char16_t* p = buf;

    // The time is formatted by hand: QDateTime::toString costs more than the
    // whole rest of the line. A record without a time (never filled) prints
    // as midnight so the line keeps its fixed layout.
    const QTime t = r.time.time();
    const bool valid = t.isValid();
    p = putTwoDigits(p, valid ? t.hour() : 0);
    *p++ = u':';
    p = putTwoDigits(p, valid ? t.minute() : 0);
    *p++ = u':';
    p = putTwoDigits(p, valid ? t.second() : 0);
    *p++ = u'.';
    const int ms = valid ? t.msec() : 0;
    *p++ = static_cast<char16_t>(u'0' + ms / 100);
    p = putTwoDigits(p, ms % 100);

    *p++ = u' ';
    p = putHexByte(p, LinkFrame::StartByte);
    p = putHexByte(p, r.type);
    p = putHexByte(p, r.len);
    const int k = r.len < LinkFrame::MaxRecordData ? r.len : LinkFrame::MaxRecordData;
    for (int i = 0; i < k; ++i)
        p = putHexByte(p, r.data[i]);
    p = putHexByte(p, r.sum);
    *p++ = u' ';
    *p++ = u'[';
    p = putDecimal(p, index);
    *p++ = u']';
    return QString(reinterpret_cast<const QChar*>(buf), p - buf);
}

int rowFromLine(QStringView line, char* out)
{
    const qsizetype n = line.size();
    if (n < 13 || n > MaxLineLength)
        return 0;
    const qsizetype bracket = line.lastIndexOf(u'[');
    if (bracket < 13)
        return 0;

    char* p = out;
    for (qsizetype i = 0; i < 12; ++i)
        *p++ = i == 8 ? ',' : line[i].toLatin1();
    // Index 12 is the first of the two blanks after the time; the second one
    // becomes the comma after the milliseconds.
    for (qsizetype i = 13; i < n; ++i) {
        if (i == bracket) {
            *p++ = '-';
            *p++ = ',';
        }
        const char16_t c = line[i].unicode();
        *p++ = c == u' ' ? ',' : line[i].toLatin1();
    }
    *p++ = '\n';
    return static_cast<int>(p - out);
}

QByteArray rowFromLine(QStringView line)
{
    char buf[MaxRowLength];
    const int n = rowFromLine(line, buf);
    return QByteArray(buf, n);
}

} // namespace TrafficFormat
