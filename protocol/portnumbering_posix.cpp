// Port numbers for USB serial adapters on Linux, kept as links in the ports
// folder. Nothing here opens a device: opening a port raises DTR and RTS,
// which resets many boards, so adapters are only looked at with stat().
#include "portnumbering.h"

#include "portaddress.h"
#include "portlease.h"
#include "serialadapters.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <vector>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Numbers given while the ports folder could not be written: they hold
// until the tool exits.
std::map<int, std::string>& runOnly()
{
    static std::map<int, std::string> numbers;
    return numbers;
}

std::string comName(int number)
{
    return "COM" + std::to_string(number);
}

std::string linkPath(int number)
{
    const std::string folder = PortNumbering::portsFolder();
    return folder.empty() ? std::string() : folder + "/" + comName(number);
}

bool exists(const std::string& path, struct stat* st = nullptr)
{
    struct stat ignored;
    return !path.empty() && ::lstat(path.c_str(), st ? st : &ignored) == 0;
}

// A character device behind every link; a loop or a plain file is not one.
bool isCharDevice(const std::string& path, struct stat* st)
{
    return ::stat(path.c_str(), st) == 0 && S_ISCHR(st->st_mode);
}

// The link's text as it was written; empty for no link.
std::string linkText(const std::string& link)
{
    std::vector<char> buffer(4096);
    const ssize_t n = link.empty() ? -1 : ::readlink(link.c_str(), buffer.data(), buffer.size() - 1);
    return n <= 0 ? std::string() : std::string(buffer.data(), static_cast<std::size_t>(n));
}

// Where the link points, made absolute against the link's own folder.
std::string linkTarget(const std::string& link)
{
    std::string target = linkText(link);
    if (target.empty())
        return {};
    if (target[0] != '/')
        target = link.substr(0, link.rfind('/') + 1) + target;
    return target;
}

// The on-board port /dev/ttyS<index> is a real UART when its driver reports
// a port type; the kernel makes the device node whether or not there is one.
bool realUart(int index)
{
    std::ifstream type("/sys/class/tty/ttyS" + std::to_string(index) + "/type");
    int value = 0;
    return bool(type >> value) && value != 0;
}

bool taken(int number)
{
    return exists(linkPath(number)) || runOnly().count(number) != 0 || realUart(number - 1);
}

// Whether COM<number> already stands for this adapter: its link names the
// same path, or both reach the same device.
bool numbers(int number, const std::string& adapter, const struct stat& adapterStat)
{
    const auto memo = runOnly().find(number);
    if (memo != runOnly().end())
        return memo->second == adapter;
    const std::string link = linkPath(number);
    if (!exists(link))
        return false;
    struct stat st;
    return linkTarget(link) == adapter || (isCharDevice(link, &st) && st.st_rdev == adapterStat.st_rdev);
}

bool hasNumber(const std::string& adapter)
{
    struct stat st;
    if (!isCharDevice(adapter, &st))
        return true; // gone since it was listed
    for (int n = PortNumbering::FirstPort; n <= PortNumbering::LastPort; ++n) {
        if (numbers(n, adapter, st))
            return true;
    }
    return false;
}

// Whether COM<number>, just found taken, now stands for this adapter.
bool numbersNow(int number, const std::string& adapter)
{
    struct stat st;
    return isCharDevice(adapter, &st) && numbers(number, adapter, st);
}

// mkdir -p; errno tells why when it fails.
bool makeFolder(const std::string& folder)
{
    for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
        const std::string part = folder.substr(0, slash);
        if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
        if (slash == std::string::npos)
            break;
    }
    struct stat st;
    if (::stat(folder.c_str(), &st) != 0)
        return false;
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return false;
    }
    return true;
}

// Records COM<number> for the adapter as a link; false, with errno, when the
// folder cannot take it.
bool recordLink(int number, const std::string& adapter)
{
    const std::string folder = PortNumbering::portsFolder();
    if (folder.empty()) {
        errno = ENOENT;
        return false;
    }
    return makeFolder(folder) && ::symlink(adapter.c_str(), linkPath(number).c_str()) == 0;
}

void give(const std::string& adapter)
{
    static bool toldFolder = false;
    static std::set<std::string> toldFull;
    for (int n = PortNumbering::FirstPort; n <= PortNumbering::LastPort; ++n) {
        if (taken(n))
            continue;
        // Another instance, started at the same moment, may be numbering
        // this adapter too: once it has, this one leaves it at that.
        if (hasNumber(adapter))
            return;
        if (!recordLink(n, adapter)) {
            if (errno == EEXIST) {
                if (numbersNow(n, adapter))
                    return; // the other instance was first, with this very number
                continue; // a link made meanwhile took the number
            }
            if (!toldFolder) {
                std::fprintf(stderr, "korvane: cannot keep port numbers in %s: %s; they hold for this run only\n",
                             PortNumbering::portsFolder().c_str(), std::strerror(errno));
                toldFolder = true;
            }
            runOnly()[n] = adapter;
        }
        std::fprintf(stderr, "korvane: %s is %s\n", comName(n).c_str(), adapter.c_str());
        return;
    }
    if (!hasNumber(adapter) && toldFull.insert(adapter).second) {
        std::fprintf(stderr, "korvane: COM%d to COM%d are all taken, so %s gets no port number; "
                             "remove a link in %s to free one\n",
                     PortNumbering::FirstPort, PortNumbering::LastPort, adapter.c_str(),
                     PortNumbering::portsFolder().c_str());
    }
}

} // namespace

void PortNumbering::assign()
{
    // A killed simulator's link would open a terminal that is someone's
    // shell by now, and it keeps its number taken.
    PortLease::sweep(portsFolder());
    for (const std::string& adapter : SerialAdapters::present()) {
        if (!hasNumber(adapter))
            give(adapter);
    }
    std::fflush(stderr);
}

std::string PortNumbering::openPath(int number)
{
    const std::string link = linkPath(number);
    struct stat st;
    if (!link.empty() && ::lstat(link.c_str(), &st) == 0)
        return link;
    const int why = errno;
    const auto memo = runOnly().find(number);
    if (memo != runOnly().end())
        return memo->second;
    if (!link.empty() && why != ENOENT) {
        // A link may stand there unseen; the on-board port must not be
        // opened in its place. Opening the link's path says why it fails.
        static bool told = false;
        if (!told) {
            std::fprintf(stderr, "korvane: cannot search the ports folder %s: %s; its ports open nothing until it can\n",
                         portsFolder().c_str(), std::strerror(why));
            std::fflush(stderr);
            told = true;
        }
        return link;
    }
    return "/dev/ttyS" + std::to_string(number - 1);
}

std::string PortNumbering::address(int number)
{
    const std::string text = linkText(linkPath(number));
    return PortAddress::isAddress(text) ? text : std::string();
}

std::string PortNumbering::device(int number)
{
    if (std::string remote = address(number); !remote.empty())
        return remote;
    const std::string path = openPath(number);
    if (path == linkPath(number)) {
        const std::string target = linkTarget(path);
        if (!target.empty())
            return target;
    }
    return path;
}

std::string PortNumbering::describe(int number)
{
    PortLease::sweep(portsFolder());
    const std::string name = comName(number);
    if (const std::string remote = address(number); !remote.empty())
        return name + ": " + remote;
    const std::string path = openPath(number);
    struct stat st;
    const bool present = ::stat(path.c_str(), &st) == 0;
    const int why = errno;
    if (path == linkPath(number)) {
        // Only a device is named as the port's; a folder, a file or a
        // broken link in the ports folder is said to be what it is.
        const std::string target = device(number);
        if (present)
            return name + ": " + (S_ISCHR(st.st_mode) ? target : "no device (" + target + " is not a serial device)");
        if (why == ENOENT)
            return name + ": no device (kept for " + target + ")";
        return name + ": no device (" + target + ": " + (why == ELOOP ? "link loops" : std::strerror(why)) + ")";
    }
    if (runOnly().count(number) != 0)
        return name + ": " + path + (present ? "" : ", not plugged in") + " (for this run only)";
    return name + ": " + (present && realUart(number - 1) ? path : std::string("no device"));
}

std::string PortNumbering::portsFolder()
{
    std::string configHome;
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/')
        configHome = xdg;
    else if (const char* home = std::getenv("HOME"); home && home[0] == '/')
        configHome = std::string(home) + "/.config";
    else if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir && pw->pw_dir[0] == '/')
        configHome = std::string(pw->pw_dir) + "/.config"; // started with no HOME, as from a service
    if (configHome.empty())
        return {};
    return configHome + "/korvane/ports";
}
