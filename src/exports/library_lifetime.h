// Hooks the device layer provides for the library's load and unload.
#pragma once

namespace velmora {

// Creates LibraryMutex. Runs once per load, after the transport's start-up.
void LibraryStartupCoreExports();
// Open handles are not closed and LibraryMutex stays; only the memory held
// back from closed handles is freed.
void LibraryShutdownCoreExports();

}  // namespace velmora
