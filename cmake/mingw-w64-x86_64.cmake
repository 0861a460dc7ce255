# Cross-build for 64-bit Windows with Debian's mingw-w64.
#
# The posix thread model: GCC 12's default win32 model has no std::thread or
# std::mutex. The runtime (libgcc, libstdc++, winpthread) is linked statically
# so that qorvel.exe runs from any folder without DLLs beside it.
#
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QORVEL_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QORVEL_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QORVEL_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${QORVEL_MINGW_TRIPLET}-windres)

# Libraries and headers come from the mingw sysroot only: a glibc header
# from /usr/include breaks the build. Tools run on the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${QORVEL_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Test programs built here run under wine (WINEPREFIX and WINEDEBUG come from
# the caller's environment).
find_program(QORVEL_WINE NAMES wine64 wine)
if(QORVEL_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QORVEL_WINE})
endif()
