#pragma once
// The record that one received frame is decoded into.

#include "linkframe.h"

#include <QDateTime>
#include <cstdint>

// One received frame, filled in place in the window's receive ring and lent to
// the traffic display by pointer for the length of one call.
struct TYPE_Data
{
    QDateTime time;     // local time at which the start byte was decoded
    std::uint8_t type;
    std::uint8_t len;   // valid bytes in data: the len byte, cut to 50
    std::uint8_t data[LinkFrame::MaxRecordData];
    std::uint8_t sum;   // running sum while decoding; the checksum once delivered
};
