// Stop signals for the simulator's loops.
#include "loopsignals.h"

#include <initializer_list>

#ifdef __linux__
#include <sys/prctl.h>
#endif

namespace LoopSignals {

namespace {

volatile std::sig_atomic_t g_signal = 0;

void onSignal(int number)
{
    g_signal = number;
}

} // namespace

sigset_t prepare()
{
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    for (int number : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&stopSignals, number);
    sigset_t waitMask;
    sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
    struct sigaction action{};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (int number : {SIGTERM, SIGINT, SIGHUP}) {
        sigdelset(&waitMask, number);
        sigaction(number, &action, nullptr);
    }
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
#ifdef __linux__
    // Default timer slack (50 us) would blur a 400 us frame period.
    prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
#endif
    return waitMask;
}

bool stopRequested()
{
    return g_signal != 0;
}

} // namespace LoopSignals
