#include "serialadapters.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace {

const char* const ById = "/dev/serial/by-id";
const char* const ByPath = "/dev/serial/by-path";

// One adapter as the two udev folders and sysfs show it.
struct Adapter
{
    std::string byId;   // the first by-id name that reaches it, if any
    std::string byPath; // the first by-path name, if any
    bool known = false; // sysfs showed its USB device
    std::string serial; // that device's serial number, empty when it has none
    std::string identity; // what its by-id name is made of
};

bool isFolder(const char* path)
{
    struct stat st;
    return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<std::string> listFolder(const std::string& folder, bool (*wanted)(const char*))
{
    std::vector<std::string> paths;
    if (DIR* d = ::opendir(folder.c_str())) {
        while (const dirent* entry = ::readdir(d)) {
            if (entry->d_name[0] != '.' && wanted(entry->d_name))
                paths.push_back(folder + "/" + entry->d_name);
        }
        ::closedir(d);
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

bool anyName(const char*)
{
    return true;
}

bool kernelName(const char* name)
{
    return std::strncmp(name, "ttyUSB", 6) == 0 || std::strncmp(name, "ttyACM", 6) == 0;
}

std::string firstLine(const std::string& path)
{
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

// Reads the USB device above the character device from sysfs: vendor,
// product and serial number, and the interface the tty hangs on, which is
// what udev builds the by-id name from.
void readUsb(dev_t device, Adapter& adapter)
{
    const std::string node = "/sys/dev/char/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
    char resolved[PATH_MAX];
    if (!::realpath(node.c_str(), resolved))
        return;
    std::string dir = resolved;
    std::string child;
    while (dir.size() > 5 && dir.compare(0, 5, "/sys/") == 0) {
        struct stat st;
        if (::stat((dir + "/idVendor").c_str(), &st) == 0) {
            const std::string name = dir.substr(dir.rfind('/') + 1);
            const std::string interface = child.compare(0, name.size(), name) == 0 ? child.substr(name.size()) : child;
            adapter.known = true;
            adapter.serial = firstLine(dir + "/serial");
            adapter.identity = firstLine(dir + "/idVendor") + ":" + firstLine(dir + "/idProduct") + ":"
                + adapter.serial + ":" + interface;
            return;
        }
        const std::size_t slash = dir.rfind('/');
        child = dir.substr(slash + 1);
        dir.erase(slash);
    }
}

// Where the by-id name cannot be trusted to find this adapter again.
bool bySocket(const Adapter& a, const std::map<std::string, int>& identities)
{
    if (a.byPath.empty())
        return false;
    if (a.byId.empty()) // a twin holds the name, or udev gave none; not an on-board UART
        return a.known || a.byPath.find("-usb") != std::string::npos;
    return a.known && (a.serial.empty() || identities.at(a.identity) > 1);
}

} // namespace

namespace SerialAdapters {

std::vector<std::string> present()
{
    const bool udev = isFolder(ById) || isFolder(ByPath);
    std::map<dev_t, Adapter> adapters;
    const auto collect = [&adapters](const std::vector<std::string>& paths, std::string Adapter::*name) {
        for (const std::string& path : paths) {
            struct stat st;
            if (::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode) && (adapters[st.st_rdev].*name).empty())
                adapters[st.st_rdev].*name = path;
        }
    };
    if (udev) {
        collect(listFolder(ById, anyName), &Adapter::byId);
        collect(listFolder(ByPath, anyName), &Adapter::byPath);
    } else {
        collect(listFolder("/dev", kernelName), &Adapter::byId);
    }

    std::map<std::string, int> identities;
    for (auto& [device, adapter] : adapters) {
        readUsb(device, adapter);
        if (adapter.known)
            ++identities[adapter.identity];
    }
    std::vector<std::string> names;
    for (const auto& entry : adapters) {
        const Adapter& a = entry.second;
        if (bySocket(a, identities))
            names.push_back(a.byPath);
        else if (!a.byId.empty())
            names.push_back(a.byId);
    }
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace SerialAdapters
