// POSIX backend: threads, sleeping, and the thread's last-error value.
#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <new>

#include "platform/platform.h"

namespace velmora::platform {

namespace {

// POSIX threads cannot start suspended, so the new thread waits at a gate
// that Resume opens before it runs the body.
struct ThreadState {
  pthread_t Id;
  Thread::Body Body;
  void* Argument;
  pthread_mutex_t GateLock;
  pthread_cond_t GateOpened;
  bool Resumed;
  bool Joined;
};

void* ThreadMain(void* raw) {
  auto* t = static_cast<ThreadState*>(raw);
  pthread_mutex_lock(&t->GateLock);
  while (!t->Resumed) pthread_cond_wait(&t->GateOpened, &t->GateLock);
  pthread_mutex_unlock(&t->GateLock);
  const std::uint32_t status = t->Body(t->Argument);
  return reinterpret_cast<void*>(std::uintptr_t(status));
}

}  // namespace

bool Thread::CreateSuspended(Body body, void* argument) {
  if (Handle != nullptr) return false;
  auto* t = new (std::nothrow) ThreadState;
  if (t == nullptr) return false;
  t->Body = body;
  t->Argument = argument;
  t->Resumed = false;
  t->Joined = false;
  if (pthread_mutex_init(&t->GateLock, nullptr) != 0) {
    delete t;
    return false;
  }
  if (pthread_cond_init(&t->GateOpened, nullptr) != 0) {
    pthread_mutex_destroy(&t->GateLock);
    delete t;
    return false;
  }
  if (pthread_create(&t->Id, nullptr, ThreadMain, t) != 0) {
    pthread_cond_destroy(&t->GateOpened);
    pthread_mutex_destroy(&t->GateLock);
    delete t;
    return false;
  }
  Handle = t;
  return true;
}

void Thread::Resume() {
  auto* t = static_cast<ThreadState*>(Handle);
  if (t == nullptr) return;
  pthread_mutex_lock(&t->GateLock);
  t->Resumed = true;
  pthread_mutex_unlock(&t->GateLock);
  pthread_cond_signal(&t->GateOpened);
}

std::uint32_t Thread::Join() {
  auto* t = static_cast<ThreadState*>(Handle);
  if (t == nullptr) return 0;
  // A thread that was never resumed is released so that it can end.
  Resume();
  void* status = nullptr;
  pthread_join(t->Id, &status);
  pthread_cond_destroy(&t->GateOpened);
  pthread_mutex_destroy(&t->GateLock);
  delete t;
  Handle = nullptr;
  return std::uint32_t(reinterpret_cast<std::uintptr_t>(status));
}

Thread::~Thread() { Join(); }

void YieldTimeSlice() { sched_yield(); }

void SleepMs(std::uint32_t ms) {
  timespec t{time_t(ms / 1000), long(ms % 1000) * 1000000L};
  while (nanosleep(&t, &t) != 0 && errno == EINTR) {
  }
}

namespace {
thread_local std::uint32_t LastError = 0;
}

void SetLastError(std::uint32_t value) { LastError = value; }
std::uint32_t GetLastError() { return LastError; }

}  // namespace velmora::platform
