#include "device/device_handle.h"

#include <deque>
#include <new>
#include <set>
#include <string>

#include "device/device_api.h"
#include "diff/wire_vocabulary.h"

namespace velmora::device {

std::set<const void*>* LiveHandles = nullptr;
platform::Mutex* RegistryMutex = nullptr;

namespace {

// The memory of the last closed handles, oldest first.
constexpr std::size_t QuarantinedHandles = 1024;
std::deque<void*>* Quarantine GUARDED_BY(*RegistryMutex) PT_GUARDED_BY(*RegistryMutex) = nullptr;

// The library's reference to itself while any handle is live.
void* LibraryPin GUARDED_BY(*RegistryMutex) = nullptr;

}  // namespace

void AddLiveHandle(TVClientSock* h) {
  const bool first = LiveHandles->empty();
  // Taken outside the registry lock: the loader has a lock of its own.
  void* pin = first ? platform::PinLibrary() : nullptr;
  try {
    platform::MutexLock registry(*RegistryMutex);
    LiveHandles->insert(h);
    if (first) LibraryPin = pin;
  } catch (...) {
    platform::UnpinLibraryLater(pin);
    throw;
  }
}

void RemoveLiveHandle(TVClientSock* h) {
  platform::MutexLock registry(*RegistryMutex);
  LiveHandles->erase(h);
}

void* TakeLibraryPinIfIdle() {
  platform::MutexLock registry(*RegistryMutex);
  if (!LiveHandles->empty()) return nullptr;
  void* pin = LibraryPin;
  LibraryPin = nullptr;
  return pin;
}

void* TVClientSock::operator new(std::size_t size) { return ::operator new(size); }

void TVClientSock::operator delete(void* block) noexcept {
  if (block == nullptr) return;
  platform::MutexLock registry(*RegistryMutex);
  try {
    if (Quarantine == nullptr) Quarantine = new std::deque<void*>;
    Quarantine->push_back(block);
  } catch (...) {
    ::operator delete(block);  // no room to hold it back: release it now
    return;
  }
  if (Quarantine->size() > QuarantinedHandles) {
    ::operator delete(Quarantine->front());
    Quarantine->pop_front();
  }
}

void ReleaseClosedHandleMemory() noexcept {
  platform::MutexLock registry(*RegistryMutex);
  std::deque<void*>* held = Quarantine;
  Quarantine = nullptr;
  if (held == nullptr) return;
  for (void* block : *held) ::operator delete(block);
  delete held;
}

TVClientSock::TVClientSock() : Sock(new (std::nothrow) transport::TDClientSock) {}

TVClientSock::~TVClientSock() { Sock.reset(); }

bool TVClientSock::Valid() const {
  return Sock != nullptr && Sock->Valid() && ReplySignal.Valid() && HandleMutex.Valid();
}

void DataReceived(void* userValue, transport::TDClientSock*) {
  // At the maximum of 1 the release changes nothing: any number of arrivals
  // between two waits leaves exactly one count.
  auto* h = static_cast<TVClientSock*>(userValue);
  h->ReplySignal.Release();
  h->ReplyHint.store(true, std::memory_order_release);
}

std::int32_t CheckHandle(const void* handle) {
  if (handle == nullptr || LiveHandles == nullptr) return ErrorBadUnit;
  if (LiveHandles->count(handle) == 0) return ErrorBadUnit;
  const auto* h = static_cast<const TVClientSock*>(handle);
  if (h->Signature1 != Signature1Live || h->Signature2 != Signature2Live) return ErrorBadUnit;
  return ErrorSuccess;
}

NDX_HANDLE Connect(const char* host, std::int32_t isInput, std::int32_t portIndex) noexcept {
  LibraryLock library;
  if (!library.Held || LiveHandles == nullptr || RegistryMutex == nullptr) {
    platform::SetLastError(ErrorNoSystemResources);
    return nullptr;
  }
  TVClientSock* h = nullptr;
  try {
    std::string hostText;
    if (!platform::GuardedReadText(host, hostText)) {
      platform::SetLastError(ErrorNoAccess);
      return nullptr;
    }
    const std::int32_t port = wire::DevicePort(isInput != 0, portIndex);
    h = new TVClientSock;
    if (!h->Valid()) {
      delete h;
      platform::SetLastError(ErrorNoSystemResources);
      return nullptr;
    }
    h->Signature1 = Signature1Live;
    h->Signature2 = Signature2Live;
    h->IsInput = isInput != 0;
    h->TimeoutMs = DefaultTimeoutMs;
    h->Sock->OnReceive = transport::TDClientSockEvent{&DataReceived, h};
    const int error = h->Sock->Connect(hostText, port);
    if (error != 0) {
      delete h;
      platform::SetLastError(static_cast<std::uint32_t>(error));
      return nullptr;
    }
    AddLiveHandle(h);
  } catch (...) {
    // Only memory exhaustion gets here; whatever was built is torn down.
    delete h;
    platform::SetLastError(ErrorNotEnoughMemory);
    return nullptr;
  }
  platform::SetLastError(0);
  return h;
}

namespace {

// NDX_Close under LibraryMutex; `pin` receives the library's reference to
// itself when the last handle has gone.
std::int32_t CloseLocked(NDX_HANDLE handle, void*& pin) noexcept {
  LibraryLock library;
  if (!library.Held) return ErrorBadUnit;
  if (CheckHandle(handle) != ErrorSuccess) return ErrorBadUnit;
  auto* h = static_cast<TVClientSock*>(handle);
  if (Inherited(*h)) {
    // Its threads, locks and connection belong to the parent; only the
    // child's copy of the socket was ours, and it went when the child began.
    RemoveLiveHandle(h);
    pin = TakeLibraryPinIfIdle();
    return ErrorSuccess;
  }
  { platform::MutexLock wait(h->HandleMutex); }
  h->Signature1 = 0;
  h->Signature2 = 0;
  RemoveLiveHandle(h);
  // A command returns once queued, so a host that configures and closes at
  // once would otherwise lose settings it was told had succeeded. What is
  // still queued gets up to the handle's time-out to leave; a device that
  // has stopped reading cannot hold the close longer than that.
  if (h->Sock->Connected) h->Sock->WaitUntilSent(static_cast<std::uint32_t>(h->TimeoutMs));
  // Waits for both connection threads; requests still unsent are dropped.
  delete h;
  pin = TakeLibraryPinIfIdle();
  return ErrorSuccess;
}

}  // namespace

std::int32_t Close(NDX_HANDLE handle) noexcept {
  void* pin = nullptr;
  const std::int32_t result = CloseLocked(handle, pin);
  // Given back with LibraryMutex already released: if the host has unloaded
  // the library, all that is left of this call in its code is the return.
  platform::UnpinLibraryLater(pin);
  return result;
}

}  // namespace velmora::device
