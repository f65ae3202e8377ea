#pragma once
// The USB serial adapters plugged in now, each by the name that stays with
// it across plugging, so that a port number recorded for that name finds
// the same adapter again:
//
//  - its /dev/serial/by-id name, which udev builds from the adapter's
//    vendor, model, serial number and interface;
//  - its /dev/serial/by-path name, which names the USB socket it is in,
//    where the by-id name does not tell it apart from another adapter: the
//    adapter has no serial number (CH340 and the like; sysfs tells), another
//    adapter plugged in now has the same vendor, model, serial number and
//    interface, or it has no by-id name at all because a twin holds the one
//    they share (udev points a shared name at the adapter plugged in last);
//  - /dev/ttyUSB* and /dev/ttyACM* where udev made neither folder.
//
// Nothing here opens a device: opening raises DTR and RTS, which resets many
// boards. POSIX only.

#include <string>
#include <vector>

namespace SerialAdapters {

// The names, sorted.
std::vector<std::string> present();

} // namespace SerialAdapters
