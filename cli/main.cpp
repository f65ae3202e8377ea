// korvane-cli: the device link for scripts and test runners, without a
// window: one-shot send and listen, and the JSON-lines session that the
// Python package drives.
#include "console.h"
#include "options.h"
#include "session.h"

#include <cstdio>

int main(int argc, char** argv)
{
    Options options;
    std::string error;
    if (!Options::parse(argc, argv, options, error)) {
        std::fprintf(stderr, "korvane-cli: %s\n%s", error.c_str(), Options::usage());
        return 2;
    }
    if (options.command == Options::Command::Help) {
        std::fputs(Options::usage(), stdout);
        return 0;
    }
    if (options.command == Options::Command::Version) {
        std::puts("korvane-cli " KORVANE_VERSION);
        return 0;
    }
    Console console;
    return Session(options, console).run();
}
