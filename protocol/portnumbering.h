#pragma once
// Which device stands behind each of the ports COM1 to COM9.
//
// Windows gives a serial adapter a COM number the first time it is plugged
// in and keeps it; this does the same on Linux. An adapter plugged in now
// (SerialAdapters: by its /dev/serial/by-id name, or by its USB socket under
// /dev/serial/by-path where that name does not tell it apart) that has no
// number yet gets the lowest free one, kept as a link korvane/ports/COMn in
// the config folder, so the adapter finds its number again next time. A number is taken by any link in that folder,
// dangling or not, and by a real on-board UART /dev/ttyS<n-1>. Links that
// are already there are never changed, but for those that a device
// simulator killed on its way out left behind (see PortLease): they go.
//
// On Windows the system numbers the ports itself: assign() does nothing and
// describe() names the device as Device Manager does.
//
// A number can also name a serial port shared over the network (address()):
// on Linux a link in the ports folder whose text is the address, on Windows
// a file of that name in %APPDATA%\korvane\ports holding it.

#include <string>

class PortNumbering
{
public:
    static constexpr int FirstPort = 1;
    static constexpr int LastPort = 9;

    // Numbers the adapters that have none yet. Tells standard error each new
    // number, once per run that the ports folder cannot be written (the
    // numbers then hold for this run only), and once per adapter that all
    // nine numbers are taken.
    static void assign();

    // What opening COM<number> opens: its link in the ports folder, else the
    // adapter numbered for this run only, else /dev/ttyS<number-1>; but
    // where the ports folder cannot be searched, the link's path (said once
    // on standard error), never the on-board port in its place.
    static std::string openPath(int number);

    // The network address COM<number> stands for ("rfc2217://HOST:PORT" or
    // "socket://HOST:PORT"), opened in its place; empty when it names none.
    static std::string address(int number);

    // The device behind COM<number> as the user knows it: its address, the
    // link's target (a by-id path, say), else what openPath() gives;
    // "COM<number>" on Windows unless it has an address.
    static std::string device(int number);

    // One line for the port chooser, e.g. "COM3: /dev/serial/by-id/usb-...",
    // "COM1: /dev/ttyS0", "COM5: no device" or, for an entry in the ports
    // folder that is no device, "COM4: no device (... is not a serial device)";
    // on Windows "COM4: USB-SERIAL CH340 (COM4)"; "COM5: rfc2217://bench-3:3001"
    // for a number that names an address.
    static std::string describe(int number);

    // $XDG_CONFIG_HOME/korvane/ports, by default ~/.config/korvane/ports;
    // empty when neither variable names an absolute folder.
    static std::string portsFolder();
};
