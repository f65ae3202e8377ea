#pragma once

#include <QDateTime>

// The local date and time now, as QDateTime::currentDateTime() gives it but
// without asking the C library's time-zone code on every call: that re-reads
// the zone file's status each time, a system call per poll on a busy link.
// The offset from UTC is looked up once per minute of UTC. Zones change their
// offset only on whole minutes, so within one minute the offset holds.
class LocalClock
{
public:
    QDateTime now();

private:
    qint64 offsetUntilMs = 0; // the offset below holds before this instant
    qint64 offsetFromMs = 0;  // ... and from this one on
    int offsetSeconds = 0;
};
