#include "stopsignals.h"

#include <QSocketNotifier>
#include <QWidget>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Written by the handler, read by the event loop: the only async-signal-safe
// way to get from a signal back onto the GUI thread.
int wakePipe[2] = {-1, -1};

const int watched[] = {SIGTERM, SIGINT, SIGHUP};
constexpr int WatchedCount = sizeof watched / sizeof watched[0];

// What each signal did before it was watched: given back at the end.
struct sigaction found[WatchedCount];
bool taken[WatchedCount] = {};

extern "C" void onStopSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(wakePipe[1], &byte, 1);
    errno = saved;
}

} // namespace

StopSignals::StopSignals(QWidget* closeTarget)
    : target(closeTarget)
{
    if (::pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    notifier = new QSocketNotifier(wakePipe[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &StopSignals::onSignal);

    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < WatchedCount; ++i) {
        // A signal ignored on entry stays ignored: whoever started the tool
        // with `nohup`, or from a service that ignores SIGHUP, asked for that.
        taken[i] = ::sigaction(watched[i], nullptr, &found[i]) == 0 && found[i].sa_handler != SIG_IGN
            && ::sigaction(watched[i], &action, nullptr) == 0;
    }
}

StopSignals::~StopSignals()
{
    for (int i = 0; i < WatchedCount; ++i) {
        if (taken[i])
            ::sigaction(watched[i], &found[i], nullptr);
        taken[i] = false;
    }
    delete notifier;
    for (int& fd : wakePipe) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

void StopSignals::onSignal()
{
    char drain[16];
    while (::read(wakePipe[0], drain, sizeof drain) > 0) {
    }
    if (target)
        target->close();
}

#else

StopSignals::StopSignals(QWidget* closeTarget)
    : target(closeTarget)
{
}

StopSignals::~StopSignals() = default;

void StopSignals::onSignal()
{
}

#endif
