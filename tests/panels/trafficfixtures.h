#pragma once
// Records and their expected texts, built field by field from the record so
// that the display's own formatting is checked against an independent one.

#include "typedata.h"

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <cstdint>
#include <vector>

namespace Fixtures {

inline TYPE_Data record(const QDateTime& time, std::uint8_t type, const std::vector<std::uint8_t>& data)
{
    TYPE_Data r{};
    r.time = time;
    r.type = type;
    r.len = static_cast<std::uint8_t>(data.size());
    // Stale bytes from an earlier, longer frame must never be listed.
    for (int i = 0; i < LinkFrame::MaxRecordData; ++i)
        r.data[i] = 0xEE;
    for (std::size_t i = 0; i < data.size(); ++i)
        r.data[i] = data[i];
    r.sum = LinkFrame::checksum(r.type, r.len, r.data, r.len);
    return r;
}

// The n-th frame of a test run: distinct time, type and data per n.
inline TYPE_Data numbered(int n)
{
    const QDateTime t(QDate(2026, 12, 7), QTime(9, 5, 1, 7).addMSecs(1009 * n));
    std::vector<std::uint8_t> data;
    for (int i = 0; i < n % 5; ++i)
        data.push_back(static_cast<std::uint8_t>(n * 7 + i));
    return record(t, static_cast<std::uint8_t>(n), data);
}

inline QString hex2(int b)
{
    return QString::asprintf("%02X", b & 0xFF);
}

inline QString expectedLine(const TYPE_Data& r, long long index)
{
    QStringList bytes{QStringLiteral("2E"), hex2(r.type), hex2(r.len)};
    for (int i = 0; i < r.len; ++i)
        bytes << hex2(r.data[i]);
    bytes << hex2(r.sum);
    return r.time.toString(QStringLiteral("hh:mm:ss.zzz")) + QStringLiteral("  ") + bytes.join(QLatin1Char(' '))
        + QStringLiteral(" [") + QString::number(index) + QStringLiteral("]");
}

inline QByteArray expectedRow(const TYPE_Data& r, long long index)
{
    QStringList fields{r.time.toString(QStringLiteral("hh:mm:ss")), r.time.toString(QStringLiteral("zzz")),
                       QStringLiteral("2E"), hex2(r.type), hex2(r.len)};
    for (int i = 0; i < r.len; ++i)
        fields << hex2(r.data[i]);
    fields << hex2(r.sum) << QStringLiteral("-") << QStringLiteral("[%1]").arg(index);
    return fields.join(QLatin1Char(',')).toLatin1() + '\n';
}

// The log goes into the working directory: every test that builds a Display
// runs inside a fresh temporary directory of its own.
class WorkDir
{
public:
    WorkDir() : previous(QDir::currentPath()), entered(dir.isValid() && QDir::setCurrent(dir.path())) {}
    ~WorkDir() { QDir::setCurrent(previous); }
    WorkDir(const WorkDir&) = delete;
    WorkDir& operator=(const WorkDir&) = delete;

    bool ok() const { return entered; }
    QString path() const { return dir.path(); }
    QString file(const QString& name) const { return dir.filePath(name); }

private:
    QString previous;
    QTemporaryDir dir;
    bool entered;
};

} // namespace Fixtures
