# Cross build for 32-bit Windows with mingw-w64: the DLL with its stdcall
# wrappers. Tests run under the i386 build of Wine, which qemu-i386 runs on
# this machine (scripts/win32-test.sh sets up its prefix).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(VELMORA_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine)
