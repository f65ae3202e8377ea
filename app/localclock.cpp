#include "localclock.h"

QDateTime LocalClock::now()
{
    constexpr qint64 MinuteMs = 60 * 1000;
    const qint64 ms = QDateTime::currentMSecsSinceEpoch();
    // A clock set back lands before the cached minute and is looked up again.
    if (ms >= offsetUntilMs || ms < offsetFromMs) {
        offsetSeconds = QDateTime::fromMSecsSinceEpoch(ms, Qt::LocalTime).offsetFromUtc();
        offsetFromMs = ms - ((ms % MinuteMs) + MinuteMs) % MinuteMs;
        offsetUntilMs = offsetFromMs + MinuteMs;
    }
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::OffsetFromUTC, offsetSeconds);
}
