#pragma once
// The whole program under Wine, as a Windows user gets it: installed by its
// installer (twice, the second time as an upgrade), started with the
// Start-menu entry's working folder, driven with real X input on Xvfb
// against the device simulator on COM3 and over TCP; then the session ends,
// the log it left is opened with korvane.exe --history, and the uninstaller
// runs. The window is driven only inside the private
// network namespace.

#include "wineprocess.h"

#include <string>

namespace ProgramCases {

struct Setup
{
    std::string installer; // korvane-<version>-setup.exe
    std::string simulator; // korvane-sim
    std::string scratch;   // a folder of the run's own
    bool network = false;  // inside the private namespace with 192.168.1.154
};

void run(const WineProcess::Wine& wine, const Setup& setup);

} // namespace ProgramCases
