// POSIX backend: keeping the library loaded while its threads still run.
#include <dlfcn.h>
#include <pthread.h>

#include <atomic>

#include "platform/platform.h"

namespace velmora::platform {

namespace {

// The grace a caller gets to return out of the library after handing its
// pin to the releasing thread: it has only a few instructions left to run.
constexpr std::uint32_t UnpinGraceMs = 50;
std::atomic<bool> UnpinScheduled{false};

}  // namespace

void* PinLibrary() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&PinLibrary), &info) == 0 || info.dli_fname == nullptr ||
      info.dli_fname[0] == '\0') {
    return nullptr;
  }
  // RTLD_NOLOAD: only another reference to what is already loaded.
  return ::dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
}

void UnpinLibraryLater(void* pin) {
  if (pin == nullptr) return;
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return;
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  UnpinScheduled = true;
  // dlclose is the thread's whole body: it starts and ends in the C library,
  // so when it unmaps the library no frame of ours is left on its stack.
  // (dlclose returns int where a thread body returns a pointer; a detached
  // thread's result is never read, and both travel in the same register.)
  using Body = void* (*)(void*);
  pthread_t thread;
  if (pthread_create(&thread, &attr, reinterpret_cast<Body>(reinterpret_cast<void (*)()>(&::dlclose)),
                     pin) != 0) {
    UnpinScheduled = false;  // the pin stays: loaded for the rest of the process, which is safe
  }
  pthread_attr_destroy(&attr);
}

void BeforeUnload() {
  if (UnpinScheduled.exchange(false)) SleepMs(UnpinGraceMs);
}

}  // namespace velmora::platform
