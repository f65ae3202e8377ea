// What the port chooser shows of a Windows port: the name Windows gives the
// device behind it, the one Device Manager shows ("USB-SERIAL CH340 (COM4)").
#include "portnumbering.h"

#include <windows.h>

#include <devguid.h>
#include <setupapi.h>

#include <cwchar>

namespace {

std::string utf8(const wchar_t* text)
{
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1)
        return {};
    std::string out(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
    out.pop_back(); // the terminating NUL
    return out;
}

// The friendly name of the present device in the Ports class whose
// "PortName" is port; empty when there is none.
std::string friendlyName(const std::wstring& port)
{
    HDEVINFO set = ::SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE)
        return {};
    std::string name;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    for (DWORD i = 0; name.empty() && ::SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        HKEY key = ::SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE)
            continue;
        wchar_t portName[32] = {};
        DWORD size = sizeof portName - sizeof(wchar_t); // room kept for the NUL the registry may leave out
        DWORD type = 0;
        const bool named = ::RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(portName), &size)
                               == ERROR_SUCCESS
                           && type == REG_SZ;
        ::RegCloseKey(key);
        if (!named || ::_wcsicmp(portName, port.c_str()) != 0)
            continue;
        wchar_t friendly[256] = {};
        if (::SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_FRIENDLYNAME, nullptr, reinterpret_cast<BYTE*>(friendly),
                                                sizeof friendly - sizeof(wchar_t), nullptr))
            name = utf8(friendly);
    }
    ::SetupDiDestroyDeviceInfoList(set);
    return name;
}

} // namespace

std::string PortNumbering::describe(int number)
{
    const std::string port = openPath(number);
    if (const std::string remote = address(number); !remote.empty())
        return port + ": " + remote;
    const std::wstring wide(port.begin(), port.end());
    const std::string friendly = friendlyName(wide);
    if (!friendly.empty())
        return port + ": " + friendly;
    // No device manager entry: a port that the system knows by name only
    // (Wine's, say), or none at all.
    wchar_t target[512];
    if (::QueryDosDeviceW(wide.c_str(), target, sizeof target / sizeof target[0]) == 0)
        return port + ": no device";
    return port;
}
