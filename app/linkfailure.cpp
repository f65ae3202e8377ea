#include "linkfailure.h"

#include "linkreason.h"
#include "win32api.h"

using namespace win; // the error constants are macros on Windows

namespace {

QString english(const std::string& text)
{
    return QString::fromStdString(text);
}

} // namespace

LinkFailure::Said LinkFailure::serial(int portNumber, unsigned long code, const QString& device)
{
    // One arg() call for all the values: a later call would fill a "%1"
    // that the device path brought in.
    const QString head = QStringLiteral("korvane: cannot open COM%1 (%2): ").arg(QString::number(portNumber), device);
    const QString console = head + english(LinkReason::serialOpenText(code, device.toStdString()));
    switch (LinkReason::serialOpen(code)) {
    case LinkReason::Open::NoDevice:
        return {QStringLiteral("打开失败: 没有设备 %1").arg(device), console};
    case LinkReason::Open::PermissionDenied: {
#ifdef Q_OS_WIN
        return {QStringLiteral("打开失败: 拒绝访问 %1, 可能已被其他程序占用").arg(device), console};
#else
        const QString group = english(LinkReason::owningGroup(device.toStdString()));
        if (group.isEmpty())
            return {QStringLiteral("打开失败: 没有权限访问 %1").arg(device), console};
        return {QStringLiteral("打开失败: 没有权限访问 %1, 请把用户加入 %2 组后重新登录").arg(device, group), console};
#endif
    }
    case LinkReason::Open::InUse:
        return {QStringLiteral("打开失败: %1 已被其他程序占用").arg(device), console};
    case LinkReason::Open::NotSerial:
        return {QStringLiteral("打开失败: %1 不是串口设备").arg(device), console};
    case LinkReason::Open::LinkLoops:
        return {QStringLiteral("打开失败: %1 链接循环").arg(device), console};
    case LinkReason::Open::Other:
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

namespace {

// The Chinese words for why an open link stopped working.
QString lostStatus(LinkReason::Lost lost, long code)
{
    switch (lost) {
    case LinkReason::Lost::HungUp:
        return QStringLiteral("输入/输出错误, 设备已拔出或挂断");
    case LinkReason::Lost::Removed:
        return QStringLiteral("设备已移除");
    case LinkReason::Lost::Closed:
        return QStringLiteral("设备关闭了连接");
    case LinkReason::Lost::Reset:
        return QStringLiteral("设备重置了连接");
    case LinkReason::Lost::TimedOut:
        return QStringLiteral("连接超时");
    case LinkReason::Lost::Unreachable:
        return QStringLiteral("网络不可达");
    case LinkReason::Lost::Other:
        break;
    }
    return QStringLiteral("错误 %1").arg(code);
}

} // namespace

LinkFailure::Said LinkFailure::serialLost(int portNumber, unsigned long code)
{
    const LinkReason::Lost lost = LinkReason::serialLost(code);
    const long number = static_cast<long>(code);
    return {QStringLiteral("串口已断开: ") + lostStatus(lost, number),
            QStringLiteral("korvane: serial line COM%1 lost: %2; the port is closed")
                .arg(portNumber)
                .arg(english(LinkReason::lostText(lost, number)))};
}

LinkFailure::Said LinkFailure::connectionLost(int hostNumber, int code)
{
    const LinkReason::Lost lost = LinkReason::connectionLost(code);
    return {QStringLiteral("连接已断开: ") + lostStatus(lost, code),
            QStringLiteral("korvane: connection to 192.168.1.%1:4500 lost: %2; the link is closed")
                .arg(hostNumber)
                .arg(english(LinkReason::lostText(lost, code)))};
}

LinkFailure::Said LinkFailure::remote(int portNumber, const QString& address, int code, const std::string& reason)
{
    return {code != 0 ? QStringLiteral("%1 (%2)").arg(connectStatus(code), address) : QStringLiteral("打开失败: ") + address,
            QStringLiteral("korvane: cannot open COM%1 (%2): %3").arg(QString::number(portNumber), address, english(reason))};
}

LinkFailure::Said LinkFailure::remoteLost(int portNumber, const QString& address, int code, const std::string& failure)
{
    const LinkReason::Lost lost = LinkReason::connectionLost(code);
    const QString why = failure.empty() ? english(LinkReason::lostText(lost, code)) : english(failure);
    return {QStringLiteral("串口已断开: ") + (failure.empty() ? lostStatus(lost, code) : why),
            QStringLiteral("korvane: serial line COM%1 (%2) lost: %3; the port is closed")
                .arg(QString::number(portNumber), address, why)};
}
