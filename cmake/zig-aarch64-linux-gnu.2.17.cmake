# The release build for 64-bit ARM Linux with zig (see zig.cmake), linked against glibc 2.17's
# symbols (manylinux2014). No interpreter of the target runs during the build: give the
# directory of the target's Python headers as Python_INCLUDE_DIR and the extension suffix in
# the SETUPTOOLS_EXT_SUFFIX environment variable (.ci/release does both). Debian's pyconfig.h
# there is a stub that includes <aarch64-linux-gnu/python3.XY/pyconfig.h> from beside the C
# library's headers: copy that real one over it, so that no host or Debian C library header
# takes the place of zig's.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(VANTORIX_ZIG_TARGET aarch64-linux-gnu.2.17)
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)

# pybind11 then looks for the target's headers without running the host's interpreter.
set(PYBIND11_USE_CROSSCOMPILING ON)
