#include "logstarter.h"

#include "filelock.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// The header's date and time lines: "New Data ,2026-12-09 \n" and
// "new Time ,01:15:46,\n".
const QRegularExpression HeaderStart(QStringLiteral("New Data ,(\\d{4}-\\d{2}-\\d{2}) \\nnew Time ,(\\d{2}):(\\d{2}):(\\d{2}),"));
constexpr int HeadBytes = 256;
constexpr int MaxClashes = 1000;
// Links followed one after another before the name counts as a loop, as
// the system's own limit for a path.
constexpr int MaxLinks = 40;

// A name in the working directory stays as short as the log's own.
QString folderOf(const QFileInfo& info)
{
    return info.path() == QStringLiteral(".") ? QString() : info.path() + QLatin1Char('/');
}

QString candidate(const QString& kept, int clash)
{
    if (clash == 0)
        return kept;
    const QFileInfo info(kept);
    const QString suffix = info.suffix().isEmpty() ? QString() : QStringLiteral(".") + info.suffix();
    return folderOf(info) + info.completeBaseName() + QStringLiteral("-%1").arg(clash + 1) + suffix;
}

#ifdef Q_OS_UNIX
QString systemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Opens path itself, never a link standing there, so that nothing but the
// file this run chose is written.
bool openNoFollow(QFile* file, const QString& path, bool exclusive, int* error)
{
    const int flags = O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | (exclusive ? O_EXCL : 0);
    const int fd = ::open(QFile::encodeName(path).constData(), flags, 0666);
    if (fd < 0) {
        *error = errno;
        return false;
    }
    file->setFileName(path);
    if (!file->open(fd, QIODevice::ReadWrite, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        *error = EIO;
        return false;
    }
    return true;
}

// Moves path to the first free kept name; false with errno's reason when
// none can be had. Renaming never replaces a file: one that appears under
// the chosen name in the meantime makes the next name the choice.
bool moveAside(const QString& path, const QString& kept, QString* taken, int* error)
{
    const QByteArray from = QFile::encodeName(path);
    for (int clash = 0; clash < MaxClashes; ++clash) {
        const QString to = candidate(kept, clash);
        const QByteArray target = QFile::encodeName(to);
        int rc = ::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE);
        if (rc != 0 && (errno == EINVAL || errno == ENOSYS)) {
            // A file system without the no-replace rename: a second name
            // that cannot clobber, then the old one goes.
            rc = ::link(from.constData(), target.constData());
            if (rc == 0 && ::unlink(from.constData()) != 0) {
                const int e = errno;
                ::unlink(target.constData());
                errno = e;
                rc = -1;
            }
        }
        if (rc == 0) {
            *taken = to;
            return true;
        }
        if (errno != EEXIST) {
            *error = errno;
            return false;
        }
    }
    *error = EEXIST;
    return false;
}
#endif

} // namespace

QString LogStarter::keptName(const QString& path, const QByteArray& head)
{
    const QRegularExpressionMatch m = HeaderStart.match(QString::fromLatin1(head));
    QString stamp;
    if (m.hasMatch())
        stamp = m.captured(1) + QStringLiteral("_%1-%2-%3").arg(m.captured(2), m.captured(3), m.captured(4));
    else
        stamp = QFileInfo(path).lastModified().toString(QStringLiteral("yyyy-MM-dd_hh-mm-ss"));
    const QFileInfo info(path);
    const QString suffix = info.suffix().isEmpty() ? QString() : QStringLiteral(".") + info.suffix();
    return folderOf(info) + info.completeBaseName() + QLatin1Char('-') + stamp + suffix;
}

LogStarter::Result LogStarter::start(const QString& name)
{
    Result r;
    r.file = new QFile;
    r.path = name;

    // Each link of a chain is judged on its own: one that another user
    // made stops the walk wherever it stands.
    for (int hop = 0; QFileInfo(r.path).isSymbolicLink(); ++hop) {
#ifdef Q_OS_UNIX
        struct stat link;
        if (::lstat(QFile::encodeName(r.path).constData(), &link) == 0 && link.st_uid != ::geteuid()) {
            const passwd* owner = ::getpwuid(link.st_uid);
            r.state = State::ForeignLink;
            r.detail = owner ? QString::fromLocal8Bit(owner->pw_name) : QString::number(link.st_uid);
            return r;
        }
        if (hop == MaxLinks) {
            r.state = State::CannotOpen;
            r.detail = systemReason(ELOOP);
            return r;
        }
#else
        if (hop == MaxLinks)
            break;
#endif
        r.path = QFileInfo(r.path).symLinkTarget();
    }

#ifdef Q_OS_UNIX
    int error = 0;
    if (!openNoFollow(r.file, r.path, false, &error)) {
        r.state = State::CannotOpen;
        r.detail = systemReason(error);
        return r;
    }
#else
    r.file->setFileName(r.path);
    if (!r.file->open(QIODevice::ReadWrite)) {
        r.state = State::CannotOpen;
        r.detail = r.file->errorString();
        return r;
    }
#endif
    if (!Platform::tryLockExclusive(r.file->handle())) {
        r.file->close();
        r.state = State::AnotherInstance;
        return r;
    }

    // Devices, pipes and an empty file have nothing to keep.
    const QFileInfo previous(r.path);
    if (!previous.isFile() || r.file->size() == 0) {
        r.state = State::Open;
        return r;
    }

    const QString kept = keptName(r.path, r.file->read(HeadBytes));
#ifdef Q_OS_UNIX
    // The lock is on this file, whatever its name: keep holding it while
    // it moves, so that no second instance takes it in between.
    struct stat held;
    struct stat current;
    if (::fstat(r.file->handle(), &held) != 0 || ::lstat(QFile::encodeName(r.path).constData(), &current) != 0
        || held.st_dev != current.st_dev || held.st_ino != current.st_ino) {
        // Another instance moved it aside and made a new one while this one
        // opened it: that instance writes the log.
        r.file->close();
        r.state = State::AnotherInstance;
        return r;
    }
    if (!moveAside(r.path, kept, &r.kept, &error)) {
        r.file->close();
        r.state = State::CannotKeep;
        r.detail = systemReason(error);
        return r;
    }
    auto* fresh = new QFile;
    if (!openNoFollow(fresh, r.path, true, &error)) {
        delete fresh;
        r.file->close();
        r.state = error == EEXIST ? State::AnotherInstance : State::CannotOpen;
        r.detail = systemReason(error);
        return r;
    }
#else
    // Windows moves no file that is open without delete sharing, which Qt
    // does not ask for: let go, move, and make the new one at once.
    r.file->close();
    QFile moving(r.path);
    for (int clash = 0; clash < MaxClashes; ++clash) {
        const QString to = candidate(kept, clash);
        if (QFileInfo::exists(to))
            continue;
        if (moving.rename(to))
            r.kept = to;
        break;
    }
    if (r.kept.isEmpty()) {
        r.state = State::CannotKeep;
        r.detail = moving.errorString();
        return r;
    }
    auto* fresh = new QFile(r.path);
    if (!fresh->open(QIODevice::ReadWrite | QIODevice::NewOnly)) {
        r.detail = fresh->errorString();
        delete fresh;
        r.state = State::AnotherInstance;
        return r;
    }
#endif
    if (!Platform::tryLockExclusive(fresh->handle())) {
        delete fresh;
        r.file->close();
        r.state = State::AnotherInstance;
        return r;
    }
    delete r.file;
    r.file = fresh;
    r.state = State::Open;
    return r;
}
