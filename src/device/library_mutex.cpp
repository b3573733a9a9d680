#include "device/library_mutex.h"

#include <new>

#include "exports/library_lifetime.h"

namespace velmora {

namespace device {
platform::Mutex* LibraryMutex = nullptr;
}

void LibraryStartupCoreExports() {
  if (device::LibraryMutex == nullptr) device::LibraryMutex = new (std::nothrow) platform::Mutex;
}

void LibraryShutdownCoreExports() {}

}  // namespace velmora
