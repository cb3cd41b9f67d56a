# 32-bit Windows on x86, the target bcdmon ships for, with MinGW-w64.
set(BCDMON_MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
