#pragma once
// The history's texts for what the core counts and decodes: row cells,
// times, counts with thousands separators, and the window's title.

#include "historyindex.h"

#include <QString>

namespace HistoryText {

// 10000000 -> "10,000,000", whatever the locale: the title's form.
QString thousands(quint64 n);
// "Korvane 历史 — Korvane_data.csv — 10,000,000 帧"; without the count
// while the file is still being indexed (frames < 0).
QString title(const QString& fileName, qint64 frames);

// "good", "bad", "ACK", "NAK", "no reply", "malformed", "noise".
QString verdict(const History::Row& row);
// "收" for a received frame, "发" for a sent one: the status strip's words.
QString direction(History::Direction d);
// Local time of day to the microsecond: "12:34:56.789012".
QString wallTime(qint64 wallUs);
// Seconds from a reference row, signed: "+12.345678", "-0.001000".
QString relativeTime(qint64 offsetUs, qint64 referenceUs);
// A span in seconds as the selection's line shows it: "1.234567 s".
QString span(qint64 us);
// "0A FF 2E"
QString hex(const std::uint8_t* bytes, std::size_t count);
// A malformed row's text: its problem and where it is ("line 12" in a log,
// "offset 0x1a2c" in a capture).
QString problem(const History::Row& row);

// A time as typed: "12.5" or "+12.5" seconds after the first row, or a
// time of day "12:34:56" or "12:34:56.789" on the first row's day (the next
// day when that falls before the first row: a session past midnight). The
// offset from the first row in *offsetUs; false for anything else.
bool parseTime(const QString& text, qint64 firstWallUs, qint64* offsetUs);

} // namespace HistoryText
