// Leases of the device simulator's COMn links.
#include "portlease.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char LeaseSuffix[] = ".korvane-sim";
constexpr std::size_t SuffixLength = sizeof LeaseSuffix - 1;

std::string leasePath(const std::string& folder, const std::string& name)
{
    return folder + "/." + name + LeaseSuffix;
}

// The link that a lease file in the folder stands for; empty for other files.
std::string leasedName(const std::string& entry)
{
    if (entry.size() <= 1 + SuffixLength || entry[0] != '.'
        || entry.compare(entry.size() - SuffixLength, SuffixLength, LeaseSuffix) != 0)
        return {};
    return entry.substr(1, entry.size() - 1 - SuffixLength);
}

std::string readLink(const std::string& path)
{
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

// The lease's lines: the simulator's process id, then the targets its link
// may have (the last two, so that a hang-up that re-points the link is
// covered while it happens).
std::vector<std::string> leaseLines(int fd)
{
    std::vector<char> buffer(3 * PATH_MAX);
    const ssize_t n = ::pread(fd, buffer.data(), buffer.size(), 0);
    std::vector<std::string> lines;
    std::string line;
    for (ssize_t i = 0; i < n; ++i) {
        if (buffer[static_cast<std::size_t>(i)] != '\n') {
            line += buffer[static_cast<std::size_t>(i)];
        } else {
            lines.push_back(line);
            line.clear();
        }
    }
    return lines;
}

// The lease file at path, open and locked by us, and still the one at path
// (not removed or replaced by whoever held it before); -1 with errno
// otherwise, EWOULDBLOCK when a running simulator holds it.
int lockLease(const std::string& path, bool create)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | (create ? O_CREAT : 0), 0600);
        if (fd < 0)
            return -1;
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int why = errno;
            ::close(fd);
            errno = why;
            return -1;
        }
        struct stat held, now;
        if (::fstat(fd, &held) == 0 && ::stat(path.c_str(), &now) == 0 && held.st_dev == now.st_dev
            && held.st_ino == now.st_ino)
            return fd;
        ::close(fd);
    }
    errno = EAGAIN;
    return -1;
}

// With the lease locked: the link its simulator left behind goes, if it
// still points where that simulator pointed it.
void removeLeftBehind(const std::string& link, int fd)
{
    const std::vector<std::string> lines = leaseLines(fd);
    const std::string now = readLink(link);
    for (std::size_t i = 1; i < lines.size(); ++i) {
        if (!now.empty() && lines[i] == now) {
            ::unlink(link.c_str());
            return;
        }
    }
}

} // namespace

PortLease::~PortLease()
{
    release();
}

bool PortLease::take(const std::string& folder, const std::string& name, const std::string& target, std::string& error)
{
    release();
    const std::string path = leasePath(folder, name);
    int fd = lockLease(path, true);
    // A sweep elsewhere holds a lease for a moment; a simulator for good.
    for (int wait = 0; fd < 0 && errno == EWOULDBLOCK && wait < 20; ++wait) {
        const struct timespec pause = {0, 5000000};
        ::nanosleep(&pause, nullptr);
        fd = lockLease(path, true);
    }
    if (fd < 0) {
        if (errno == EWOULDBLOCK) {
            const int reader = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
            const std::vector<std::string> lines = reader >= 0 ? leaseLines(reader) : std::vector<std::string>();
            if (reader >= 0)
                ::close(reader);
            error = name + " is in use by another korvane-sim"
                + (lines.empty() ? std::string() : " (process " + lines[0] + ")");
        } else {
            error = "cannot make " + path + ": " + std::strerror(errno);
        }
        return false;
    }
    removeLeftBehind(folder + "/" + name, fd);
    m_fd = fd;
    m_path = path;
    m_target.clear();
    retarget(target);
    return true;
}

void PortLease::retarget(const std::string& target)
{
    if (m_fd < 0)
        return;
    std::string text = std::to_string(::getpid()) + "\n" + target + "\n";
    if (!m_target.empty() && m_target != target)
        text += m_target + "\n";
    m_target = target;
    if (::ftruncate(m_fd, 0) == 0) {
        [[maybe_unused]] const ssize_t written = ::pwrite(m_fd, text.data(), text.size(), 0);
    }
}

void PortLease::release()
{
    if (m_fd < 0)
        return;
    // Only our own file: someone may have removed it and another simulator
    // made a new one meanwhile.
    struct stat held, now;
    if (::fstat(m_fd, &held) == 0 && ::stat(m_path.c_str(), &now) == 0 && held.st_dev == now.st_dev
        && held.st_ino == now.st_ino)
        ::unlink(m_path.c_str());
    ::close(m_fd);
    m_fd = -1;
    m_path.clear();
    m_target.clear();
}

void PortLease::sweep(const std::string& folder)
{
    std::vector<std::string> names;
    if (DIR* d = folder.empty() ? nullptr : ::opendir(folder.c_str())) {
        while (const dirent* entry = ::readdir(d)) {
            std::string name = leasedName(entry->d_name);
            if (!name.empty())
                names.push_back(std::move(name));
        }
        ::closedir(d);
    }
    for (const std::string& name : names) {
        const std::string path = leasePath(folder, name);
        const int fd = lockLease(path, false);
        if (fd < 0)
            continue; // its simulator runs, or it went meanwhile
        removeLeftBehind(folder + "/" + name, fd);
        ::unlink(path.c_str());
        ::close(fd);
    }
}
