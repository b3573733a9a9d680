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
// close may still have threads running library code. A call still on its way
// out (the close that gave the library's last reference back) gets to leave
// before the code goes.
void LibraryShutdownCoreExports() {
  { device::LibraryLock waitForCallsInProgress; }
  device::ReleaseClosedHandleMemory();
  platform::BeforeUnload();
}

}  // namespace velmora
