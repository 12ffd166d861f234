# Cross-compiles for Windows with Debian's MinGW-w64 (GCC, posix thread
# model), against the third-party libraries that scripts/lib/windows-deps.sh
# builds into a prefix for the same processor. Included by the toolchain
# files of each processor, which set KESTREL_MINGW_ARCH (x86_64 or i686):
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#         -DKESTREL_WINDOWS_PREFIX=<prefix> ...
#
# Build tools (omniidl above all) are the host's own; headers, libraries and
# packages come only from the prefix and the MinGW sysroot, never from the
# Linux system. Programs and DLLs carry libgcc, libstdc++ and winpthread
# inside them, so nothing but Windows' own DLLs needs to sit beside them.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${KESTREL_MINGW_ARCH})
set(_kestrel_triple ${KESTREL_MINGW_ARCH}-w64-mingw32)

# The posix thread model is what gives std::thread and std::mutex; the
# prefix's libraries were compiled by the same compilers.
set(CMAKE_C_COMPILER ${_kestrel_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_kestrel_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${_kestrel_triple}-windres)

set(KESTREL_WINDOWS_PREFIX "$ENV{KESTREL_WINDOWS_PREFIX}" CACHE PATH
    "The prefix with the Windows builds of omniORB, ACE and GoogleTest")
# try_compile projects read this file again without the cache.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KESTREL_WINDOWS_PREFIX)

set(CMAKE_FIND_ROOT_PATH /usr/${_kestrel_triple} ${KESTREL_WINDOWS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config would otherwise answer with the Linux builds of the same
# libraries.
set(ENV{PKG_CONFIG_LIBDIR} "${KESTREL_WINDOWS_PREFIX}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# --exclude-libs keeps the static libraries' symbols out of a DLL's exports
# when it has no .def file.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT
    "-static -static-libgcc -static-libstdc++ -Wl,--exclude-libs,ALL")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${CMAKE_SHARED_LINKER_FLAGS_INIT}")

# Lets ctest and try_run start the programs; Wine's own settings (WINEPREFIX,
# WINEDEBUG) come from the environment.
find_program(KESTREL_WINE wine)
if(KESTREL_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${KESTREL_WINE}")
endif()
