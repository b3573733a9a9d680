#include "device/library_mutex.h"

#include <new>

#include "device/device_handle.h"
#include "device/device_lifetime.h"
#include "device/fork_handlers.h"

namespace velmora::device {

platform::QueuedMutex* LibraryMutex = nullptr;

void LibraryStartupCoreExports() {
  if (LibraryMutex == nullptr) LibraryMutex = new (std::nothrow) platform::QueuedMutex;
  if (RegistryMutex == nullptr) RegistryMutex = new (std::nothrow) platform::Mutex;
  if (LiveHandles == nullptr) LiveHandles = new (std::nothrow) std::set<const void*>;
  platform::RunAroundFork(&BeforeFork, &AfterForkInParent, &AfterForkInChild);
}

// LibraryMutex and the list of live handles stay: a handle the host failed to
// close may still have threads running library code. LibraryMutex is not
// waited for here: at process exit a thread that held it may have been ended
// by the OS, and the lock would never come free. The close that gave the
// library's last reference back is left with its return only, which the
// platform's grace covers.
void LibraryShutdownCoreExports() {
  ReleaseClosedHandleMemory();
  platform::BeforeUnload();
}

}  // namespace velmora::device
