#pragma once
// Everything the simulator prints. Standard output carries one event per
// line, handed on as it is written, so a test or script can follow along;
// a thread of its own writes it (outputspool.h), and while nobody reads it,
// lines beyond a bound are dropped, counted and said once it is read again:
//   ready COM3 /dev/pts/4 | ready 0.0.0.0:4500
//   connected | disconnected            (TCP client came/went; serial: the tool opened/closed COMn)
//   hangup                              (serial, after "close"/"rst", before the new ready line)
//   12:34:56.789  2E 01 02 0A FF F3 [1]      a received frame, " bad" appended on a checksum error
//   reply FF | reply F0                 a reply byte received between frames
//   stats sent=.. sent_bad=.. noise_bytes=.. rx_good=.. rx_bad=.. acks=.. naks=.. bytes_in=.. bytes_out=..
//         bytes_flushed=.. lines_dropped=.. [replay_rows=.. skipped_rows=..]   (with --replay)
//   (bytes_flushed: bytes for the tool thrown away when it closed COMn with
//   them unread, as a real port drops them)
//   lost /dev/ttyUSB1: why | back /dev/ttyUSB1    (--device went away / came back)
// Complaints go to standard error, prefixed "korvane-sim: ".

#include "framedecoder.h"

#include <cstdint>
#include <string>

struct SimStats
{
    std::uint64_t sent = 0;       // frames fully written, good and bad
    std::uint64_t sentBad = 0;    // of those, with a corrupted checksum
    std::uint64_t noiseBytes = 0; // noise bytes written between frames
    std::uint64_t rxGood = 0;
    std::uint64_t rxBad = 0;
    std::uint64_t acks = 0;       // 0xFF replies received from the tool
    std::uint64_t naks = 0;       // 0xF0 replies received from the tool
    std::uint64_t bytesIn = 0;
    std::uint64_t bytesOut = 0;
    std::uint64_t bytesFlushed = 0; // waiting for the tool when it closed COMn
    bool replay = false;          // --replay: the log's counts follow
    std::uint64_t replayRows = 0; // frame rows read from the log
    std::uint64_t skippedRows = 0; // rows that did not parse
};

namespace Report {

// How printed lines reach standard output: each as it is printed, or
// gathered until flush() (the monitor, which prints a line for nearly every
// read and so hands them on a few times a second instead).
enum class Flush { EachLine, WhenAsked };

// Sets standard output up; call before anything is printed on it.
void setUp(Flush flush = Flush::EachLine);
void line(const std::string& text);
// Hands gathered lines on.
void flush();
// Lines to hand on, still to be written, or dropped and not yet said.
bool pending();
// Hands everything on and waits until it is written, at most until the
// monotonic deadline; at the end of a run.
void finish(std::int64_t deadlineNs);
// Lines dropped so far because standard output was not read.
std::uint64_t droppedLines();
void error(const std::string& text);

// " 2E tt ll dd.. ss [index]" and " bad" for a failed checksum.
std::string frameBytes(const ReceivedFrame& frame, std::uint64_t index);
void appendFrameBytes(std::string& text, const ReceivedFrame& frame, std::uint64_t index);
// "hh:mm:ss.zzz  2E tt ll dd.. ss [index]" and " bad" for a failed checksum.
std::string frameLine(const ReceivedFrame& frame, std::uint64_t index);
std::string replyLine(std::uint8_t reply);
std::string statsLine(const SimStats& stats);

} // namespace Report
