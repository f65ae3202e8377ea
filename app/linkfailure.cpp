#include "linkfailure.h"

#include "win32api.h"

#ifdef Q_OS_UNIX
#include <QFile>

#include <grp.h>
#include <sys/stat.h>
#endif

using namespace win; // the error constants are macros on Windows

LinkFailure::Reason LinkFailure::serialReason(unsigned long code)
{
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_INVALID_NAME:
        return Reason::NoDevice;
    case ERROR_ACCESS_DENIED:
        return Reason::PermissionDenied;
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
        return Reason::InUse;
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_SUPPORTED:
        return Reason::NotSerial;
    case ERROR_CANT_RESOLVE_FILENAME:
        return Reason::LinkLoops;
    default:
        return Reason::Other;
    }
}

LinkFailure::Said LinkFailure::serial(int portNumber, unsigned long code, const QString& device)
{
    // One arg() call for all the values: a later call would fill a "%1"
    // that the device path brought in.
    const QString head = QStringLiteral("korvane: cannot open COM%1 (%2): ").arg(QString::number(portNumber), device);
    switch (serialReason(code)) {
    case Reason::NoDevice:
        return {QStringLiteral("打开失败: 没有设备 %1").arg(device), head + QStringLiteral("no such device")};
    case Reason::PermissionDenied: {
#ifdef Q_OS_WIN
        // Windows says this of a port that another program holds, far more
        // often than of one the user may not open at all.
        return {QStringLiteral("打开失败: 拒绝访问 %1, 可能已被其他程序占用").arg(device),
                head + QStringLiteral("access denied; another program may be holding the port")};
#else
        const QString group = owningGroup(device);
        if (group.isEmpty())
            return {QStringLiteral("打开失败: 没有权限访问 %1").arg(device), head + QStringLiteral("permission denied")};
        return {QStringLiteral("打开失败: 没有权限访问 %1, 请把用户加入 %2 组后重新登录").arg(device, group),
                head
                    + QStringLiteral("permission denied; add your user to the group %1 that owns it "
                                     "(sudo usermod -aG %1 $USER) and log in again")
                          .arg(group)};
#endif
    }
    case Reason::InUse:
        return {QStringLiteral("打开失败: %1 已被其他程序占用").arg(device), head + QStringLiteral("in use by another program")};
    case Reason::NotSerial:
        return {QStringLiteral("打开失败: %1 不是串口设备").arg(device), head + QStringLiteral("not a serial device")};
    case Reason::LinkLoops:
        return {QStringLiteral("打开失败: %1 链接循环").arg(device), head + QStringLiteral("link loops")};
    case Reason::Other:
        break;
    }
    return {QStringLiteral("打开失败: %1 (错误 %2)").arg(device, QString::number(code)), head + QStringLiteral("error %1").arg(code)};
}

QString LinkFailure::connectStatus(int code)
{
    switch (code) {
    case WSAECONNREFUSED:
        return QStringLiteral("连接失败: 设备拒绝连接");
    case WSAENETUNREACH:
    case WSAEHOSTUNREACH:
        return QStringLiteral("连接失败: 网络不可达");
    case WSAETIMEDOUT:
        return QStringLiteral("连接失败: 连接超时");
    case 0:
        return QStringLiteral("连接失败");
    default:
        return QStringLiteral("连接失败: 错误 %1").arg(code);
    }
}

LinkFailure::Said LinkFailure::serialLost(int portNumber, unsigned long code)
{
    QString reason;
    QString english;
    switch (code) {
    case ERROR_GEN_FAILURE:
        // What Linux gives (EIO) for a pulled adapter and a hung-up line alike.
        reason = QStringLiteral("输入/输出错误, 设备已拔出或挂断");
        english = QStringLiteral("I/O error, the device was unplugged or hung up");
        break;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_COMMAND:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
    case ERROR_OPERATION_ABORTED:
        // Windows answers a pulled USB adapter's handle with one of these.
        reason = QStringLiteral("设备已移除");
        english = QStringLiteral("the device was removed");
        break;
    default:
        reason = QStringLiteral("错误 %1").arg(code);
        english = QStringLiteral("error %1").arg(code);
        break;
    }
    return {QStringLiteral("串口已断开: ") + reason,
            QStringLiteral("korvane: serial line COM%1 lost: %2; the port is closed").arg(portNumber).arg(english)};
}

LinkFailure::Said LinkFailure::connectionLost(int hostNumber, int code)
{
    QString reason;
    QString english;
    switch (code) {
    case 0:
    case WSAESHUTDOWN:
        reason = QStringLiteral("设备关闭了连接");
        english = QStringLiteral("device closed the connection");
        break;
    case WSAECONNRESET:
    case WSAECONNABORTED:
        reason = QStringLiteral("设备重置了连接");
        english = QStringLiteral("device reset the connection");
        break;
    case WSAETIMEDOUT:
        reason = QStringLiteral("连接超时");
        english = QStringLiteral("connection timed out");
        break;
    case WSAENETDOWN:
    case WSAENETUNREACH:
    case WSAEHOSTUNREACH:
        reason = QStringLiteral("网络不可达");
        english = QStringLiteral("network unreachable");
        break;
    default:
        reason = QStringLiteral("错误 %1").arg(code);
        english = QStringLiteral("error %1").arg(code);
        break;
    }
    return {QStringLiteral("连接已断开: ") + reason,
            QStringLiteral("korvane: connection to 192.168.1.%1:4500 lost: %2; the link is closed").arg(hostNumber).arg(english)};
}

QString LinkFailure::owningGroup(const QString& device)
{
#ifdef Q_OS_UNIX
    struct stat st;
    if (::stat(QFile::encodeName(device).constData(), &st) != 0)
        return {};
    if (const group* g = ::getgrgid(st.st_gid))
        return QString::fromLocal8Bit(g->gr_name);
    return QString::number(st.st_gid);
#else
    Q_UNUSED(device);
    return {};
#endif
}
