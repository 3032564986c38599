# Cross build for 64-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-x86-64).
# Programs built here run on this machine under wine, which CTest uses as the
# emulator of the end-to-end tests.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ROMCAST_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ROMCAST_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${ROMCAST_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${ROMCAST_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ROMCAST_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Debian keeps the 64-bit loader out of PATH when the 32-bit wine is not installed.
find_program(ROMCAST_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(ROMCAST_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ROMCAST_WINE})
endif()
