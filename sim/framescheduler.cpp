// Paced frame generation for the simulated device.
#include "framescheduler.h"

#include "linkframe.h"

#include <cmath>

namespace {

constexpr std::int64_t Million = 1000000;
constexpr std::int64_t MaxLateNs = 1000000000LL;

std::int64_t toPpm(double share)
{
    return static_cast<std::int64_t>(std::llround(share * static_cast<double>(Million)));
}

} // namespace

FrameScheduler::FrameScheduler(const ScheduleOptions& options)
    : m_options(options)
    , m_badPpm(toPpm(options.badShare))
    , m_noisePpm(toPpm(options.noiseShare))
    , m_random(options.seed)
{
    m_frame.reserve(300);
}

bool FrameScheduler::finished() const
{
    if (!hasWork() || m_expired)
        return true;
    if (m_options.count >= 0 && m_next >= m_options.count)
        return true;
    if (m_options.duration >= 0 && m_options.rate > 0
        && static_cast<double>(offsetOf(m_next)) >= m_options.duration * 1e9)
        return true;
    return false;
}

void FrameScheduler::start(std::int64_t nowNs)
{
    if (m_running)
        return;
    // Resuming shifts the whole timetable, so a pause is not made up in a burst.
    m_base = nowNs - offsetOf(m_next);
    m_running = true;
}

std::int64_t FrameScheduler::offsetOf(std::int64_t index) const
{
    if (m_options.rate <= 0)
        return 0;
    // Computed from the index each time, never by adding up periods, so
    // rounding cannot accumulate into drift.
    return static_cast<std::int64_t>(std::llround(static_cast<long double>(index) * 1e9L / m_options.rate));
}

std::int64_t FrameScheduler::nextDeadline() const
{
    if (!m_running || finished())
        return -1;
    return m_base + offsetOf(m_next);
}

bool FrameScheduler::takeShare(std::int64_t& accumulator, std::int64_t sharePpm)
{
    // Error diffusion: exactly share * n of n frames, spread evenly.
    accumulator += sharePpm;
    if (accumulator >= Million) {
        accumulator -= Million;
        return true;
    }
    return false;
}

void FrameScheduler::emitDue(std::int64_t nowNs, OutQueue& queue, std::size_t queueLimit)
{
    if (!m_running)
        return;
    // Short stalls are made up so the average rate holds; after a long one
    // (the tool stopped reading) the timetable moves on instead of firing a
    // burst of stale frames. No frame is skipped either way.
    if (m_options.rate > 0 && nowNs - (m_base + offsetOf(m_next)) > MaxLateNs)
        m_base = nowNs - offsetOf(m_next);
    // The duration counts from the first frame; unpaced runs measure it on the clock.
    if (m_options.duration >= 0 && m_options.rate <= 0
        && static_cast<double>(nowNs - m_base) >= m_options.duration * 1e9)
        m_expired = true;
    while (!finished() && queue.pending() < queueLimit && m_base + offsetOf(m_next) <= nowNs) {
        const FrameTemplate& tmpl = m_options.frames[static_cast<std::size_t>(m_next % static_cast<std::int64_t>(m_options.frames.size()))];
        std::vector<std::uint8_t> data = tmpl.data;
        if (m_options.number) {
            if (data.size() < 4)
                data.resize(4, 0);
            const auto seq = static_cast<std::uint32_t>(m_next);
            data[0] = static_cast<std::uint8_t>(seq >> 24);
            data[1] = static_cast<std::uint8_t>(seq >> 16);
            data[2] = static_cast<std::uint8_t>(seq >> 8);
            data[3] = static_cast<std::uint8_t>(seq);
        }
        if (data.size() > 255)
            data.resize(255);
        const auto len = static_cast<std::uint8_t>(data.size());
        m_frame.resize(data.size() + LinkFrame::Overhead);
        LinkFrame::encode(tmpl.type, len, data.data(), m_frame.data());
        const bool bad = takeShare(m_badAcc, m_badPpm);
        if (bad)
            m_frame.back() = static_cast<std::uint8_t>(m_frame.back() + 1);
        queue.push(m_frame.data(), m_frame.size(), bad ? ChunkKind::BadFrame : ChunkKind::Frame, m_next);

        if (takeShare(m_noiseAcc, m_noisePpm)) {
            std::uniform_int_distribution<int> length(1, m_options.noiseMax);
            std::uniform_int_distribution<int> value(0, 255);
            std::vector<std::uint8_t> noise(static_cast<std::size_t>(length(m_random)));
            for (auto& byte : noise) {
                // Noise must never look like a start byte or a reply.
                do
                    byte = static_cast<std::uint8_t>(value(m_random));
                while (byte == LinkFrame::StartByte || byte == LinkFrame::Ack || byte == LinkFrame::Nak);
            }
            queue.push(noise.data(), noise.size(), ChunkKind::Noise);
        }
        ++m_next;
    }
}
