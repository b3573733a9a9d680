// Start-up and shut-down of the library's units, in load order.
//
// A namespace-scope object runs them: in a shared library its constructor
// runs at load (dlopen / process attach), after the runtime's own start-up,
// and its destructor at unload; a program that links the objects statically
// gets the same sequence around main.
#include "exports/library_lifetime.h"

#include "diff/diff_tags.h"
#include "platform/platform.h"

namespace velmora {

namespace {

struct LibraryLifetime {
  LibraryLifetime() {
    diff::BuildReverseTable();              // DIFFChunks
    platform::SocketLibraryStartup();       // DClientSocks; a failure shows up as 1222 later
    LibraryStartupCoreExports();            // CoreExports: creates LibraryMutex
  }
  ~LibraryLifetime() {
    LibraryShutdownCoreExports();
    platform::SocketLibraryCleanup();
  }
};

const LibraryLifetime Lifetime;

}  // namespace

}  // namespace velmora
