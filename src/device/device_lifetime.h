// The device layer's part of the library's load and unload, run by the
// library's own start-up and shut-down (exports/library_lifetime.cpp).
#pragma once

namespace velmora::device {

// Creates LibraryMutex. Runs once per load, after the transport's start-up.
void LibraryStartupCoreExports();
// Open handles are not closed and LibraryMutex stays; only the memory held
// back from closed handles is freed.
void LibraryShutdownCoreExports();

}  // namespace velmora::device
