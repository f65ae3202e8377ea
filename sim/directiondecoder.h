#pragma once
// One direction of a monitored link (A>B or B>A), read the way the tool
// reads it: frames with their checksum verdict (50 data bytes kept at most,
// the next byte taken as the checksum), lone ACK/NAK replies between frames
// and noise. It prints one line per event and counts them; good frames also
// go to the log.
//   12:34:56.789 A>B  2E 01 02 0A FF F3 [1]     " bad" added when the checksum fails
//   12:34:56.789 B>A  reply FF
//   12:34:56.789 A>B  noise 3: 00 11 22         (the first 16 bytes of a run shown)
// A frame's time is that of the read that brought its start byte; a reply's
// and a noise run's, that of the read they came in.

#include "framedecoder.h"

#include <cstdint>
#include <string>

class MonitorLog;

struct DirectionStats
{
    std::uint64_t frames = 0;     // good and bad
    std::uint64_t bad = 0;
    std::uint64_t replies = 0;
    std::uint64_t noiseBytes = 0;
    std::uint64_t bytes = 0;      // read from the sending line
};

class DirectionDecoder : public FrameSink
{
public:
    // name: "A>B"; key: "ab", the prefix of its stats fields. log may be null.
    DirectionDecoder(std::string name, std::string key, bool quiet, MonitorLog* log);

    void feed(const std::uint8_t* bytes, std::size_t count, std::int64_t wallNs);
    const DirectionStats& stats() const { return m_stats; }
    // "ab_frames=.. ab_bad=.. ab_replies=.. ab_noise_bytes=.. ab_bytes=.. ab_dropped=.."
    std::string statsFields(std::uint64_t dropped) const;

private:
    void frameReceived(const ReceivedFrame& frame) override;
    void replyReceived(std::uint8_t reply) override;
    void noiseReceived(std::uint8_t byte) override;
    // Prints the noise run that has ended (or that this read ended with).
    void endNoise();
    std::string lineStart(std::int64_t wallNs) const;

    std::string m_name;
    std::string m_key;
    bool m_quiet;
    MonitorLog* m_log;
    FrameDecoder m_decoder;
    DirectionStats m_stats;
    std::int64_t m_now = 0;
    std::uint64_t m_noiseRun = 0;
    std::string m_noiseShown;
    std::string m_line;
};
