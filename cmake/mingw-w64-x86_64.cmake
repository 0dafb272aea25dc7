# Toolchain for cross-compiling the Windows programs with mingw-w64 (Debian
# g++-mingw-w64-x86-64). Its long double is the 80-bit x87 type, so the engine
# computes the same bits as on Linux.
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TEX_MINGW_PREFIX x86_64-w64-mingw32 CACHE STRING "Target prefix of the mingw-w64 tools")
find_program(TEX_MINGW_CXX NAMES ${TEX_MINGW_PREFIX}-g++-posix ${TEX_MINGW_PREFIX}-g++ REQUIRED)
find_program(TEX_MINGW_WINDRES NAMES ${TEX_MINGW_PREFIX}-windres)
set(CMAKE_CXX_COMPILER ${TEX_MINGW_CXX})
if(TEX_MINGW_WINDRES)
  set(CMAKE_RC_COMPILER ${TEX_MINGW_WINDRES})
endif()

set(CMAKE_FIND_ROOT_PATH /usr/${TEX_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
