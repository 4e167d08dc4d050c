# Cross-compiles the extension for 64-bit Windows with Debian's mingw-w64 GCC, posix thread
# model (pybind11 needs std::mutex, which the win32 model lacks).
#
# The Windows CPython cannot run here, so CMake is told where its headers and import library
# are, and the extension's tag, instead of asking it (.ci/windows does this):
#   -DPython_ROOT_DIR=<the Windows CPython's directory>   (include/, libs/python3XY.lib)
#   -DPYBIND11_USE_CROSSCOMPILING=ON -DPython_SOABI=cp3XY-win_amd64
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(_prefix x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_prefix}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_prefix}-g++-posix)
set(CMAKE_RC_COMPILER ${_prefix}-windres)

# Headers and libraries come from the mingw sysroot and the Windows Python; programs from here.
set(CMAKE_FIND_ROOT_PATH /usr/${_prefix} ${Python_ROOT_DIR})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
