# 64-bit Windows with MinGW-w64, not shipped: the Windows tests run this build
# under wine64 too, so that the sources are checked on both word sizes.
set(BCDMON_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

find_program(BCDMON_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(BCDMON_WINE64 NAMES wine64)
if(BCDMON_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${BCDMON_WINE64})
endif()
