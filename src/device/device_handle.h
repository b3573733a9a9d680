// Device handles: one TVClientSock per successful NDX_Connect, and the frame
// of locks and checks every exported operation runs inside.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <set>

#include "device/library_mutex.h"
#include "device/result_codes.h"
#include "device/reply_stream.h"
#include "platform/platform.h"
#include "transport/client_sock.h"

namespace velmora::device {

constexpr std::uint32_t Signature1Live = 0xFEC72512u;
constexpr std::uint32_t Signature2Live = 0x93B36804u;
constexpr std::int32_t DefaultTimeoutMs = 2000;
// A connection attempt is given as long as the first reply wait.
static_assert(transport::TDClientSock::ConnectTimeoutMs == DefaultTimeoutMs);

class TVClientSock {
 public:
  // Members are built in the order they are declared: HandleMutex, then Sock,
  // then ReplySignal. Valid() tells whether the OS gave every lock and
  // semaphore of the handle and its socket.
  TVClientSock();
  // Destroys Sock first (joining both threads), so no DataReceived call can be
  // running or follow when ReplySignal goes.
  ~TVClientSock();
  TVClientSock(const TVClientSock&) = delete;
  TVClientSock& operator=(const TVClientSock&) = delete;

  bool Valid() const;

  // A closed handle's memory is held back for a while before the allocator
  // may reuse it, so a stale value a host still passes around does not turn
  // into some newer handle at once: it gives 20. Allocation and release run
  // under LibraryMutex.
  static void* operator new(std::size_t size);
  static void operator delete(void* block) noexcept;

  platform::Mutex HandleMutex;
  std::uint32_t Signature1 = 0;
  std::unique_ptr<transport::TDClientSock> Sock;
  bool IsInput = false;
  // What the device has sent and no call has consumed yet; survives from
  // one call to the next. Only exported calls touch it, under both locks.
  ReplyStream Replies;
  platform::Semaphore ReplySignal{0, 1};
  std::int32_t TimeoutMs = 0;
  std::uint32_t Signature2 = 0;
  // The process that opened the handle, as the platform counts forks. In a
  // child made by fork() the handle's threads stayed in the parent and its
  // socket is the parent's connection: see Inherited().
  const std::uint32_t Generation = platform::ForkGeneration();
  // Set by DataReceived after each release of ReplySignal, so a caller that
  // watches for a reply without sleeping sees it without a system call.
  // Only a hint: ReplySignal stays what a wait consumes.
  std::atomic<bool> ReplyHint{false};
  // How long the last reply wait on this handle took, in microseconds;
  // decides whether the next one watches before it sleeps. Under both locks.
  std::uint32_t LastReplyWaitUs = UINT32_MAX;
  // When the last exchange on this handle ended, and when the running call
  // entered the library (before it waited for the locks): a host that asks
  // again at once is waiting on the device, one that paused in between is
  // not. Under both locks.
  std::chrono::steady_clock::time_point LastExchangeEnd;
  std::chrono::steady_clock::time_point CallEntered;
  // Whether the last reply on this handle carried a large payload.
  bool LastReplyLarge = false;
};

// True for a handle this process inherited through fork(). Every call on it
// gives 2250 without touching its locks, its queue or its socket (those
// belong to the parent's threads); NDX_Close gives 0 and forgets it. The
// child's copy of its socket was already closed when the child began, and
// its memory is left as it is: shared with the parent until written, it
// costs the child nothing.
inline bool Inherited(const TVClientSock& h) { return h.Generation != platform::ForkGeneration(); }

// Every handle NDX_Connect handed out and NDX_Close has not yet closed,
// created at library load. A value is looked up here before any of its
// fields is read, so a forged or stale value never reaches memory. Never
// destroyed: handles left open may outlive unload. Read under LibraryMutex
// or RegistryMutex; changed only under both (AddLiveHandle, RemoveLiveHandle).
extern std::set<const void*>* LiveHandles;

// Guards changes to LiveHandles and the memory held back from closed handles.
// Held only for a few instructions, never while waiting for anything, and
// taken after LibraryMutex and HandleMutex: so fork() can take it (see
// fork_handlers.cpp) without waiting for a call that is in progress.
extern platform::Mutex* RegistryMutex;

// Registers a handle that has just connected; the first live handle takes a
// reference to the library itself, so a host that unloads the library early
// does not unmap the code its connection threads run. Throws std::bad_alloc
// with nothing changed.
void AddLiveHandle(TVClientSock* h);
// Unregisters a handle being closed. After the last one (and once its
// threads have ended) TakeLibraryPinIfIdle hands the reference over, for
// the close to give back once it has released LibraryMutex; null otherwise.
void RemoveLiveHandle(TVClientSock* h);
void* TakeLibraryPinIfIdle();

// Frees the memory of closed handles that is being held back. Only for the
// library's unload, when no call may run any more: nothing can pass a stale
// value to an unloaded library, and without this every load and unload
// cycle would lose up to 1024 handles' worth of memory.
void ReleaseClosedHandleMemory() noexcept;

// The OnReceive notification: releases ReplySignal. Runs on the reader thread.
void DataReceived(void* userValue, transport::TDClientSock* sock);

// 0 when `handle` is a live device handle, else 20. Never reads memory at
// the address the host passed: the value must first be one the library
// itself handed out and has not closed. Runs with LibraryMutex held.
std::int32_t CheckHandle(const void* handle);

}  // namespace velmora::device
