// Start-up and shut-down of the library's units, in load order.
//
// A namespace-scope object runs them: in a shared library its constructor
// runs at load (dlopen / process attach), after the runtime's own start-up,
// and its destructor at unload; a program that links the objects statically
// gets the same sequence around main.
#include "device/device_lifetime.h"
#include "diff/diff_tags.h"
#include "platform/platform.h"

namespace velmora {

namespace {

void ShutDown() {
  device::LibraryShutdownCoreExports();
  platform::SocketLibraryCleanup();
}

#if defined(__ELF__)
// On ELF systems the shut-down is a fini-array entry, not a destructor
// registered with __cxa_atexit. At process exit the C library runs atexit
// entries without the loader's lock, so the thread that gives the library's
// last reference back (dlclose, after the last handle closed) could unmap this
// code while the exiting thread is still inside it. Fini-array entries run
// under the loader's protection: at exit every object stays mapped until its
// entry has returned.
__attribute__((destructor)) void ShutDownAtUnload() { ShutDown(); }
#endif

struct LibraryLifetime {
  LibraryLifetime() {
    platform::SocketLibraryStartup();       // DClientSocks; a failure shows up as 1222 later
    device::LibraryStartupCoreExports();    // CoreExports: creates LibraryMutex
  }
#if !defined(__ELF__)
  ~LibraryLifetime() { ShutDown(); }
#endif
};

const LibraryLifetime Lifetime;

}  // namespace

}  // namespace velmora
