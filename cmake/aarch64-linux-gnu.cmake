# Cross build for 64-bit ARM Linux with Debian's cross compiler (package g++-aarch64-linux-gnu).
# The target's Python headers are not part of that compiler's sysroot: give their directory as
# Python_INCLUDE_DIR, and the extension suffix in the SETUPTOOLS_EXT_SUFFIX environment variable
# (.cpython-311-aarch64-linux-gnu.so), since no target interpreter can be run to ask.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Target headers and libraries from the cross compiler's tree only; programs, and CMake package
# files such as pybind11's, from the host.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# pybind11 then looks for the target's headers without running the host's interpreter.
set(PYBIND11_USE_CROSSCOMPILING ON)
