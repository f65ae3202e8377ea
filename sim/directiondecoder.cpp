// One direction of the monitor, decoded and printed.
#include "directiondecoder.h"

#include "hexbytes.h"
#include "linkframe.h"
#include "monitorlog.h"
#include "monoclock.h"
#include "report.h"

namespace {

constexpr std::uint64_t NoiseShown = 16; // bytes of a noise run put on its line

} // namespace

DirectionDecoder::DirectionDecoder(std::string name, std::string key, bool quiet, MonitorLog* log)
    : m_name(std::move(name))
    , m_key(std::move(key))
    , m_quiet(quiet)
    , m_log(log)
    , m_decoder(*this, LinkFrame::MaxRecordData)
{
}

void DirectionDecoder::feed(const std::uint8_t* bytes, std::size_t count, std::int64_t wallNs)
{
    m_now = wallNs;
    m_stats.bytes += count;
    m_decoder.feed(bytes, count, wallNs);
    endNoise();
}

std::string DirectionDecoder::lineStart(std::int64_t wallNs) const
{
    return SimClock::timeOfDay(wallNs) + ' ' + m_name + ' ';
}

void DirectionDecoder::frameReceived(const ReceivedFrame& frame)
{
    endNoise();
    ++m_stats.frames;
    if (!frame.good)
        ++m_stats.bad;
    if (!m_quiet) {
        // Into a buffer that is kept: thousands of lines a second.
        m_line = SimClock::timeOfDay(frame.startWallNs);
        m_line += ' ';
        m_line += m_name;
        m_line += ' ';
        Report::appendFrameBytes(m_line, frame, m_stats.frames);
        Report::line(m_line);
    }
    if (frame.good && m_log && m_log->active())
        m_log->row(frame, m_stats.frames, m_name.c_str());
}

void DirectionDecoder::replyReceived(std::uint8_t reply)
{
    endNoise();
    ++m_stats.replies;
    if (!m_quiet)
        Report::line(lineStart(m_now) + ' ' + Report::replyLine(reply));
}

void DirectionDecoder::noiseReceived(std::uint8_t byte)
{
    ++m_stats.noiseBytes;
    if (m_noiseRun++ < NoiseShown)
        HexBytes::append(m_noiseShown, &byte, 1);
}

void DirectionDecoder::endNoise()
{
    if (m_noiseRun == 0)
        return;
    if (!m_quiet)
        Report::line(lineStart(m_now) + " noise " + std::to_string(m_noiseRun) + ":" + m_noiseShown
                     + (m_noiseRun > NoiseShown ? " ..." : ""));
    m_noiseRun = 0;
    m_noiseShown.clear();
}

std::string DirectionDecoder::statsFields(std::uint64_t dropped) const
{
    const std::string& k = m_key;
    return k + "_frames=" + std::to_string(m_stats.frames) + ' ' + k + "_bad=" + std::to_string(m_stats.bad) + ' ' + k
        + "_replies=" + std::to_string(m_stats.replies) + ' ' + k + "_noise_bytes=" + std::to_string(m_stats.noiseBytes)
        + ' ' + k + "_bytes=" + std::to_string(m_stats.bytes) + ' ' + k + "_dropped=" + std::to_string(dropped);
}
