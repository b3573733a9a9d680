// Hooks the device layer provides for the library's load and unload.
#pragma once

namespace velmora {

// Creates LibraryMutex. Runs once per load, after the transport's start-up.
void LibraryStartupCoreExports();
// Nothing to undo: open handles are not closed and LibraryMutex stays.
void LibraryShutdownCoreExports();

}  // namespace velmora
