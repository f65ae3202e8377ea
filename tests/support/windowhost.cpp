// The real Korvane window, run by the tool's own runKorvane() (same objects,
// same order, same orderly stop on SIGTERM, SIGINT and SIGHUP), with one
// addition for tests that need the whole process: the tool has no
// command line and cannot be clicked from outside, so this host sets the
// port number from its arguments and clicks `open` on itself once the event
// loop runs. It prints "open 1" when the link opened and "open 0" when not.
//
//   korvane-window-host [--open-serial N | --open-net N] [--open-history] [korvane's options]
//
// --open-history then opens the session's history, as Ctrl+H does.

#include "korvane.h"
#include "korvaneapp.h"
#include "windowsupport.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char* argv[])
{
    bool network = false;
    bool history = false;
    int number = 0;
    // Its own options are taken out of argv: the tool refuses options it
    // does not know.
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--open-history") == 0) {
            history = true;
            continue;
        }
        const bool serialOption = std::strcmp(argv[i], "--open-serial") == 0;
        if ((serialOption || std::strcmp(argv[i], "--open-net") == 0) && i + 1 < argc) {
            network = !serialOption;
            number = std::atoi(argv[++i]);
            continue;
        }
        argv[kept++] = argv[i];
    }
    argc = kept;
    argv[argc] = nullptr;

    if (number <= 0) {
        // With --history the window shown is the history: its titles, in
        // UTF-8, one a line, as they change.
        return runKorvane(argc, argv, [](QWidget& shown) {
            if (qobject_cast<Korvane*>(&shown) != nullptr)
                return;
            const auto say = [](const QString& title) {
                std::printf("title %s\n", title.toUtf8().constData());
                std::fflush(stdout);
            };
            say(shown.windowTitle());
            QObject::connect(&shown, &QWidget::windowTitleChanged, &shown, say);
        });
    }
    return runKorvane(argc, argv, [network, number, history](QWidget& shown) {
        // As a user would: at start the form allows serial ports 1 to 6 only.
        auto& window = static_cast<Korvane&>(shown);
        KorvaneProbe probe(window);
        std::printf("open %d\n", TestSupport::openLink(probe, network, number) ? 1 : 0);
        std::fflush(stdout);
        if (history)
            window.openHistory();
    });
}
