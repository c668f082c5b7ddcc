# Cross-compiling for 64-bit Windows with the mingw-w64 GCC (posix threads).
# The Python headers and import library come from a Windows CPython, and
# NumPy's headers from its win_amd64 wheel: see QVN_WIN_PYTHON_ROOT and
# QVN_WIN_NUMPY_INCLUDE in CMakeLists.txt. The C++ unit tests run through
# Wine when it is installed.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(QVN_MINGW_PREFIX x86_64-w64-mingw32 CACHE STRING "Target triplet of the mingw-w64 tools")
find_program(QVN_MINGW_CXX NAMES ${QVN_MINGW_PREFIX}-g++-posix ${QVN_MINGW_PREFIX}-g++ REQUIRED)
# The C compiler builds SQLite from its amalgamation (third_party/sqlite).
find_program(QVN_MINGW_CC NAMES ${QVN_MINGW_PREFIX}-gcc-posix ${QVN_MINGW_PREFIX}-gcc REQUIRED)
find_program(QVN_MINGW_WINDRES NAMES ${QVN_MINGW_PREFIX}-windres)
set(CMAKE_CXX_COMPILER ${QVN_MINGW_CXX})
set(CMAKE_C_COMPILER ${QVN_MINGW_CC})
if(QVN_MINGW_WINDRES)
  set(CMAKE_RC_COMPILER ${QVN_MINGW_WINDRES})
endif()

set(CMAKE_FIND_ROOT_PATH /usr/${QVN_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(QVN_WINE NAMES wine wine64)
if(QVN_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QVN_WINE})
endif()
