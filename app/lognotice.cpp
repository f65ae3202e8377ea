#include "lognotice.h"

#include <QDir>

#include <cerrno>

using State = LogStarter::State;

namespace {
const QString LogName = QStringLiteral("Korvane_data.csv");
}

QString LogNotice::writeReason(const LogStatus& log, bool english)
{
    if (log.writeError == ENOSPC)
        return english ? QStringLiteral("the disk is full") : QStringLiteral("磁盘已满");
    return log.writeReason;
}

QString LogNotice::field(const LogStatus& log)
{
    if (log.state != State::Open)
        return atStart(log).status;
    if (log.writeFailing)
        return QStringLiteral("日志写入失败: ") + writeReason(log, false);
    return QStringLiteral("日志: ") + QDir::toNativeSeparators(log.path);
}

LogNotice::Said LogNotice::atStart(const LogStatus& log)
{
    const QString path = QDir::toNativeSeparators(log.path);
    switch (log.state) {
    case State::Open:
        if (log.kept.isEmpty())
            return {};
        return {QString(), QStringLiteral("korvane: the previous traffic log was kept as %1").arg(QDir::toNativeSeparators(log.kept))};
    case State::AnotherInstance:
        return {QStringLiteral("无日志: 另一个 Korvane 正在此文件夹写日志"),
                QStringLiteral("korvane: no traffic log: another Korvane is writing %1 in this folder").arg(path)};
    case State::CannotOpen:
        return {QStringLiteral("无日志: 无法写入 %1 (%2)").arg(path, log.detail),
                QStringLiteral("korvane: no traffic log: cannot write %1: %2").arg(path, log.detail)};
    case State::CannotKeep:
        return {QStringLiteral("无日志: 上次的日志无法另存 (%1), 原文件未改动").arg(log.detail),
                QStringLiteral("korvane: no traffic log: the previous log %1 could not be kept aside (%2); it is left as it is")
                    .arg(path, log.detail)};
    case State::ForeignLink:
        return {QStringLiteral("无日志: %1 是用户 %2 建立的链接, 未使用").arg(LogName, log.detail),
                QStringLiteral("korvane: no traffic log: %1 is a symbolic link made by the user %2; it is left alone")
                    .arg(LogName, log.detail)};
    }
    return {};
}

LogNotice::Said LogNotice::writeChanged(const LogStatus& log)
{
    const QString path = QDir::toNativeSeparators(log.path);
    if (!log.writeFailing)
        return {QString(), QStringLiteral("korvane: the traffic log %1 is written again").arg(path)};
    return {QStringLiteral("日志写入失败: ") + writeReason(log, false),
            QStringLiteral("korvane: writing the traffic log %1 failed: %2; rows are dropped until it can be written again")
                .arg(path, writeReason(log, true))};
}
