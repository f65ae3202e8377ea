#include "faultsupport.h"

#include "linkframe.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTest>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>

#include <dirent.h>
#include <malloc.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

namespace Faults {

// ---- process figures -------------------------------------------------------

qint64 residentBytes(qint64 pid)
{
    const QString path = pid > 0 ? QStringLiteral("/proc/%1/statm").arg(pid) : QStringLiteral("/proc/self/statm");
    QFile statm(path);
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().simplified().split(' ');
    if (fields.size() < 2)
        return -1;
    bool ok = false;
    const qint64 pages = fields[1].toLongLong(&ok);
    return ok ? pages * ::sysconf(_SC_PAGESIZE) : -1;
}

int descriptorCountOf(qint64 pid)
{
    const QByteArray path = QByteArray("/proc/") + QByteArray::number(pid) + "/fd";
    DIR* d = ::opendir(path.constData());
    if (!d)
        return -1;
    int count = 0;
    while (struct dirent* entry = ::readdir(d)) {
        if (entry->d_name[0] != '.')
            ++count;
    }
    ::closedir(d);
    return count;
}

qint64 heapInUse()
{
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 33))
    const struct mallinfo2 info = ::mallinfo2();
    const qint64 inUse = static_cast<qint64>(info.uordblks) + static_cast<qint64>(info.hblkhd);
    // A sanitizer's allocator leaves glibc's figures at nothing.
    return inUse > 0 ? inUse : -1;
#else
    return -1;
#endif
}

double processCpuSeconds()
{
    struct timespec t = {};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// ---- mounts ------------------------------------------------------------------

namespace {

QString errnoText(const char* what)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromLocal8Bit(std::strerror(errno)));
}

bool writeProcFile(const char* path, const QByteArray& text)
{
    std::ofstream out(path);
    out << text.constData();
    out.flush();
    return bool(out);
}

} // namespace

bool enterPrivateMounts(QString* why)
{
    QString ignored;
    if (!why)
        why = &ignored;
    if (::unshare(CLONE_NEWNS) != 0) {
        if (errno != EPERM) {
            *why = errnoText("unshare(CLONE_NEWNS)");
            return false;
        }
        // Without CAP_SYS_ADMIN: a user namespace in which we are root may
        // own a mount namespace and mount a tmpfs in it.
        const uid_t uid = ::geteuid();
        const gid_t gid = ::getegid();
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
            *why = errnoText("unshare(CLONE_NEWUSER | CLONE_NEWNS)");
            return false;
        }
        if (!writeProcFile("/proc/self/setgroups", "deny")
            || !writeProcFile("/proc/self/uid_map", QByteArray("0 ") + QByteArray::number(uid) + " 1")
            || !writeProcFile("/proc/self/gid_map", QByteArray("0 ") + QByteArray::number(gid) + " 1")) {
            *why = QStringLiteral("cannot map ids into the new user namespace");
            return false;
        }
    }
    // Nothing mounted from here on may show up outside.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        *why = errnoText("making / private");
        return false;
    }
    return true;
}

bool mountTmpfs(const QString& dir, qint64 bytes, bool readOnly, QString* why)
{
    const QByteArray options = "size=" + QByteArray::number(bytes) + ",mode=0755";
    unsigned long flags = MS_NOSUID | MS_NODEV;
    if (readOnly)
        flags |= MS_RDONLY;
    if (::mount("faults", QFile::encodeName(dir).constData(), "tmpfs", flags, options.constData()) != 0) {
        if (why)
            *why = errnoText("mount tmpfs");
        return false;
    }
    return true;
}

bool unmount(const QString& dir)
{
    return ::umount2(QFile::encodeName(dir).constData(), MNT_DETACH) == 0;
}

// ---- standard output ---------------------------------------------------------

OutputCapture::OutputCapture(int fd)
    : target(fd)
{
    if (!file.open())
        return;
    std::fflush(nullptr);
    saved = ::dup(target);
    ::dup2(file.handle(), target);
}

OutputCapture::~OutputCapture()
{
    if (saved < 0)
        return;
    const QByteArray captured = text();
    ::dup2(saved, target);
    ::close(saved);
    // Hand on what others printed meanwhile (a test failure, for one); only
    // the tool's per-tick line is left out.
    for (const QByteArray& line : captured.split('\n')) {
        if (!line.isEmpty() && line != "Korvane::TimerRead_IRQ no data")
            ::dprintf(target, "%s\n", line.constData());
    }
}

QByteArray OutputCapture::text()
{
    std::fflush(nullptr);
    QFile reader(file.fileName());
    if (!reader.open(QIODevice::ReadOnly))
        return QByteArray();
    return reader.readAll();
}

// ---- frames ------------------------------------------------------------------

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

QByteArray receiveFromTool(TestSupport::Pty& pty, int n, int timeoutMs)
{
    QByteArray got;
    (void)QTest::qWaitFor([&] {
        got += pty.readAvailable();
        return got.size() >= n;
    }, timeoutMs);
    return got;
}

QString growthOverCycles(const std::function<bool(int)>& cycles, int warmUp, int count, const char* what)
{
    if (!cycles(warmUp))
        return QStringLiteral("the warm-up cycles failed");
    const int descriptors = TestSupport::openDescriptorCount();
    const qint64 resident = residentBytes();
    const qint64 heap = heapInUse();
    if (descriptors <= 0 || resident <= 0)
        return QStringLiteral("descriptors or resident size cannot be read");

    if (!cycles(count))
        return QStringLiteral("a cycle failed");
    const int descriptorsAfter = TestSupport::openDescriptorCount();
    const qint64 residentGrowth = residentBytes() - resident;
    const qint64 heapGrowth = heap > 0 ? heapInUse() - heap : 0;
    qInfo("%d %s cycles: descriptors %d -> %d, resident %+lld bytes, heap in use %+lld bytes", count, what,
          descriptors, descriptorsAfter, residentGrowth, heapGrowth);
    if (descriptorsAfter != descriptors)
        return QStringLiteral("descriptors %1 -> %2").arg(descriptors).arg(descriptorsAfter);
    // A leak of even 64 bytes a cycle shows in the heap; resident size is coarser.
    if (heapGrowth >= 64 * qint64(count))
        return QStringLiteral("heap grew by %1 bytes").arg(heapGrowth);
    if (!residentSizeTellsLeaks())
        qInfo("resident size not checked under AddressSanitizer; its leak checker runs at exit");
    else if (residentGrowth >= 1024 * 1024)
        return QStringLiteral("resident size grew by %1 bytes").arg(residentGrowth);
    return QString();
}

} // namespace Faults
