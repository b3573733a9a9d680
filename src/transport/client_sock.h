// One TCP connection to a device: the socket, its outgoing queue and receive
// buffer, and the reader and writer threads that move byte strings between
// them and the network. While the owner's calls follow each other closely,
// the calling thread receives in the reader's place (ReceiveHere), as it
// already sends in the writer's. The transport never looks inside the byte
// strings.
//
// Owner's calling order: construct; set the notification slots; Connect once;
// any number of QueueSend / TakeReceived while Connected; destroy. The owner
// serialises its own calls on one object. The destructor must not run on the
// reader thread (it waits for that thread).
//
// The transport's locks (RecvMutex, SendMutex, SocketMutex) are leaves: each
// is held only for a few field updates, never across a wait, a notification
// or another lock, so they can be taken under any lock of the owner and can
// never be part of a deadlock. The one socket call made under a lock is
// QueueSend's send that never waits for the peer (under SendMutex).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace velmora::transport {

using ByteString = std::string;

class TDClientSock;

// One block the reader received into: storage of ReceiveBlockSize bytes, of
// which the first Length hold received bytes (never 0 while it is queued).
struct TReceivedBlock {
  std::unique_ptr<char[]> Storage;
  std::size_t Length = 0;
  std::string_view View() const { return std::string_view(Storage.get(), Length); }
};
using TReceivedBlocks = std::vector<TReceivedBlock>;

// A notification slot: a function and an opaque user value. It counts as set
// only when the function's address is 0x10000 or above. Calls through it
// swallow any exception the function raises.
struct TDClientSockEvent {
  using Function = void (*)(void* userValue, TDClientSock* sock);
  Function Code = nullptr;
  void* Data = nullptr;

  bool IsSet() const { return reinterpret_cast<std::uintptr_t>(Code) >= 0x10000; }
  void Notify(TDClientSock* sock) const noexcept;
};

// Base of the two connection threads. The OS thread is created suspended by
// this constructor; the derived constructor resumes it once the object is
// complete, and the derived destructor waits for it before the object starts
// coming apart, so Run never sees a half-built or half-destroyed object.
class TDClientThread {
 public:
  explicit TDClientThread(TDClientSock* clientSock);
  // Waits, without a time limit, for the thread to end.
  virtual ~TDClientThread();
  TDClientThread(const TDClientThread&) = delete;
  TDClientThread& operator=(const TDClientThread&) = delete;

  virtual std::uint32_t Run() = 0;

  bool Started() const { return OsThread.Created(); }
  // Waits for the thread to end and returns its exit status.
  std::uint32_t WaitFor();

  TDClientSock* const ClientSock;

 protected:
  void Resume() { OsThread.Resume(); }

 private:
  static std::uint32_t Entry(void* self);
  platform::Thread OsThread;
  std::uint32_t ExitStatus = 0;
  bool Ended = false;
};

// Receives blocks of up to 65536 bytes into RecvBuffer and notifies OnReceive;
// pauses while UndeliveredCap bytes wait for the owner; tears the connection
// down when the link ends. Exit status 2250 when recv
// failed or the peer closed, 0 when an exception ended the loop.
class TDClientReadThread : public TDClientThread {
 public:
  explicit TDClientReadThread(TDClientSock* clientSock) : TDClientThread(clientSock) { Resume(); }
  ~TDClientReadThread() override { WaitFor(); }
  std::uint32_t Run() override;
};

// Sends queued strings whole, in queue order. Exit status 1223 when woken
// with an empty queue (teardown), 2250 when a send failed, 0 on an exception.
class TDClientWriteThread : public TDClientThread {
 public:
  explicit TDClientWriteThread(TDClientSock* clientSock) : TDClientThread(clientSock) { Resume(); }
  ~TDClientWriteThread() override { WaitFor(); }
  std::uint32_t Run() override;
};

class TDClientSock {
 public:
  static constexpr std::size_t ReceiveBlockSize = 65536;
  static constexpr std::int32_t SendSemaphoreMaximum = 0x0FFFFFFF;
  // The reader takes no more bytes off the socket while this many received
  // bytes wait for the owner: TCP flow control then holds the device back,
  // and nothing is lost. Reception resumes as soon as the owner takes them,
  // so a reply of any size still flows while a call is collecting it; what a
  // device pushes while nobody asks costs at most this much (plus one block).
  static constexpr std::size_t UndeliveredCap = std::size_t(8) << 20;
  // How long a connection attempt may take before Connect gives up with 1203:
  // as long as a handle's first reply wait. The OS's own limit is far longer
  // (about 127 s on Linux, 21 s on Windows) against an address that drops
  // the attempt, for instance a listener whose queue is full.
  static constexpr std::uint32_t ConnectTimeoutMs = 2000;
  // How long QueueSendFrom's own sending waits for the peer to take more
  // before it leaves the rest to the writer, so that a stalled peer holds a
  // call up no longer than it would have without it.
  static constexpr std::uint32_t SendStallMs = 50;

  // Opens no socket and starts no thread. Valid() tells whether the OS gave
  // every lock and the semaphore; Connect refuses to run without them.
  TDClientSock();
  virtual ~TDClientSock();
  TDClientSock(const TDClientSock&) = delete;
  TDClientSock& operator=(const TDClientSock&) = delete;

  bool Valid() const;

  // Opens the connection to `host` (dotted IPv4 or a name) at the low 16 bits
  // of `port` and starts the reader, then the writer. Returns 0, 1222 (no
  // socket), 1203 (lookup or connection failed, or no connection within
  // ConnectTimeoutMs; the socket is closed) or 1450 (a thread could not
  // be started; nothing is left running). Throws std::bad_alloc, with nothing
  // opened, when the reader's first receive block cannot be reserved. Called
  // at most once.
  int Connect(const ByteString& host, std::int32_t port);

  // Shuts the socket down in both directions, unless it is already closed,
  // and ends a reader paused at UndeliveredCap.
  void Shutdown();

  // Sends a string after everything queued before it; an empty string is
  // ignored. When nothing is queued or being sent, the calling thread offers
  // it to the socket itself, without waiting for room: that spares a request
  // the hand-off to the writer thread. What the socket does not take at once
  // (or everything, when the writer is busy) is queued for the writer.
  void QueueSend(ByteString data);
  // Sends `head` followed by the `length` bytes at `body` as one string, after
  // everything queued before. `body` is read only during this call: as with
  // QueueSend the calling thread offers the bytes to the socket itself when
  // it may; once the socket has taken a part, it goes on sending the rest
  // itself as room frees, and only what the socket does not take within
  // SendStallMs is copied, by `copyRest`, into a string for the writer. False when `copyRest` failed:
  // nothing is queued then, and if a part had already gone out the
  // connection is shut down, since the peer could never find whole chunks
  // behind it. Throws std::bad_alloc, with nothing sent, when no room for
  // the rest can be reserved.
  using CopyFunction = bool (*)(void* to, const void* from, std::size_t length);
  bool QueueSendFrom(std::string_view head, const void* body, std::size_t length,
                     CopyFunction copyRest);
  // Writer only: waits for a count and takes the next string, or returns an
  // empty string when woken with nothing queued. `alreadySent` is how many of
  // its first bytes QueueSend's own send has handed to the socket.
  ByteString DequeueSend(std::size_t& alreadySent);
  // Waits until every queued string has been handed to the socket, at most
  // `timeoutMs`. True when nothing is left to send; false on time-out or when
  // the connection is down (what is queued then can never leave).
  bool WaitUntilSent(std::uint32_t timeoutMs);
  // Hands over every byte received and not yet taken; may be empty.
  ByteString TakeReceived();
  // The same hand-over without joining the blocks into one string: every
  // block received and not yet taken is appended to `into`, in arrival order
  // (in constant time when `into` is empty). The concatenation of the blocks
  // is exactly what TakeReceived would have returned. The storage of the
  // blocks in `spent` goes back to the reader for reuse, and `spent` is left
  // empty. On an exception nothing has been taken.
  void TakeReceivedBlocks(TReceivedBlocks& into, TReceivedBlocks& spent);
  // What ReceiveHere found.
  enum class HereResult {
    Received,        // one more block waits to be taken
    Quiet,           // nothing arrived within the time given
    ReaderReceives,  // the reader is receiving: its notification tells
    Ended,           // the link ended; the reader has been woken to tear down
  };
  // Receives on the calling thread instead of the reader, when the reader
  // has stepped aside: waits at most `timeoutMs` for bytes and appends one
  // block to what the takes hand over, without notifying OnReceive. While
  // the reader is the one receiving, this only asks it to step aside after
  // its next block (notifying what it holds), and the next call here will
  // find it aside. It steps back in once no call has received here for
  // ReaderAsideMs and the owner no longer holds it aside (HoldReaderAside),
  // so a device's unasked bytes and a dropped link are still seen while the
  // owner makes no calls. Throws std::bad_alloc, with nothing received, when
  // no block can be had.
  HereResult ReceiveHere(std::uint32_t timeoutMs);
  // How long the reader stays aside after the last receive on a calling
  // thread.
  static constexpr std::uint32_t ReaderAsideMs = 10;
  // While held, a reader that has stepped aside stays aside whatever the
  // time: the owner holds it for the length of a call, so that a calling
  // thread kept off its CPU in the middle of a reply never finds the reader
  // back and the rest of the reply with it. Released, the reader steps back
  // in ReaderAsideMs later.
  void HoldReaderAside(bool hold);

  // Until `bytes` received bytes wait untaken, blocks are not notified
  // through OnReceive, except when the reader pauses at UndeliveredCap: an
  // owner collecting a long frame is woken once it is complete instead of at
  // every block. The next take notifies every block again.
  void NotifyOnceBuffered(std::size_t bytes);
  // Milliseconds since the reader last appended a block (since Connect when
  // none has arrived): lets an owner whose notifications are held back
  // tell a silent link from a busy one.
  std::uint32_t QuietMs();

  // fork() support, for the device layer's fork handlers. The forking thread
  // takes the socket lock just before the fork (HoldSocketStateForFork), so
  // the socket's open or closed state is settled in both processes; the
  // parent then gives it back (ReleaseSocketStateAfterFork). The child, which
  // has a copy of the descriptor but none of the threads, calls
  // ForgetInForkChild instead: it closes the child's copy of the descriptor
  // (never shutdown(), which would end the parent's connection too) and
  // records the socket as closed, so nothing in the child reaches it again.
  void HoldSocketStateForFork() ACQUIRE(SocketMutex);
  void ReleaseSocketStateAfterFork() RELEASE(SocketMutex);
  // Unchecked: the child's only thread runs it, and the lock it would take is
  // a copy that the parent's threads may have left held.
  void ForgetInForkChild() NO_THREAD_SAFETY_ANALYSIS;

  platform::Socket SocketHandle = platform::InvalidSocket;

 private:
  // Received blocks not yet taken, in arrival order, and their byte count.
  TReceivedBlocks RecvBuffer GUARDED_BY(RecvMutex);
  std::size_t RecvBytes GUARDED_BY(RecvMutex) = 0;
  platform::Mutex RecvMutex;
  platform::Mutex SendMutex;

 public:
  // Released when the owner takes bytes while the reader waits at
  // UndeliveredCap (ReaderPaused), and by Shutdown.
  platform::Semaphore RecvSpace{0, 1};
  platform::Semaphore SendSemaphore{0, SendSemaphoreMaximum};
  // Destroyed in this order by the destructor, reader first.
  std::unique_ptr<TDClientReadThread> ReadThread;
  std::unique_ptr<TDClientWriteThread> WriteThread;

 private:
  std::deque<ByteString> SendQueue GUARDED_BY(SendMutex);  // front is sent next
  std::size_t FrontAlreadySent GUARDED_BY(SendMutex) = 0;   // of SendQueue.front()
  bool Sending GUARDED_BY(SendMutex) = false;               // the writer holds a string

 public:
  // True from a successful Connect until the link is seen to end (by the
  // reader, or by ReceiveHere just before the reader's teardown); never again.
  // The owner reads it without a lock as a hint before each operation.
  std::atomic<bool> Connected{false};
  TDClientSockEvent OnConnect;
  TDClientSockEvent OnReceive;
  TDClientSockEvent OnDisconnect;

  // Address resolution: dotted-decimal first, then a name lookup that uses
  // only the first IPv4 address. INADDR_NONE (0xFFFFFFFF) when unresolved.
  static std::uint32_t ResolveHost(const ByteString& host);

 private:
  friend class TDClientReadThread;
  friend class TDClientWriteThread;

  // The socket is closed only once neither thread can touch it any more: the
  // reader's teardown and the writer's exit each give up their use, and the
  // last one closes. Until then a shutdown from any side reaches this
  // connection's own socket, never a reused handle.
  void ReleaseSocketUse();
  // Counts one more user of the socket unless it is closed or both threads
  // have given it up; each true must be paired with ReleaseSocketUse.
  bool TakeSocketUse();
  // QueueSendFrom, with Sending set on its behalf: sends the bytes of `head`
  // then `body` from byte `sent` on, without the writer. Returns the count
  // sent in all; stops early when the socket takes nothing for SendStallMs
  // or fails (`failed`).
  std::size_t SendRestFromHere(std::string_view head, const void* body, std::size_t length,
                               std::size_t sent, bool& failed);
  // With SendMutex held: queues `data`, of which `alreadySent` bytes are on
  // the wire, for the writer: at the front when this thread was the one
  // sending it (`sentHere`), else behind everything queued.
  void QueueRestLocked(ByteString data, std::size_t alreadySent, bool sentHere)
      REQUIRES(SendMutex);

  // Block storage for the reader. A recycled block behaves exactly as a
  // fresh one, and spares the reader a fresh allocation (on some machines a
  // page fault per 4 KiB) for every receive. At most MaxFreeBlocks are kept.
  static constexpr std::size_t MaxFreeBlocks = 64;
  // With RecvMutex held: appends one received block. Throws only for lack
  // of memory, and then leaves RecvBuffer as it was.
  void AppendReceivedLocked(std::unique_ptr<char[]> block, std::size_t length)
      REQUIRES(RecvMutex);
  void RecycleLocked(TReceivedBlocks& spent) noexcept REQUIRES(RecvMutex);
  void RecycleBlockLocked(std::unique_ptr<char[]> block) noexcept REQUIRES(RecvMutex);
  std::vector<std::unique_ptr<char[]>> FreeBlocks GUARDED_BY(RecvMutex);
  std::size_t NotifyAfter GUARDED_BY(RecvMutex) = 0;
  std::chrono::steady_clock::time_point LastArrival GUARDED_BY(RecvMutex);
  // With RecvMutex held, after an append: whether OnReceive is due.
  bool NotifyDueLocked() const REQUIRES(RecvMutex) {
    return RecvBytes >= NotifyAfter || RecvBytes >= UndeliveredCap;
  }
  bool ReaderPaused GUARDED_BY(RecvMutex) = false;

  // Who receives from the socket: only ever one thread at a time, so the
  // received blocks stay in the order the bytes came.
  enum class Receiver { Reader, ReaderAside, Caller };
  Receiver Receiving GUARDED_BY(RecvMutex) = Receiver::Reader;
  bool AsideWanted GUARDED_BY(RecvMutex) = false;
  bool AsideHeld GUARDED_BY(RecvMutex) = false;
  // Whether the last receive here filled its block: more is likely waiting.
  bool LastHereFilled GUARDED_BY(RecvMutex) = false;
  std::chrono::steady_clock::time_point LastHereReceive GUARDED_BY(RecvMutex);
  // Wakes a reader that stepped aside: a hand-back or the shutdown.
  platform::Semaphore ReaderWake{0, 1};
  // Reader only, before each receive: stays aside while the owner's calls
  // receive their own replies. False once the connection is being shut down.
  bool StepAsideWhileCallersReceive();
  // With RecvMutex held: storage of a block for the next receive, null when
  // none is kept.
  std::unique_ptr<char[]> TakeFreeBlockLocked() REQUIRES(RecvMutex);
  std::atomic<bool> Stopping{false};                  // set by Shutdown, never cleared
  // Reader only: waits while UndeliveredCap bytes are untaken. False once the
  // connection is being shut down: the reader then stops receiving.
  bool WaitForRecvSpace();
  // With RecvMutex held, after a take: the paused reader may go on.
  bool ResumeReaderLocked() REQUIRES(RecvMutex);

  platform::Mutex SocketMutex;
  int SocketUsers GUARDED_BY(SocketMutex) = 0;
  bool SocketClosed GUARDED_BY(SocketMutex) = true;
};

}  // namespace velmora::transport
