// The COMn link in the tool's ports directory.
#include "portlink.h"
#include "portnumbering.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool makeDirectories(const std::string& path, std::string& error)
{
    std::string partial;
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (partial.empty())
            continue;
        if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
            error = "cannot make " + partial + ": " + std::strerror(errno);
            return false;
        }
    }
    struct stat info{};
    if (::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        error = path + " is not a directory";
        return false;
    }
    return true;
}

std::string readLink(const std::string& path)
{
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer - 1);
    if (n < 0)
        return {};
    return std::string(buffer, static_cast<std::size_t>(n));
}

} // namespace

PortLink::~PortLink()
{
    remove();
}


bool PortLink::validName(const std::string& name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

bool PortLink::create(const std::string& name, const std::string& target, std::string& error)
{
    // The folder the tool itself looks in, found by the same rules.
    const std::string dir = PortNumbering::portsFolder();
    if (dir.empty()) {
        error = "no ports folder: neither XDG_CONFIG_HOME nor a home folder is set";
        return false;
    }
    if (!makeDirectories(dir, error))
        return false;
    const std::string path = dir + "/" + name;
    if (!m_lease.take(dir, name, target, error))
        return false;
    // symlink() never replaces anything, so a name that is taken stays as it was.
    if (::symlink(target.c_str(), path.c_str()) != 0) {
        m_lease.release();
        if (errno == EEXIST) {
            const std::string old = readLink(path);
            error = name + " is taken: " + path + " already exists"
                + (old.empty() ? std::string() : " (-> " + old + ")")
                + "; it was not made by this simulator and is left alone";
        } else {
            error = "cannot make " + path + ": " + std::strerror(errno);
        }
        return false;
    }
    m_path = path;
    m_target = target;
    return true;
}

bool PortLink::stillOurs() const
{
    return !m_path.empty() && readLink(m_path) == m_target;
}

bool PortLink::retarget(const std::string& target, std::string& error)
{
    if (!stillOurs()) {
        error = m_path + " no longer points at " + m_target + "; left alone";
        m_path.clear();
        return false;
    }
    const std::string temporary = m_path + ".korvane-sim." + std::to_string(::getpid());
    ::unlink(temporary.c_str());
    m_lease.retarget(target);
    if (::symlink(target.c_str(), temporary.c_str()) != 0
        || ::rename(temporary.c_str(), m_path.c_str()) != 0) {
        error = "cannot point " + m_path + " at " + target + ": " + std::strerror(errno);
        ::unlink(temporary.c_str());
        return false;
    }
    m_target = target;
    return true;
}

void PortLink::remove()
{
    if (stillOurs())
        ::unlink(m_path.c_str());
    m_lease.release();
    m_path.clear();
    m_target.clear();
}
