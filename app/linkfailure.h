#pragma once
// Why opening the link failed, or why an open link was lost, in the words
// the user reads: one short Chinese status line for the traffic view and the
// same in English for standard error, from the Win32 or WinSock code the
// transport kept. The reasons' classes and English words are LinkReason's,
// which the command-line client shares.

#include <QString>

#include <string>

class LinkFailure
{
public:
    struct Said {
        QString status;  // the line for the traffic view (and the status bar)
        QString console; // the same for standard error, naming the link too
    };
    // After "打开COMn" when the open failed.
    static Said serial(int portNumber, unsigned long code, const QString& device);
    // The line shown after "连接ip地址:...".
    static QString connectStatus(int code);
    // An open serial line whose status query or read failed: the device
    // was pulled, or the far end of a pseudo-terminal went away.
    static Said serialLost(int portNumber, unsigned long code);
    // After "打开COMn" for a COMn that stands for a network address, when
    // the connection could not be made: code the WinSock code, 0 when it
    // failed before the network (the reason in English then says why).
    static Said remote(int portNumber, const QString& address, int code, const std::string& reason);
    // The connection behind such a COMn ended, said as a lost serial line
    // is: code 0 when the server closed it, else the WinSock code; failure
    // the telnet stream's fault, when that was the cause.
    static Said remoteLost(int portNumber, const QString& address, int code, const std::string& failure);
    // An open connection that ended: code 0 when the device closed it (recv
    // gave 0), else the WinSock code of the failed receive.
    static Said connectionLost(int hostNumber, int code);
};
