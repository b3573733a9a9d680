#include "device/library_mutex.h"

#include <new>

#include "device/device_handle.h"
#include "exports/library_lifetime.h"

namespace velmora {

namespace device {
platform::Mutex* LibraryMutex = nullptr;
}

void LibraryStartupCoreExports() {
  if (device::LibraryMutex == nullptr) device::LibraryMutex = new (std::nothrow) platform::Mutex;
  if (device::LiveHandles == nullptr) device::LiveHandles = new (std::nothrow) std::set<const void*>;
}

// LibraryMutex and the list of live handles stay: a handle the host failed to
// close may still have threads running library code.
void LibraryShutdownCoreExports() { device::ReleaseClosedHandleMemory(); }

}  // namespace velmora
