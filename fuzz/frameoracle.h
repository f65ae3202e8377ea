#pragma once
// A second, deliberately plain decoder of the receive stream, kept apart
// from the window's own, so that the fuzz target can tell what the window
// should have done with any byte stream: which frames it shows and logs,
// and which reply byte each complete frame earns.

#include <cstdint>
#include <string>
#include <vector>

class FrameOracle
{
public:
    // Where the stream stands after the bytes fed so far; the numbers are the
    // window's decoder states.
    enum Phase { Idle = 0, Type = 1, Length = 2, Payload = 3, Checksum = 4 };

    // One frame that passed its checksum, as the log should show it.
    struct GoodFrame
    {
        std::uint8_t type;
        std::uint8_t shownLength;        // the len byte, at most 50
        std::vector<std::uint8_t> data;  // shownLength bytes
        std::uint8_t checksum;
    };

    void reset();
    void feed(std::uint8_t byte);

    const std::vector<GoodFrame>& goodFrames() const { return frames; }
    // One 0xFF or 0xF0 per complete frame, in order.
    const std::string& replies() const { return answers; }
    // The last 0xFF or 0xF0 seen between frames; 0 when there was none.
    std::uint8_t lastPeerReply() const { return peerReply; }
    Phase phase() const { return at; }
    // Data bytes taken so far by the frame in progress.
    int dataTaken() const { return static_cast<int>(body.size()) - 2; }

    // The log row of frame number `index` (1-based), with the twelve
    // characters of the time left as "hh:mm:ss,zzz".
    static std::string row(const GoodFrame& f, long index);
    // The view line of the same frame, time left as "hh:mm:ss.zzz".
    static std::string line(const GoodFrame& f, long index);

private:
    void finish(std::uint8_t checksumByte);

    Phase at = Idle;
    std::vector<std::uint8_t> body; // type, len byte as received, stored data
    int wanted = 0;                 // data bytes this frame stores
    std::vector<GoodFrame> frames;
    std::string answers;
    std::uint8_t peerReply = 0;
};
