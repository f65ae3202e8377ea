// Stop signals for the simulator's loops.
#include "loopsignals.h"

#include <cerrno>
#include <fcntl.h>
#include <initializer_list>
#include <unistd.h>

#ifdef __linux__
#include <sys/prctl.h>
#endif

namespace LoopSignals {

namespace {

volatile std::sig_atomic_t g_count = 0;
int g_pipe[2] = {-1, -1};

void onSignal(int)
{
    const int saved = errno;
    g_count = g_count + 1;
    if (g_pipe[1] >= 0) {
        const char byte = 0;
        // A full pipe is readable already.
        [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &byte, 1);
    }
    errno = saved;
}

} // namespace

int prepare()
{
    if (g_pipe[0] < 0 && ::pipe(g_pipe) == 0) {
        for (int fd : g_pipe) {
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
    }
    struct sigaction action{};
    action.sa_handler = onSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    for (int number : {SIGTERM, SIGINT, SIGHUP}) {
        sigaction(number, &action, nullptr);
        sigaddset(&stopSignals, number);
    }
    sigprocmask(SIG_UNBLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
#ifdef __linux__
    // Default timer slack (50 us) would blur a 400 us frame period.
    prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
#endif
    return g_pipe[0];
}

int stopCount()
{
    return g_count;
}

void clear()
{
    char buffer[64];
    while (g_pipe[0] >= 0 && ::read(g_pipe[0], buffer, sizeof buffer) > 0) {
    }
}

} // namespace LoopSignals
