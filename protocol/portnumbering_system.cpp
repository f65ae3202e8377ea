// Where the system numbers its serial ports itself, as Windows does: "COMn"
// is the system's own name, and nothing is scanned or written. A number
// that names a network port is a file COMn in %APPDATA%\korvane\ports whose
// first line is the address, read at each open.
#include "portnumbering.h"

#include "portaddress.h"

#include <cstdio>
#include <cstdlib>
#include <cwchar>

void PortNumbering::assign() {}

std::string PortNumbering::openPath(int number)
{
    return "COM" + std::to_string(number);
}

std::string PortNumbering::address(int number)
{
#ifndef _WIN32
    (void)number; // no such folder where Windows is not: the fuzz target's fake device
    return {};
#else
    const wchar_t* appData = ::_wgetenv(L"APPDATA");
    if (appData == nullptr || appData[0] == L'\0')
        return {};
    const std::wstring path = std::wstring(appData) + L"\\korvane\\ports\\COM" + std::to_wstring(number);
    std::FILE* file = ::_wfopen(path.c_str(), L"rb");
    if (file == nullptr)
        return {};
    char line[512] = {};
    const bool read = std::fgets(line, sizeof line, file) != nullptr;
    std::fclose(file);
    std::string text = read ? line : "";
    if (text.rfind("\xEF\xBB\xBF", 0) == 0) // as Notepad may begin a UTF-8 file
        text.erase(0, 3);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '\t'))
        text.pop_back();
    return PortAddress::isAddress(text) ? text : std::string();
#endif
}

std::string PortNumbering::device(int number)
{
    const std::string remote = address(number);
    return remote.empty() ? openPath(number) : remote;
}

std::string PortNumbering::portsFolder()
{
    return {};
}
