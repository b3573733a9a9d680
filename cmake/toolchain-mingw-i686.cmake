# Cross build for 32-bit Windows with mingw-w64: the DLL with its stdcall
# wrappers. This machine cannot run 32-bit Windows code, so there is no
# emulator; the result is checked statically (scripts/check-dll-exports.sh).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(VELMORA_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
