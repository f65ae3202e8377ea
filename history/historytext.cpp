#include "historytext.h"

#include <QDateTime>
#include <QRegularExpression>

namespace HistoryText {

QString thousands(quint64 n)
{
    QString digits = QString::number(n);
    for (int at = digits.size() - 3; at > 0; at -= 3)
        digits.insert(at, QLatin1Char(','));
    return digits;
}

QString title(const QString& fileName, qint64 frames)
{
    QString text = QStringLiteral("Korvane 历史 — ") + fileName;
    if (frames >= 0)
        text += QStringLiteral(" — ") + thousands(static_cast<quint64>(frames)) + QStringLiteral(" 帧");
    return text;
}

QString verdict(const History::Row& row)
{
    switch (row.kind) {
    case History::Kind::Malformed:
        return QStringLiteral("malformed");
    case History::Kind::Noise:
        return QStringLiteral("noise");
    case History::Kind::Frame:
        break;
    }
    switch (row.reply) {
    case History::Reply::Ack:
        return QStringLiteral("ACK");
    case History::Reply::Nak:
        return QStringLiteral("NAK");
    case History::Reply::None:
        return row.good ? QStringLiteral("no reply") : QStringLiteral("bad");
    case History::Reply::Unknown:
        break;
    }
    return row.good ? QStringLiteral("good") : QStringLiteral("bad");
}

QString direction(History::Direction d)
{
    return d == History::Direction::Sent ? QStringLiteral("发") : QStringLiteral("收");
}

QString wallTime(qint64 wallUs)
{
    const qint64 ms = wallUs >= 0 ? wallUs / 1000 : (wallUs - 999) / 1000;
    const int us = static_cast<int>(wallUs - ms * 1000);
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("hh:mm:ss.zzz"))
        + QStringLiteral("%1").arg(us, 3, 10, QLatin1Char('0'));
}

QString relativeTime(qint64 offsetUs, qint64 referenceUs)
{
    const qint64 d = offsetUs - referenceUs;
    const quint64 magnitude = static_cast<quint64>(d < 0 ? -d : d);
    return QStringLiteral("%1%2.%3")
        .arg(d < 0 ? QLatin1Char('-') : QLatin1Char('+'))
        .arg(magnitude / 1000000)
        .arg(magnitude % 1000000, 6, 10, QLatin1Char('0'));
}

QString span(qint64 us)
{
    return relativeTime(us, 0).mid(1) + QStringLiteral(" s");
}

QString hex(const std::uint8_t* bytes, std::size_t count)
{
    static const char digits[] = "0123456789ABCDEF";
    QString text;
    text.reserve(static_cast<int>(count * 3));
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0)
            text += QLatin1Char(' ');
        text += QLatin1Char(digits[bytes[i] >> 4]);
        text += QLatin1Char(digits[bytes[i] & 15]);
    }
    return text;
}

QString problem(const History::Row& row)
{
    const QString where = row.line > 0 ? QStringLiteral("line %1").arg(row.line)
                                       : QStringLiteral("offset 0x%1").arg(row.fileOffset, 0, 16);
    return QString::fromStdString(row.problem) + QStringLiteral(" (") + where + QLatin1Char(')');
}

bool parseTime(const QString& text, qint64 firstWallUs, qint64* offsetUs)
{
    const QString t = text.trimmed();
    static const QRegularExpression seconds(QStringLiteral("^\\+?(\\d{1,9})(?:\\.(\\d{1,6}))?$"));
    static const QRegularExpression clock(QStringLiteral("^(\\d{1,2}):(\\d{2}):(\\d{2})(?:[.,](\\d{1,6}))?$"));
    const auto fraction = [](const QString& digits) {
        return digits.isEmpty() ? 0 : QString(digits).leftJustified(6, QLatin1Char('0')).toLongLong();
    };
    QRegularExpressionMatch m = seconds.match(t);
    if (m.hasMatch()) {
        *offsetUs = m.captured(1).toLongLong() * 1000000 + fraction(m.captured(2));
        return true;
    }
    m = clock.match(t);
    if (!m.hasMatch())
        return false;
    const QTime time(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt());
    if (!time.isValid())
        return false;
    const QDateTime first = QDateTime::fromMSecsSinceEpoch(firstWallUs / 1000);
    QDateTime at(first.date(), time);
    qint64 wallUs = at.toMSecsSinceEpoch() * 1000 + fraction(m.captured(4));
    if (wallUs < firstWallUs - 999999) // before the first row's second: the next day's
        wallUs = at.addDays(1).toMSecsSinceEpoch() * 1000 + fraction(m.captured(4));
    *offsetUs = wallUs - firstWallUs;
    return true;
}

} // namespace HistoryText
