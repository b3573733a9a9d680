# Cross build for 64-bit Windows with mingw-w64; tests run under wine64.
# The -posix compilers are needed: the win32 thread model of gcc 12 has no
# std::thread or std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VELMORA_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
