// Win32 backend: keeping the library loaded while its threads still run.
#include "platform/platform.h"
#include "platform/win32/win32_internal.h"

namespace velmora::platform {

namespace {

// The grace a caller gets to return out of the library after handing its
// pin to the releasing thread: it has only a few instructions left to run.
constexpr DWORD UnpinGraceMs = 50;

// Runs library code only up to FreeLibraryAndExitThread, which gives the
// reference back and ends the thread inside kernel32, never returning here.
DWORD WINAPI ReleasePinAndExit(LPVOID module) {
  ::Sleep(UnpinGraceMs);
  ::FreeLibraryAndExitThread(static_cast<HMODULE>(module), 0);
  return 0;
}

}  // namespace

void* PinLibrary() {
  const win32::KeepLastError keep;
  HMODULE self = nullptr;
  if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(&PinLibrary)),
                            &self)) {
    return nullptr;
  }
  // Linked into a program, the "module" is the program itself: nothing to keep.
  if (self == ::GetModuleHandleW(nullptr)) {
    ::FreeLibrary(self);
    return nullptr;
  }
  return self;
}

void UnpinLibraryLater(void* pin) {
  const win32::KeepLastError keep;
  if (pin == nullptr) return;
  const HANDLE thread = ::CreateThread(nullptr, 0, ReleasePinAndExit, pin, 0, nullptr);
  // Without a thread the reference stays: loaded for the rest of the process.
  if (thread != nullptr) ::CloseHandle(thread);
}

// The grace is spent on the releasing thread before the reference goes.
void BeforeUnload() {}

}  // namespace velmora::platform
