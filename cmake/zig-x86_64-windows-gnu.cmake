# The release build for 64-bit Windows with zig (see zig.cmake): the MinGW-w64 C runtime for
# the UCRT, as python.org's CPython uses, and zig's libc++ linked in, so that the .pyd needs
# only python3XY.dll, KERNEL32.dll and the UCRT's api-ms-win-crt-*.dll.
#
# The Windows CPython cannot run here, so CMake is told where its headers and import library
# are, and the extension's tag, instead of asking it (.ci/windows does this):
#   -DPython_ROOT_DIR=<the Windows CPython's directory>   (include/, libs/python3XY.lib)
#   -DPYBIND11_USE_CROSSCOMPILING=ON -DPython_SOABI=cp3XY-win_amd64
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(VANTORIX_ZIG_TARGET x86_64-windows-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)

# Headers and libraries from the Windows Python only; programs from here.
set(CMAKE_FIND_ROOT_PATH ${Python_ROOT_DIR})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
