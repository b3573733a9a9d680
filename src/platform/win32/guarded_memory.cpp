// Win32 backend: guarded copies from and to caller memory.
#include <cstdint>

#include "platform/platform.h"
#include "platform/win32/win32_internal.h"

namespace velmora::platform {

// ReadProcessMemory and WriteProcessMemory on our own process report
// unmapped memory as a failure instead of raising an access violation. They
// are not enough alone: WriteProcessMemory makes read-only code pages
// writable for the duration of the copy (it exists for debuggers), and a
// read would fire and consume a stack guard page. So every page of the range
// is first checked for the access we need; the copy itself still fails
// cleanly if the memory changes in between.
namespace {

bool Readable(DWORD protect) {
  switch (protect & 0xFF) {
    case PAGE_READONLY:
    case PAGE_READWRITE:
    case PAGE_WRITECOPY:
    case PAGE_EXECUTE_READ:
    case PAGE_EXECUTE_READWRITE:
    case PAGE_EXECUTE_WRITECOPY:
      return true;
    default:
      return false;
  }
}

bool Writable(DWORD protect) {
  switch (protect & 0xFF) {
    case PAGE_READWRITE:
    case PAGE_WRITECOPY:
    case PAGE_EXECUTE_READWRITE:
    case PAGE_EXECUTE_WRITECOPY:
      return true;
    default:
      return false;
  }
}

bool RangeAllows(const void* start, std::size_t length, bool write) {
  const std::uintptr_t first = reinterpret_cast<std::uintptr_t>(start);
  if (length - 1 > UINTPTR_MAX - first) return false;  // wraps around the address space
  const std::uintptr_t last = first + (length - 1);
  std::uintptr_t at = first;
  for (;;) {
    MEMORY_BASIC_INFORMATION info;
    if (::VirtualQuery(reinterpret_cast<const void*>(at), &info, sizeof info) == 0) return false;
    if (info.State != MEM_COMMIT || (info.Protect & (PAGE_GUARD | PAGE_NOACCESS)) != 0) {
      return false;
    }
    if (!(write ? Writable(info.Protect) : Readable(info.Protect))) return false;
    const std::uintptr_t regionEnd =
        reinterpret_cast<std::uintptr_t>(info.BaseAddress) + info.RegionSize;  // one past
    if (regionEnd == 0 || regionEnd > last) return true;  // 0: the region ends the address space
    at = regionEnd;
  }
}

}  // namespace

namespace {

// A copy the OS makes for us, refusing pages it cannot read or write instead
// of faulting. `caller` is the caller's side of it, checked first for reading
// or (`writing`) for writing; `copy` reports the bytes it moved.
template <class Copy>
bool CopyThroughOs(const void* caller, bool writing, std::size_t length, Copy copy) {
  const win32::KeepLastError keep;
  if (length == 0) return true;
  if (caller == nullptr || !RangeAllows(caller, length, writing)) return false;
  SIZE_T done = 0;
  return copy(&done) && done == length;
}

}  // namespace

bool GuardedRead(void* destination, const void* source, std::size_t length) {
  return CopyThroughOs(source, false, length, [&](SIZE_T* done) {
    return ::ReadProcessMemory(::GetCurrentProcess(), source, destination, length, done) != 0;
  });
}

bool GuardedWrite(void* destination, const void* source, std::size_t length) {
  return CopyThroughOs(destination, true, length, [&](SIZE_T* done) {
    return ::WriteProcessMemory(::GetCurrentProcess(), destination, source, length, done) != 0;
  });
}

// No system call here copies several runs at once; each piece goes alone.
bool GuardedCopyAtOnce(const CopyPiece*, std::size_t count, bool) { return count == 0; }

bool GuardedCanRead(const void* source, std::size_t length) {
  const win32::KeepLastError keep;
  if (length == 0) return true;
  return source != nullptr && RangeAllows(source, length, false);
}

// The protection of every region says what a write would do, so nothing is
// written to find out.
bool GuardedCanWrite(const MemoryRange* ranges, std::size_t count) {
  const win32::KeepLastError keep;
  for (std::size_t r = 0; r < count; ++r) {
    if (ranges[r].Length == 0) continue;
    if (ranges[r].Start == nullptr || !RangeAllows(ranges[r].Start, ranges[r].Length, true)) {
      return false;
    }
  }
  return true;
}

std::size_t PageSize() {
  static const std::size_t page = [] {
    SYSTEM_INFO info;
    ::GetSystemInfo(&info);
    return std::size_t(info.dwPageSize != 0 ? info.dwPageSize : 4096);
  }();
  return page;
}

}  // namespace velmora::platform
