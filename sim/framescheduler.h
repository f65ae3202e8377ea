#pragma once
// The frames the device sends on its own: the command line's templates in
// turn, once each or paced at a rate against absolute deadlines on the
// monotonic clock (late frames are made up for up to a second), with an exact share of corrupted checksums, runs of noise
// between frames and, on request, a sequence number in the first four data
// bytes.

#include "framesource.h"

#include <cstdint>
#include <random>
#include <vector>

struct FrameTemplate
{
    std::uint8_t type = 0x01;
    std::vector<std::uint8_t> data;
};

struct ScheduleOptions
{
    std::vector<FrameTemplate> frames;
    double rate = 0;          // frames per second; 0 sends as fast as the link takes them
    std::int64_t count = -1;  // frames in all; -1 without limit
    double duration = -1;     // seconds of sending; -1 without limit
    double badShare = 0;      // 0..1 of frames with a wrong checksum
    double noiseShare = 0;    // 0..1 of frames followed by a noise run
    int noiseMax = 8;         // noise runs are 1..noiseMax bytes
    bool number = false;      // sequence number in data[0..3], big-endian
    std::uint64_t seed = 1;
};

class FrameScheduler : public FrameSource
{
public:
    explicit FrameScheduler(const ScheduleOptions& options);

    bool hasWork() const override { return !m_options.frames.empty() && m_options.count != 0; }
    bool running() const override { return m_running; }
    bool finished() const override;
    bool paced() const override { return m_options.rate > 0; }

    void start(std::int64_t nowNs) override;
    void pause() override { m_running = false; }

    // A loop up to a second late catches up, so the average rate holds;
    // beyond that the timetable is moved.
    void emitDue(std::int64_t nowNs, OutQueue& queue, std::size_t queueLimit) override;
    std::int64_t nextDeadline() const override;

    std::int64_t framesQueued() const { return m_next; }

private:
    std::int64_t offsetOf(std::int64_t index) const;
    bool takeShare(std::int64_t& accumulator, std::int64_t sharePpm);

    ScheduleOptions m_options;
    bool m_running = false;
    bool m_expired = false;       // an unpaced run used up its duration
    std::int64_t m_base = 0;      // monotonic time of frame index 0
    std::int64_t m_next = 0;      // index of the next frame to queue
    std::int64_t m_badAcc = 0;
    std::int64_t m_noiseAcc = 0;
    std::int64_t m_badPpm = 0;
    std::int64_t m_noisePpm = 0;
    std::mt19937_64 m_random;
    std::vector<std::uint8_t> m_frame;
};
