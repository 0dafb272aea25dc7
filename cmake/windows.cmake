# Cross-compiles the Windows viewer programs from a Linux build when mingw-w64
# is installed: a nested build of this source tree with the mingw-w64
# toolchain, run as part of every build of the main tree. The programs of
# TEX_WINDOWS_PROGRAMS land in ${TEX_WINDOWS_BINARY_DIR}/viewer as NAME.exe.
#
# Off by default in sanitizer builds: the .exe carries no sanitizers, so a
# second copy would only repeat the release build's work.
include(ExternalProject)

find_program(TEX_MINGW_CXX_PROGRAM NAMES x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-g++)
set(_tex_windows_default OFF)
if(TEX_MINGW_CXX_PROGRAM AND NOT TEX_SANITIZE)
  set(_tex_windows_default ON)
endif()
option(TEX_BUILD_WINDOWS "Cross-compile the Windows viewer programs with mingw-w64" ${_tex_windows_default})

set(TEX_WINDOWS_PROGRAMS fileview compiledview)
set(TEX_WINDOWS_BINARY_DIR ${CMAKE_BINARY_DIR}/windows)
set(TEX_FILEVIEW_EXE "")
set(TEX_COMPILEDVIEW_EXE "")
if(TEX_BUILD_WINDOWS)
  if(NOT TEX_MINGW_CXX_PROGRAM)
    message(FATAL_ERROR "TEX_BUILD_WINDOWS needs mingw-w64 (Debian: g++-mingw-w64-x86-64)")
  endif()
  set(_tex_windows_executables "")
  foreach(program IN LISTS TEX_WINDOWS_PROGRAMS)
    list(APPEND _tex_windows_executables ${TEX_WINDOWS_BINARY_DIR}/viewer/${program}.exe)
  endforeach()
  ExternalProject_Add(windows_programs
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${TEX_WINDOWS_BINARY_DIR}
    CMAKE_ARGS
      -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/mingw-w64-x86_64.cmake
      -DCMAKE_BUILD_TYPE=Release
      -DTEX_BUILD_TESTS=OFF -DTEX_BUILD_BENCH=OFF -DTEX_BUILD_PROGRAMS=ON -DTEX_SANITIZE=OFF
    BUILD_COMMAND ${CMAKE_COMMAND} --build ${TEX_WINDOWS_BINARY_DIR} --target ${TEX_WINDOWS_PROGRAMS}
    BUILD_BYPRODUCTS ${_tex_windows_executables}
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON)
  set(TEX_FILEVIEW_EXE ${TEX_WINDOWS_BINARY_DIR}/viewer/fileview.exe)
  set(TEX_COMPILEDVIEW_EXE ${TEX_WINDOWS_BINARY_DIR}/viewer/compiledview.exe)
endif()
