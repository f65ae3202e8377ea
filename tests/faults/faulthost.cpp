// The real Korvane window, run by the tool's own runKorvane() (same objects,
// same order, same orderly stop on SIGTERM, SIGINT and SIGHUP), with one
// addition for tests that need the whole process: the tool has no
// command line and cannot be clicked from outside, so this host sets the
// port number from its arguments and clicks `open` on itself once the event
// loop runs. It prints "open 1" when the link opened and "open 0" when not.
//
//   korvane-faults-host [--open-serial N | --open-net N]

#include "korvane.h"
#include "korvaneapp.h"

#include <QPushButton>
#include <QSpinBox>

#include <cstdio>
#include <cstring>
#include <cstdlib>

namespace {

void openFromArguments(Korvane* window, bool network, int number)
{
    auto* mode = window->findChild<QPushButton*>(QStringLiteral("mode"));
    auto* open = window->findChild<QPushButton*>(QStringLiteral("open"));
    auto* portBox = window->findChild<QSpinBox*>(QStringLiteral("portBox"));
    if (!mode || !open || !portBox) {
        std::printf("open 0 (form not found)\n");
        std::fflush(stdout);
        return;
    }
    if (network)
        mode->click();
    // As a user would: at start the form allows serial ports 1 to 6 only.
    portBox->setValue(number);
    open->click();
    const bool opened = open->text() == QStringLiteral("关闭") || open->text() == QStringLiteral("断开");
    std::printf("open %d\n", opened ? 1 : 0);
    std::fflush(stdout);
}

} // namespace

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
    return runKorvane(argc, argv, [network, number](Korvane& window) { openFromArguments(&window, network, number); });
}
