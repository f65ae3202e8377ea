// The log follower of the live benchmark: inotify wakes it, a worker thread
// reads what was appended and splits it into rows.
#include "logwatcher.h"

#include <QFile>

#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace {

// CLOCK_REALTIME, the clock of the simulator's --timestamps file.
qint64 realtimeNs()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<qint64>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

} // namespace

LogWatcher::LogWatcher(const QString& path, int frameDataLen)
    : dataLen(frameDataLen)
{
    fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    notify = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (fd >= 0 && notify >= 0)
        inotify_add_watch(notify, QFile::encodeName(path).constData(), IN_MODIFY);
    rows.reserve(1 << 20);
}

LogWatcher::~LogWatcher()
{
    stop();
    if (fd >= 0)
        ::close(fd);
    if (notify >= 0)
        ::close(notify);
}

void LogWatcher::start()
{
    worker = std::thread([this] { run(); });
}

void LogWatcher::stop()
{
    done = true;
    if (worker.joinable())
        worker.join();
}

void LogWatcher::run()
{
    while (!done) {
        pollfd p{notify, POLLIN, 0};
        if (::poll(&p, 1, 50) > 0) {
            char events[4096];
            while (::read(notify, events, sizeof events) > 0) {
            }
        }
        drain();
    }
    drain();
}

void LogWatcher::drain()
{
    char buf[1 << 16];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        const qint64 now = realtimeNs();
        partial.append(buf, static_cast<int>(n));
        qsizetype start = 0;
        for (qsizetype eol = partial.indexOf('\n'); eol >= 0; eol = partial.indexOf('\n', start)) {
            take(QByteArrayView(partial.constData() + start, eol - start), now);
            start = eol + 1;
        }
        partial.remove(0, start);
    }
}

// "hh:mm:ss,zzz,2E,tt,ll,[data..],ss,-,[n]"; header lines do not match.
void LogWatcher::take(QByteArrayView line, qint64 now)
{
    if (line.size() < 16 || line[8] != ',' || line.sliced(12, 4) != ",2E,")
        return;
    const long long k = static_cast<long long>(rows.size());
    bool inOrder;
    if (dataLen == 0) {
        inOrder = line.sliced(16, 2).toInt(nullptr, 16) == static_cast<int>(k % 256);
    } else {
        // data bytes start after "hh:mm:ss,zzz,2E,tt,ll," (22 characters)
        bool good = line.size() >= 22 + 12;
        long long seq = 0;
        for (int i = 0; good && i < 4; ++i)
            seq = (seq << 8) | line.sliced(22 + 3 * i, 2).toInt(nullptr, 16);
        inOrder = good && seq == (k & 0xFFFFFFFFLL);
    }
    rows.push_back(SeenRow{now, inOrder});
    seen.store(static_cast<long long>(rows.size()));
}
