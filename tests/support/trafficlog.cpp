// Frames in wire form, the simulator's output split into frames, and a
// strict reader of the traffic log.
#include "testsupport.h"

#include "linkframe.h"

#include <QFile>
#include <QRegularExpression>

namespace TestSupport {


QByteArray frame(std::uint8_t type, const QByteArray& data, bool bad)
{
    std::vector<std::uint8_t> out(static_cast<std::size_t>(data.size()) + LinkFrame::Overhead);
    LinkFrame::encode(type, static_cast<std::uint8_t>(data.size()),
                      reinterpret_cast<const std::uint8_t*>(data.constData()), out.data());
    if (bad)
        out.back() = static_cast<std::uint8_t>(out.back() + 1);
    return QByteArray(reinterpret_cast<const char*>(out.data()), static_cast<qsizetype>(out.size()));
}

QByteArray numberedFrame(std::uint8_t type, std::uint32_t seq, const QByteArray& tail, bool bad)
{
    QByteArray data;
    data.append(char(seq >> 24)).append(char(seq >> 16)).append(char(seq >> 8)).append(char(seq));
    data.append(tail);
    return frame(type, data, bad);
}

std::uint8_t checksum(std::uint8_t type, const std::vector<std::uint8_t>& data)
{
    return LinkFrame::checksum(type, static_cast<std::uint8_t>(data.size()), data.data(), static_cast<int>(data.size()));
}

QByteArray makeLog(const QList<QByteArray>& frames, const QDateTime& started, int stepMs)
{
    QByteArray log = "Korvane Bus Traffic File \nNew Data ," + started.toString(QStringLiteral("yyyy-MM-dd")).toLatin1()
        + " \nnew Time ," + started.toString(QStringLiteral("hh:mm:ss")).toLatin1()
        + ",\n\n\n\ntime,time_ms,head,type,len,data,...,...,-,inx\n";
    for (int k = 0; k < frames.size(); ++k) {
        if (!frames[k].startsWith('\x2e')) {
            log += frames[k] + '\n';
            continue;
        }
        log += started.addMSecs(qint64(k) * stepMs).toString(QStringLiteral("hh:mm:ss,zzz")).toLatin1();
        for (char b : frames[k])
            log += ',' + QByteArray(1, b).toHex().toUpper();
        log += ",-,[" + QByteArray::number(k + 1) + "]\n";
    }
    return log;
}

Parsed parseStream(const QByteArray& bytes)
{
    Parsed parsed;
    qsizetype i = 0;
    const auto at = [&](qsizetype k) { return static_cast<std::uint8_t>(bytes.at(k)); };
    while (i < bytes.size()) {
        if (at(i) != 0x2E) {
            parsed.between += bytes.at(i++);
            continue;
        }
        if (i + 3 > bytes.size()) {
            parsed.rest = bytes.mid(i);
            break;
        }
        const int len = at(i + 2);
        if (i + 4 + len > bytes.size()) {
            parsed.rest = bytes.mid(i);
            break;
        }
        Frame frame;
        frame.type = at(i + 1);
        for (int k = 0; k < len; ++k)
            frame.data.push_back(at(i + 3 + k));
        frame.checksum = at(i + 3 + len);
        frame.good = frame.checksum == checksum(frame.type, frame.data);
        parsed.frames.push_back(frame);
        i += 4 + len;
    }
    return parsed;
}

QRegularExpression serialReady(const QString& name)
{
    return QRegularExpression(QStringLiteral("^ready ") + QRegularExpression::escape(name) + QStringLiteral(" (/dev/\\S+)$"));
}

QRegularExpression tcpReady()
{
    return QRegularExpression(QStringLiteral("^ready 127\\.0\\.0\\.1:(\\d+)$"));
}

// ---- the traffic log ----------------------------------------------------------

qint64 LogRow::sequence() const
{
    if (data.size() < 4)
        return -1;
    const auto b = [this](int i) { return static_cast<qint64>(static_cast<std::uint8_t>(data[i])); };
    return (b(0) << 24) | (b(1) << 16) | (b(2) << 8) | b(3);
}

namespace {

bool hexByte(const QByteArray& field, int* value)
{
    static const QRegularExpression upperHex(QStringLiteral("\\A[0-9A-F]{2}\\z"));
    if (!upperHex.match(QString::fromLatin1(field)).hasMatch())
        return false;
    *value = field.toInt(nullptr, 16);
    return true;
}

} // namespace

bool parseRow(const QByteArray& line, LogRow* row)
{
    static const QRegularExpression time(QStringLiteral("\\A([01]\\d|2[0-3]):[0-5]\\d:[0-5]\\d\\z"));
    static const QRegularExpression millis(QStringLiteral("\\A\\d{3}\\z"));
    static const QRegularExpression index(QStringLiteral("\\A\\[([1-9]\\d*)\\]\\z"));

    const QList<QByteArray> f = line.split(',');
    if (f.size() < 8)
        return false;
    if (!time.match(QString::fromLatin1(f[0])).hasMatch() || !millis.match(QString::fromLatin1(f[1])).hasMatch()
        || f[2] != "2E")
        return false;
    LogRow r;
    if (!hexByte(f[3], &r.type) || !hexByte(f[4], &r.len))
        return false;
    if (r.len > LinkFrame::MaxRecordData || f.size() != 8 + r.len)
        return false;
    for (int i = 0; i < r.len; ++i) {
        int b = 0;
        if (!hexByte(f[5 + i], &b))
            return false;
        r.data.append(char(b));
    }
    if (!hexByte(f[5 + r.len], &r.sum) || f[6 + r.len] != "-")
        return false;
    const QRegularExpressionMatch m = index.match(QString::fromLatin1(f[7 + r.len]));
    if (!m.hasMatch())
        return false;
    r.index = m.captured(1).toLongLong();
    const std::uint8_t expected = LinkFrame::checksum(static_cast<std::uint8_t>(r.type), static_cast<std::uint8_t>(r.len),
                                                      reinterpret_cast<const std::uint8_t*>(r.data.constData()), r.len);
    if (r.sum != expected)
        return false;
    r.time = f[0] + ',' + f[1];
    if (row)
        *row = r;
    return true;
}

LogContents readLog(const QString& path)
{
    LogContents out;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return out;
    out.readable = true;
    const QByteArray all = file.readAll();
    out.endsMidLine = !all.isEmpty() && !all.endsWith('\n');
    static const QRegularExpression header(QStringLiteral(
        "\\AKorvane Bus Traffic File \\n"
        "New Data ,\\d{4}-\\d{2}-\\d{2} \\n"
        "new Time ,\\d{2}:\\d{2}:\\d{2},\\n\\n\\n\\n"
        "time,time_ms,head,type,len,data,\\.\\.\\.,\\.\\.\\.,-,inx\\n"));
    out.headerFirst = header.match(QString::fromLatin1(all.left(200))).hasMatch();
    out.headers = all.count("Korvane Bus Traffic File ");

    QList<QByteArray> lines = all.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    // The header block is seven lines.
    const int skip = out.headerFirst ? 7 : 0;
    for (int i = skip; i < lines.size(); ++i) {
        LogRow r;
        if (parseRow(lines[i], &r))
            out.rows << r;
        else
            out.junk << lines[i];
    }
    return out;
}

QList<qint64> sequences(const QList<LogRow>& rows)
{
    QList<qint64> seqs;
    seqs.reserve(rows.size());
    for (const LogRow& r : rows)
        seqs << r.sequence();
    return seqs;
}

bool contiguous(const QList<LogRow>& rows, qint64 first)
{
    for (qsizetype i = 0; i < rows.size(); ++i) {
        if (rows[i].sequence() != first + i)
            return false;
    }
    return true;
}

QStringList logRows()
{
    QFile log(QStringLiteral("Korvane_data.csv"));
    if (!log.open(QIODevice::ReadOnly))
        return {};
    QStringList rows;
    const QList<QByteArray> all = log.readAll().split('\n');
    for (const QByteArray& line : all) {
        if (line.contains(",2E,"))
            rows << QString::fromLatin1(line);
    }
    return rows;
}

} // namespace TestSupport
