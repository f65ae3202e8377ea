# Cross build for 64-bit Windows with Debian's MinGW-w64 (package
# g++-mingw-w64-x86-64-posix). Qt 6 for Windows is not packaged for Debian:
# scripts/build-qt-windows.sh builds it from Debian's source with this same
# file, and `make windows` builds the whole program against it. Without Qt:
#
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DKORVANE_GUI=OFF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(korvane_mingw x86_64-w64-mingw32)
# The -posix flavour: its C++ runtime has std::thread and friends.
set(CMAKE_C_COMPILER ${korvane_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${korvane_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${korvane_mingw}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${korvane_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The Qt-free programs link the C and C++ runtimes statically: they run under
# Wine or on a bare Windows machine without MinGW's DLLs beside them. Qt and
# the window share MinGW's runtime DLLs instead, which ship with them: one
# C++ runtime for every module of the process.
if(DEFINED KORVANE_GUI AND NOT KORVANE_GUI)
    set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
endif()
