# Cross build of the 32-bit Windows programs on Linux with mingw-w64: the
# 64-bit toolchain file with the i686 tools.
#
#   cmake --preset windows-x86 && cmake --build --preset windows-x86
set(UPDATER_MINGW_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-w64.cmake)
