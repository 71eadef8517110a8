# Cross build for 64-bit Windows with MinGW-w64 (Debian: g++-mingw-w64-x86-64).
# Usage: cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(FOLIAN_MINGW_PREFIX x86_64-w64-mingw32)
# The posix thread model: the win32 one has no std::thread or std::mutex in GCC 12, and the
# library's batches run on std::thread. -static links winpthread in, so no DLL is added.
set(CMAKE_C_COMPILER ${FOLIAN_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${FOLIAN_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${FOLIAN_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${FOLIAN_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Programs built here run under wine when a test needs them.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
