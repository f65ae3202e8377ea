#include "linkfailure.h"

#include "openfailure.h"
#include "win32api.h"

using namespace win; // the error constants are macros on Windows

LinkFailure::Serial LinkFailure::serial(int portNumber, unsigned long code, const QString& device)
{
    // One arg() call for all the values: a later call would fill a "%1"
    // that the device path brought in.
    const QString head = QStringLiteral("korvane: cannot open COM%1 (%2): ").arg(QString::number(portNumber), device);
    const QString console = head + QString::fromStdString(OpenFailure::serialText(code, device.toStdString()));
    switch (OpenFailure::serialReason(code)) {
    case OpenFailure::Reason::NoDevice:
        return {QStringLiteral("打开失败: 没有设备 %1").arg(device), console};
    case OpenFailure::Reason::PermissionDenied: {
#ifdef Q_OS_WIN
        return {QStringLiteral("打开失败: 拒绝访问 %1, 可能已被其他程序占用").arg(device), console};
#else
        const QString group = QString::fromStdString(OpenFailure::owningGroup(device.toStdString()));
        if (group.isEmpty())
            return {QStringLiteral("打开失败: 没有权限访问 %1").arg(device), console};
        return {QStringLiteral("打开失败: 没有权限访问 %1, 请把用户加入 %2 组后重新登录").arg(device, group), console};
#endif
    }
    case OpenFailure::Reason::InUse:
        return {QStringLiteral("打开失败: %1 已被其他程序占用").arg(device), console};
    case OpenFailure::Reason::NotSerial:
        return {QStringLiteral("打开失败: %1 不是串口设备").arg(device), console};
    case OpenFailure::Reason::LinkLoops:
        return {QStringLiteral("打开失败: %1 链接循环").arg(device), console};
    case OpenFailure::Reason::Other:
        break;
    }
    return {QStringLiteral("打开失败: %1 (错误 %2)").arg(device, QString::number(code)), console};
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
