# The release build for x86-64 Linux with zig (see zig.cmake): linked against glibc 2.17's
# symbols, so that the module loads on any glibc from 2.17 on (manylinux2014), with zig's
# libc++ linked in. The host's interpreter is of the same CPU and still answers CMake's
# questions, so this is not a cross build.
set(VANTORIX_ZIG_TARGET x86_64-linux-gnu.2.17)
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
