// The serial port and the network client under Wine, used as the window uses
// them (poll for what is waiting, write whole frames), against the device
// that korvane-winedriver plays on the Linux side. One group of cases per run:
//
//   korvane-wintest serial    COM3 is the driver's pseudo-terminal, COM9 a name with no device
//   korvane-wintest refused   nothing listens at 192.168.1.154:4500
//   korvane-wintest net       the driver listens there
//   korvane-wintest lock      the traffic log's lock, in the working directory
//
// Prints "ok <case>" or "FAIL <case>: <why>" per case; the exit code counts
// the failures. The driver checks what reaches the device.

#include "filelock.h"
#include "netclient.h"
#include "portnumbering.h"
#include "serialport.h"
#include "wirecases.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <string>

using WireCases::Bytes;
using WireCases::check;

namespace {

bool expired(DWORD start)
{
    return GetTickCount() - start >= static_cast<DWORD>(WireCases::WaitMs);
}

// As the receive poll does: ask what is waiting, take at most 100 bytes.
Bytes receive(SerialPort& port, std::size_t count)
{
    Bytes got;
    const DWORD start = GetTickCount();
    while (got.size() < count && !expired(start)) {
        unsigned char buffer[100];
        const int n = port.available() > 0 ? port.read(buffer, 100) : 0;
        if (n > 0)
            got.insert(got.end(), buffer, buffer + n);
        else
            Sleep(5);
    }
    return got;
}

Bytes receive(NetClient& client, std::size_t count)
{
    Bytes got;
    const DWORD start = GetTickCount();
    while (got.size() < count && !expired(start)) {
        char buffer[100];
        const int n = client.recv(buffer, 100);
        if (n > 0)
            got.insert(got.end(), buffer, buffer + n);
        else
            Sleep(5);
    }
    return got;
}

void writeAndReceive(SerialPort& port, const Bytes& bytes, const char* what)
{
    port.write(bytes.data(), static_cast<int>(bytes.size()));
    const Bytes got = receive(port, bytes.size());
    check(got == bytes, what, WireCases::difference(got, bytes));
}

void serialCases()
{
    // Wine's ports have no Device Manager names, and a link made by hand in
    // the prefix (COM3 here) is unknown to QueryDosDevice; a name with
    // nothing behind it is told apart.
    check(PortNumbering::describe(8) == "COM8: no device", "serial: the port chooser says COM8 has no device",
          PortNumbering::describe(8));
    SerialPort port;
    check(port.open(u"COM9") == 0, "serial: a name with no device does not open");
    if (port.open(u"COM3") != 1) {
        check(false, "serial: COM3 opens");
        return;
    }
    check(port.open(u"COM3") == 1, "serial: opening an open port keeps it open");
    writeAndReceive(port, WireCases::allByteValues(), "serial: all 256 byte values both ways");
    writeAndReceive(port, WireCases::burst(), "serial: a 4 KiB burst both ways");
    check(port.close() == 1 && port.open(u"COM3") == 1, "serial: close and reopen");

    const Bytes request = WireCases::request();
    port.write(request.data(), static_cast<int>(request.size()));
    const Bytes xoff = receive(port, 1);
    check(xoff == Bytes{WireCases::Xoff}, "serial: a lone 0x13 from the device arrives",
          WireCases::difference(xoff, Bytes{WireCases::Xoff}));
    const Bytes reply = WireCases::reply();
    port.write(reply.data(), static_cast<int>(reply.size())); // the driver checks it arrives
    check(port.close() == 1, "serial: close");
}

// WinSock counts start-ups per process. With every NetClient gone none may
// be left: each further clean-up that succeeds is one a client leaked.
int leftoverStartups()
{
    int leaked = 0;
    while (leaked < 100 && WSACleanup() == 0)
        ++leaked;
    return leaked;
}

void checkStartupsBalanced(const char* what)
{
    const int leaked = leftoverStartups();
    check(leaked == 0, what, std::to_string(leaked) + " start-ups left");
}

void refusedCases()
{
    {
        NetClient client;
        bool anyConnected = false;
        for (int i = 0; i < WireCases::FailedConnects; ++i)
            anyConnected = client.connectTo(WireCases::DeviceHost) || anyConnected;
        check(!anyConnected, "net: connects with nothing listening fail");
    }
    checkStartupsBalanced("net: start-ups balanced over failed connects");
}

void netCases()
{
    {
        NetClient client;
        if (!client.connectTo(WireCases::DeviceHost)) {
            check(false, "net: connects to 192.168.1.154:4500");
            return;
        }
        const Bytes all = WireCases::allByteValues();
        int sent = client.send(reinterpret_cast<const char*>(all.data()), static_cast<int>(all.size()));
        check(sent == static_cast<int>(all.size()), "net: send takes all 256 byte values", std::to_string(sent));
        const Bytes got = receive(client, all.size());
        check(got == all, "net: all 256 byte values back", WireCases::difference(got, all));

        // The device has closed its end after answering.
        int last = -1;
        const DWORD start = GetTickCount();
        char buffer[100];
        while ((last = client.recv(buffer, 100)) < 0 && !expired(start))
            Sleep(5);
        check(last == 0, "net: the device's close is seen as a receive of 0", std::to_string(last));
        sent = client.send("\x2E", 1);
        check(sent == 1 || sent == -1, "net: a send after the device's close returns", std::to_string(sent));
        check(client.recv(buffer, 100) <= 0, "net: nothing to receive after that");
        check(client.close(), "net: close");
    }
    checkStartupsBalanced("net: start-ups balanced over connect, close and destruction");
}

void lockCases()
{
    const char* name = "Korvane_data.csv";
    const int first = _open(name, _O_RDWR | _O_CREAT | _O_BINARY, 0644);
    const int second = _open(name, _O_RDWR | _O_BINARY);
    check(first >= 0 && Platform::tryLockExclusive(first), "lock: the running tool locks its log");
    check(second >= 0 && !Platform::tryLockExclusive(second), "lock: a second instance is refused the lock");
    _close(second);
    _close(first);

    // A pipe has no byte-range locks to give, as a file system without them:
    // the log is kept, unlocked.
    int pipe[2] = {-1, -1};
    check(_pipe(pipe, 256, _O_BINARY) == 0 && Platform::tryLockExclusive(pipe[1]),
          "lock: where there are no locks, the log is kept without one");
    for (int fd : pipe) {
        if (fd >= 0)
            _close(fd);
    }
}

} // namespace

int main(int argc, char** argv)
{
    const char* group = argc > 1 ? argv[1] : "";
    if (std::strcmp(group, "serial") == 0)
        serialCases();
    else if (std::strcmp(group, "refused") == 0)
        refusedCases();
    else if (std::strcmp(group, "net") == 0)
        netCases();
    else if (std::strcmp(group, "lock") == 0)
        lockCases();
    else
        check(false, "usage", "korvane-wintest serial|refused|net|lock");
    return WireCases::failures;
}
