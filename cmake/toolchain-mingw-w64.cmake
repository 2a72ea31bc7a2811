# Cross build of the Windows programs on Linux with mingw-w64 (Debian:
# apt-get install mingw-w64): 64-bit with this file, 32-bit with
# toolchain-mingw-w64-i686.cmake, which sets UPDATER_MINGW_PROCESSOR and
# includes this one.
#
#   cmake --preset windows && cmake --build --preset windows
#   cmake --preset windows-x86 && cmake --build --preset windows-x86
#
# The programs link the C and C++ runtimes statically, so that they need no
# DLL beyond those that come with every Windows (KERNEL32, msvcrt, WINMM).
# The firmware embedding tool runs on the build machine and is built with
# UPDATER_HOST_CXX (see cmake/FirmwareImages.cmake).
if(NOT UPDATER_MINGW_PROCESSOR)
    set(UPDATER_MINGW_PROCESSOR x86_64)
endif()
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${UPDATER_MINGW_PROCESSOR})

set(UPDATER_MINGW_PREFIX ${UPDATER_MINGW_PROCESSOR}-w64-mingw32 CACHE STRING
    "Target triplet of the mingw-w64 tools")

set(CMAKE_C_COMPILER ${UPDATER_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${UPDATER_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${UPDATER_MINGW_PREFIX}-windres)

# Headers and libraries of the target only; programs of the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${UPDATER_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
