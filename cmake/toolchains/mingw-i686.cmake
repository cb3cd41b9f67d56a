# 32-bit Windows on x86, the target bcdmon ships for, with MinGW-w64.
set(BCDMON_MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

# The tests run this build under Wine's 32-bit loader (Debian's wine32).
find_program(BCDMON_WINE32 NAMES wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(BCDMON_WINE32)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${BCDMON_WINE32})
endif()
