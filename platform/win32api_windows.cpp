// On Windows the transports call the system's own serial and WinSock
// functions; win32api.h only gathers them under namespace win.
#include "win32api.h"

static_assert(sizeof(win::DWORD) == 4, "DWORD is the 32-bit Win32 type");
