#pragma once
// Sends the frames of a traffic log again, each at its row's time offset
// from the first, scaled by a speed factor (0: as fast as the link takes
// them). Offsets are absolute deadlines from the start, so a link slower
// than the log catches up as soon as it can; a pause (the tool went away)
// moves the rest of the timetable.

#include "framesource.h"
#include "trafficlog.h"

class LogReplay : public FrameSource
{
public:
    LogReplay(std::vector<TrafficLog::Row> rows, double speed);

    bool hasWork() const override { return !m_rows.empty(); }
    bool running() const override { return m_running; }
    bool finished() const override { return m_next >= m_rows.size(); }
    bool paced() const override { return m_speed > 0; }

    void start(std::int64_t nowNs) override;
    void pause() override { m_running = false; }
    void emitDue(std::int64_t nowNs, OutQueue& queue, std::size_t queueLimit) override;
    std::int64_t nextDeadline() const override;

private:
    std::int64_t offsetNs(std::size_t index) const;

    std::vector<TrafficLog::Row> m_rows;
    double m_speed;
    bool m_running = false;
    std::int64_t m_base = 0; // monotonic time of offset 0
    std::size_t m_next = 0;
};
