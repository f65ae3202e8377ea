// The real Korvane window, run by the tool's own runKorvane() (same objects,
// same order, same orderly stop on SIGTERM, SIGINT and SIGHUP), with one
// addition for tests that need the whole process: the tool has no
// command line and cannot be clicked from outside, so this host sets the
// port number from its arguments and clicks `open` on itself once the event
// loop runs. It prints "open 1" when the link opened and "open 0" when not.
//
//   korvane-window-host [--open-serial N | --open-net N]

#include "korvane.h"
#include "korvaneapp.h"
#include "windowsupport.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char* argv[])
{
    bool network = false;
    int number = 0;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--open-serial") == 0) {
            number = std::atoi(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--open-net") == 0) {
            network = true;
            number = std::atoi(argv[i + 1]);
        }
    }

    if (number <= 0)
        return runKorvane(argc, argv);
    return runKorvane(argc, argv, [network, number](Korvane& window) {
        // As a user would: at start the form allows serial ports 1 to 6 only.
        KorvaneProbe probe(window);
        std::printf("open %d\n", TestSupport::openLink(probe, network, number) ? 1 : 0);
        std::fflush(stdout);
    });
}
