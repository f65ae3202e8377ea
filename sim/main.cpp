// korvane-sim: plays the device at the other end of Korvane's link.
#include "monitor.h"
#include "options.h"
#include "report.h"
#include "simulator.h"

#include <cstdio>

int main(int argc, char** argv)
{
    Options options;
    std::string error;
    if (!OptionParser::parse(argc, argv, options, error)) {
        Report::error(error);
        return 2;
    }
    Report::setUp(options.mode == Options::Mode::Monitor ? Report::Flush::WhenAsked : Report::Flush::EachLine);
    if (options.help) {
        std::fputs(OptionParser::helpText().c_str(), stdout);
        return 0;
    }
    if (options.mode == Options::Mode::Monitor) {
        Monitor monitor(options);
        return monitor.run();
    }
    Simulator simulator(options);
    return simulator.run();
}
