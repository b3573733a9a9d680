#include "device/fork_handlers.h"

#include "device/device_handle.h"

namespace velmora::device {

namespace {

// Calls `f` for every live handle opened in the process of fork generation `generation`.
template <class F>
void ForEachHandleOf(std::uint32_t generation, F f) {
  for (const void* value : *LiveHandles) {
    auto* h = static_cast<TVClientSock*>(const_cast<void*>(value));
    if (h->Generation == generation) f(*h->Sock);
  }
}

bool Ready() { return RegistryMutex != nullptr && LiveHandles != nullptr; }

}  // namespace

// Unchecked: takes RegistryMutex for the fork, and AfterForkIn* give it back.
void BeforeFork() NO_THREAD_SAFETY_ANALYSIS {
  if (!Ready()) return;
  RegistryMutex->Lock();
  // Handles inherited from an earlier fork are skipped: their socket locks
  // may be held by threads that do not exist here, and their copies of the
  // sockets are closed already. Unchecked: each socket lock stays held
  // across the fork.
  const auto hold = [](transport::TDClientSock& sock) NO_THREAD_SAFETY_ANALYSIS {
    sock.HoldSocketStateForFork();
  };
  ForEachHandleOf(platform::ForkGeneration(), hold);
}

// Unchecked: gives back RegistryMutex, taken by BeforeFork.
void AfterForkInParent() NO_THREAD_SAFETY_ANALYSIS {
  if (!Ready()) return;
  // Unchecked: gives back the socket locks BeforeFork took.
  const auto release = [](transport::TDClientSock& sock) NO_THREAD_SAFETY_ANALYSIS {
    sock.ReleaseSocketStateAfterFork();
  };
  ForEachHandleOf(platform::ForkGeneration(), release);
  RegistryMutex->Unlock();
}

// The platform has counted this fork already: the parent's own handles are
// those of the generation before.
void AfterForkInChild() {
  if (LibraryMutex != nullptr) LibraryMutex->ResetInForkChild();
  if (!Ready()) return;
  ForEachHandleOf(platform::ForkGeneration() - 1,
                  [](transport::TDClientSock& sock) { sock.ForgetInForkChild(); });
  RegistryMutex->ResetInForkChild();
}

}  // namespace velmora::device
