#include "device/library_mutex.h"

#include <new>

#include "device/device_handle.h"
#include "device/fork_handlers.h"
#include "exports/library_lifetime.h"

namespace velmora {

namespace device {
platform::QueuedMutex* LibraryMutex = nullptr;
}

void LibraryStartupCoreExports() {
  if (device::LibraryMutex == nullptr) device::LibraryMutex = new (std::nothrow) platform::QueuedMutex;
  if (device::RegistryMutex == nullptr) device::RegistryMutex = new (std::nothrow) platform::Mutex;
  if (device::LiveHandles == nullptr) device::LiveHandles = new (std::nothrow) std::set<const void*>;
  platform::RunAroundFork(&device::BeforeFork, &device::AfterForkInParent,
                          &device::AfterForkInChild);
}

// LibraryMutex and the list of live handles stay: a handle the host failed to
// close may still have threads running library code. LibraryMutex is not
// waited for here: at process exit a thread that held it may have been ended
// by the OS, and the lock would never come free. The close that gave the
// library's last reference back is left with its return only, which the
// platform's grace covers.
void LibraryShutdownCoreExports() {
  device::ReleaseClosedHandleMemory();
  platform::BeforeUnload();
}

}  // namespace velmora
