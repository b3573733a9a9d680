// Win32 backend: the mutex, the queued mutex and the semaphore.
#include <cstdlib>
#include <new>

#include "platform/platform.h"
#include "platform/win32/win32_internal.h"

namespace velmora::platform {

Mutex::Mutex() {
  const win32::KeepLastError keep;
  Handle = ::CreateMutexA(nullptr, FALSE, nullptr);
}

Mutex::~Mutex() {
  const win32::KeepLastError keep;
  if (Handle != nullptr) ::CloseHandle(Handle);
}

// WAIT_ABANDONED (the previous owner ended while holding the mutex) still
// hands ownership to this thread, so it needs no handling of its own.
void Mutex::Lock() {
  const win32::KeepLastError keep;
  const DWORD got = ::WaitForSingleObject(Handle, INFINITE);
  if (got != WAIT_OBJECT_0 && got != WAIT_ABANDONED) std::abort();
}

void Mutex::Unlock() {
  const win32::KeepLastError keep;
  if (!::ReleaseMutex(Handle)) std::abort();
}

// Never called: Windows has no fork().
void Mutex::ResetInForkChild() {}

namespace {

// The same ticket lock as on POSIX, over a slim reader/writer lock and a
// condition variable (neither touches the thread's last-error value).
struct QueuedMutexState {
  SRWLOCK Lock;
  CONDITION_VARIABLE Turn;
  std::uint64_t NextTicket;
  std::uint64_t Serving;
};

void InitQueuedMutex(QueuedMutexState& q) {
  ::InitializeSRWLock(&q.Lock);
  ::InitializeConditionVariable(&q.Turn);
  q.NextTicket = 0;
  q.Serving = 0;
}

}  // namespace

QueuedMutex::QueuedMutex() {
  auto* q = new (std::nothrow) QueuedMutexState;
  if (q == nullptr) return;
  InitQueuedMutex(*q);
  Handle = q;
}

QueuedMutex::~QueuedMutex() { delete static_cast<QueuedMutexState*>(Handle); }

void QueuedMutex::Lock() {
  const win32::KeepLastError keep;
  auto* q = static_cast<QueuedMutexState*>(Handle);
  ::AcquireSRWLockExclusive(&q->Lock);
  const std::uint64_t ticket = q->NextTicket++;
  while (q->Serving != ticket) ::SleepConditionVariableSRW(&q->Turn, &q->Lock, INFINITE, 0);
  ::ReleaseSRWLockExclusive(&q->Lock);
}

// Waiters here sleep until the release; there is no one to wake early.
void QueuedMutex::WakeNextInLine() {}

void QueuedMutex::Unlock() {
  auto* q = static_cast<QueuedMutexState*>(Handle);
  ::AcquireSRWLockExclusive(&q->Lock);
  ++q->Serving;
  ::ReleaseSRWLockExclusive(&q->Lock);
  ::WakeAllConditionVariable(&q->Turn);
}

// Never called: Windows has no fork().
void QueuedMutex::ResetInForkChild() {
  if (Handle != nullptr) InitQueuedMutex(*static_cast<QueuedMutexState*>(Handle));
}

Semaphore::Semaphore(std::int32_t initial, std::int32_t maximum) {
  const win32::KeepLastError keep;
  Handle = ::CreateSemaphoreA(nullptr, LONG(initial), LONG(maximum), nullptr);
}

Semaphore::~Semaphore() {
  const win32::KeepLastError keep;
  if (Handle != nullptr) ::CloseHandle(Handle);
}

// At the maximum ReleaseSemaphore fails with ERROR_TOO_MANY_POSTS and leaves
// the count alone.
bool Semaphore::Release() {
  const win32::KeepLastError keep;
  return ::ReleaseSemaphore(Handle, 1, nullptr) != FALSE;
}

Semaphore::WaitResult Semaphore::Wait() {
  const win32::KeepLastError keep;
  return ::WaitForSingleObject(Handle, INFINITE) == WAIT_OBJECT_0 ? WaitResult::Signaled
                                                                  : WaitResult::Failed;
}

Semaphore::WaitResult Semaphore::WaitFor(std::uint32_t ms) {
  const win32::KeepLastError keep;
  switch (::WaitForSingleObject(Handle, win32::BoundedMs(ms))) {
    case WAIT_OBJECT_0: return WaitResult::Signaled;
    case WAIT_TIMEOUT: return WaitResult::TimedOut;
    default: return WaitResult::Failed;
  }
}

}  // namespace velmora::platform
