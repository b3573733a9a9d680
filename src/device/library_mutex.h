// The one library-wide lock every exported call holds for its whole run.
#pragma once

#include "platform/platform.h"

namespace velmora::device {

// Created unowned at library load and never closed while the library is
// loaded. Null only when the OS could not create it; then no handle can be
// opened (NDX_Connect fails) and every other call finds no live handle.
// Granted in arrival order: a call waits only for the calls queued ahead of
// it, never for a thread that keeps coming back for the lock.
extern platform::QueuedMutex* LibraryMutex;

// Holds LibraryMutex for a scope. Lock order: LibraryMutex, then a handle's
// HandleMutex; released in reverse.
class LibraryLock {
 public:
  LibraryLock() : Held(LibraryMutex != nullptr && LibraryMutex->Valid()) {
    if (Held) LibraryMutex->Lock();
  }
  ~LibraryLock() {
    if (Held) LibraryMutex->Unlock();
  }
  LibraryLock(const LibraryLock&) = delete;
  LibraryLock& operator=(const LibraryLock&) = delete;
  bool Held;
};

}  // namespace velmora::device
