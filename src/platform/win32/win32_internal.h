// What the files of the Win32 backend share. Private to platform/win32.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
// winsock2.h must come before windows.h, which would otherwise pull in the
// old winsock.h.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdint>

namespace velmora::platform::win32 {

// The thread's last-error value is what the library reports to the host
// (NDX_Connect's result), and on POSIX it changes only when the library sets
// it. Kernel calls here would change it as a side effect (CreateMutexA sets
// it even on success), so everything but the socket calls keeps it as it was.
class KeepLastError {
 public:
  KeepLastError() : Saved(::GetLastError()) {}
  ~KeepLastError() { ::SetLastError(Saved); }
  KeepLastError(const KeepLastError&) = delete;
  KeepLastError& operator=(const KeepLastError&) = delete;

 private:
  DWORD Saved;
};

// WaitForSingleObject treats 0xFFFFFFFF as INFINITE; a caller asking for
// that many milliseconds still gets a bounded wait (about 49.7 days).
inline DWORD BoundedMs(std::uint32_t ms) { return ms == INFINITE ? INFINITE - 1 : DWORD(ms); }

}  // namespace velmora::platform::win32
