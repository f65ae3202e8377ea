#pragma once
// The simulator's end of the link: what it polls and writes to, whether a
// peer is there, and how it lets the peer go. The pseudo-terminal can always
// be written (the tool opens and closes the slave as it likes, and what is
// written waits in the terminal); the TCP end has one connection at a time.

#include <cstdint>
#include <string>

class Endpoint
{
public:
    virtual ~Endpoint() = default;

    // Sets the end up; error says why not.
    virtual bool open(std::string& error) = 0;
    // What follows "ready " once open: "COM3 /dev/pts/4", "0.0.0.0:4500".
    virtual std::string readyText() const = 0;

    // Descriptor of the current peer, -1 while there is none.
    virtual int peerFd() const = 0;
    virtual bool peerIsSocket() const { return false; }
    // Descriptor that becomes readable when a peer arrives, -1 when not
    // waiting; a terminal has its peer at the other end of the line at once.
    virtual int acceptFd() const { return -1; }
    // Takes the waiting peer; false when there was none after all.
    virtual bool acceptPeer() { return false; }

    // The peer went away (end of stream or a read/write error).
    virtual void peerLost() = 0;
    // The user's close; reset asks for an abortive close where that means something.
    // Returns false when the end cannot carry on.
    virtual bool hangUp(bool reset, std::string& error) = 0;
    virtual bool isSerial() const = 0;

    // Whether the tool is there: for TCP a connection, for the terminal the
    // tool having COMn open. The frame stream only runs while it is.
    virtual bool peerPresent() const { return peerFd() >= 0; }
    // Descriptor that reports the tool opening or closing COMn, -1 if none.
    virtual int watchFd() const { return -1; }
    virtual void readWatch() {}
    // Bytes that waited for the tool when it last closed COMn and were
    // thrown away then, as a real port drops its input on last close;
    // counted since the last call.
    virtual std::uint64_t takeFlushed() { return 0; }
    // The descriptor of the device itself, to tell whether two ends are one
    // line; -1 while there is none.
    virtual int deviceFd() const { return peerFd(); }

    // A lost end that may come back by itself (an unplugged serial adapter):
    // it is then tried again at reopenDueNs() (monotonic; -1: nothing due).
    virtual bool comesBack() const { return false; }
    virtual std::int64_t reopenDueNs() const { return -1; }
    // One try; true when the end is back.
    virtual bool reopen() { return false; }
};
