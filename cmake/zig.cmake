# The parts that every zig toolchain file shares. Before including it, a toolchain file sets
# VANTORIX_ZIG_TARGET to zig's target triple (with the glibc version for Linux).
#
# The tools are wrappers in zig/ around `python3 -m ziglang`: the compiler, its libc++ and the
# C library headers and link stubs for the target all come from that one package, so the build
# reads nothing of the host's compilers, headers or libraries.
set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/zig/c++)
set(CMAKE_CXX_COMPILER_TARGET ${VANTORIX_ZIG_TARGET})
# zig builds its C and C++ runtimes for a target at the first link that needs them, a minute or
# more on a fresh machine, and again for each other kind of binary. CMake's checks of the
# compiler compile their test programs without linking them, so that only the module's own
# link does it.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_AR ${CMAKE_CURRENT_LIST_DIR}/zig/ar CACHE FILEPATH "zig ar")
set(CMAKE_RANLIB ${CMAKE_CURRENT_LIST_DIR}/zig/ranlib CACHE FILEPATH "zig ranlib")
set(CMAKE_CXX_COMPILER_AR ${CMAKE_AR} CACHE FILEPATH "zig ar")
set(CMAKE_CXX_COMPILER_RANLIB ${CMAKE_RANLIB} CACHE FILEPATH "zig ranlib")

# zig emits debug information unless told otherwise, and `zig objcopy --strip-all` answers
# "unimplemented" (and leaves an empty file). So zig's linker strips the release builds, and
# CMAKE_STRIP is left empty, which keeps pybind11 from running the host's strip afterwards.
set(CMAKE_STRIP "" CACHE FILEPATH "none: zig's linker strips")
set(CMAKE_MODULE_LINKER_FLAGS_RELEASE_INIT "-s")
set(CMAKE_MODULE_LINKER_FLAGS_MINSIZEREL_INIT "-s")
