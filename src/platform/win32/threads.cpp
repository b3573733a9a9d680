// Win32 backend: threads, sleeping, the thread's last-error value, and
// the fork calls, which do nothing here.
#include <new>

#include "platform/platform.h"
#include "platform/win32/win32_internal.h"

namespace velmora::platform {

namespace {

struct ThreadState {
  HANDLE Os;
  Thread::Body Body;
  void* Argument;
};

// The OS calls thread procedures with its own calling convention (stdcall
// on 32-bit x86), so the body is called from here rather than passed on.
DWORD WINAPI ThreadMain(LPVOID raw) {
  const auto* t = static_cast<const ThreadState*>(raw);
  return DWORD(t->Body(t->Argument));
}

}  // namespace

bool Thread::CreateSuspended(Body body, void* argument) {
  const win32::KeepLastError keep;
  if (Handle != nullptr) return false;
  auto* t = new (std::nothrow) ThreadState{nullptr, body, argument};
  if (t == nullptr) return false;
  t->Os = ::CreateThread(nullptr, 0, ThreadMain, t, CREATE_SUSPENDED, nullptr);
  if (t->Os == nullptr) {
    delete t;
    return false;
  }
  Handle = t;
  return true;
}

void Thread::Resume() {
  const win32::KeepLastError keep;
  auto* t = static_cast<ThreadState*>(Handle);
  if (t != nullptr) ::ResumeThread(t->Os);
}

std::uint32_t Thread::Join() {
  const win32::KeepLastError keep;
  auto* t = static_cast<ThreadState*>(Handle);
  if (t == nullptr) return 0;
  // A thread that was never resumed is released so that it can end;
  // resuming a running thread changes nothing.
  ::ResumeThread(t->Os);
  ::WaitForSingleObject(t->Os, INFINITE);
  DWORD status = 0;
  if (!::GetExitCodeThread(t->Os, &status)) status = 0;
  ::CloseHandle(t->Os);
  delete t;
  Handle = nullptr;
  return std::uint32_t(status);
}

Thread::~Thread() { Join(); }

void YieldTimeSlice() { ::Sleep(0); }

void SleepMs(std::uint32_t ms) { ::Sleep(win32::BoundedMs(ms)); }

void SetLastError(std::uint32_t value) { ::SetLastError(DWORD(value)); }
std::uint32_t GetLastError() { return std::uint32_t(::GetLastError()); }

// Windows has no fork(): nothing runs around one, and no process is a fork child.
void RunAroundFork(void (*)(), void (*)(), void (*)()) {}

std::uint32_t ForkGeneration() { return 0; }

}  // namespace velmora::platform
