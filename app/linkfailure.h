#pragma once
// Why opening the link failed, in the words the user reads: one short
// Chinese status line for the traffic view and the same in English for
// standard error, from the Win32 or WinSock code the transport kept.

#include <QString>

class LinkFailure
{
public:
    struct Serial {
        QString status;  // the line shown after "打开COMn"
        QString console; // the same for standard error, naming the port too
    };
    static Serial serial(int portNumber, unsigned long code, const QString& device);
    // The line shown after "连接ip地址:...".
    static QString connectStatus(int code);

private:
    enum class Reason { NoDevice, PermissionDenied, InUse, NotSerial, LinkLoops, Other };
    static Reason serialReason(unsigned long code);

    // The group that owns the device node, whose members may open it;
    // empty where there is none to tell (Windows, or stat failed).
    static QString owningGroup(const QString& device);
};
