# Cross-compiles for 64-bit Windows with mingw-w64 (POSIX thread model): the
# test build for machines that execute no 32-bit code. Its executables run
# through 64-bit Wine; the wine wrapper would pick the 32-bit loader whenever
# wine32 is installed, so the 64-bit loader is named directly.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

find_program(WINE_PROGRAM NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(WINE_PROGRAM NAMES wine64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE_PROGRAM})
