#pragma once
// The network transport under the link: a TCP client to one device at
// 192.168.1.N, port 4500. The connect waits for its outcome; from then on
// the socket is non-blocking, so sending and receiving never wait.
//
// Every network call goes through WinSock (win32api.h): on Windows the real
// one, elsewhere our stand-ins for it.

#include "win32api.h"

class NetClient
{
public:
    NetClient();
    ~NetClient();

    NetClient(const NetClient&) = delete;
    NetClient& operator=(const NetClient&) = delete;

    // Starts WinSock unless this client already holds a start-up; a failure
    // is printed and remembered in startupFailed.
    void startup();
    // Connects to 192.168.1.<hostNumber>:4500; true when connected.
    bool connectTo(int hostNumber);
    // Connects to a dotted IPv4 address and port, as connectTo(int) does;
    // false at once for a null address.
    bool connectTo(const char* address, win::u_short port);
    // Closes the client's socket, if any, and gives back its start-up, if
    // it holds one; always true.
    bool close();
    // The WinSock result, unchanged (bytes taken, or -1); 0 when not connected.
    int send(const char* data, int length);
    // The WinSock result, unchanged: bytes received, 0 once the device has
    // closed the connection, -1 when nothing is waiting; 0 when not connected.
    int recv(char* buffer, int maxBytes);
    // The connected socket, INVALID_SOCKET when not connected: for a
    // program that waits on it beside other input.
    win::SOCKET nativeSocket() const;
    // Why the last connect attempt failed: the WinSock code (WSAECONNREFUSED,
    // WSAENETUNREACH, WSAEHOSTUNREACH, WSAETIMEDOUT, ...), or WSAStartup's
    // when WinSock would not start; 0 when it succeeded or failed before
    // reaching the network.
    int connectError() const { return lastConnectError; }
    // How the connection broke: the WinSock code of the first send or
    // receive that failed for a reason other than "nothing waiting" or "no
    // room now" (WSAECONNRESET, WSAETIMEDOUT, ...); 0 while it works. A send
    // may meet the break before a receive does and take its reason with it.
    int brokenError() const { return lastBrokenError; }
    // A program that says a failed connect in its own words (korvane-cli)
    // turns off the console line the window prints for it.
    void setConnectDiagnostics(bool on) { connectDiagnostics = on; }

private:
    win::SOCKET sock;
    bool connected;
    bool startupFailed;
    bool startedUp; // holds one WinSock start-up
    int lastConnectError = 0;
    int startupError = 0; // the last WSAStartup's result
    int lastBrokenError = 0;
    bool connectDiagnostics = true;
    void noteFailure();
};
