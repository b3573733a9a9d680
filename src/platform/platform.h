// The operating-system contract of the library.
//
// Everything the library needs from the OS goes through these names; one
// backend per platform implements them (platform/posix, platform/win32, one
// file per concern) and the build compiles exactly one. Code above this
// header never tests the platform. Failures are reported as return values,
// never as exceptions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/thread_annotations.h"

namespace velmora::platform {

// ---------------------------------------------------------------- sockets

// A socket handle; InvalidSocket when creation failed.
using Socket = std::uintptr_t;
constexpr Socket InvalidSocket = ~Socket(0);

// Starts the platform's socket library (WSAStartup asking for version 2.0 on
// Windows; nothing on POSIX). Called once at library load; the result is
// returned for information only. Paired with SocketLibraryCleanup at unload.
int SocketLibraryStartup();
void SocketLibraryCleanup();

// Creates a blocking IPv4 TCP socket (AF_INET, SOCK_STREAM, IPPROTO_TCP).
// Returns InvalidSocket on failure. On POSIX the socket never raises SIGPIPE.
Socket SocketCreateTcp();

// A port number and an IPv4 address (127.0.0.1 is 0x7F000001) in network
// byte order (htons, htonl): the one conversion every socket address takes.
std::uint16_t PortToNetwork(std::uint16_t port);
std::uint32_t AddressToNetwork(std::uint32_t address);

// Connects to an IPv4 address and port, both in network byte order. Returns
// true when connected. With NoTimeLimit it blocks for as long as the OS takes
// to succeed or give up (about 127 s on Linux, 21 s on Windows against a
// silent address). With a time limit the attempt is abandoned once `timeoutMs`
// milliseconds have passed (false); the socket is then left in no defined
// connection state and the caller closes it. Either way the socket is back in
// blocking mode when this returns.
constexpr std::uint32_t NoTimeLimit = 0xFFFFFFFFu;
bool SocketConnect(Socket s, std::uint32_t addressNet, std::uint16_t portNet,
                   std::uint32_t timeoutMs = NoTimeLimit);

// Disables Nagle's algorithm (TCP_NODELAY). Returns true on success.
bool SocketSetNoDelay(Socket s);

// One blocking send of up to `length` bytes. Returns the count the OS
// accepted (which may be fewer than offered), or -1 on error. `length` is
// clamped to what one call can pass (INT_MAX on Windows).
long SocketSend(Socket s, const void* data, std::size_t length);

// One send of up to `length` bytes that never waits for room in the
// socket's send buffer: returns the count the OS accepted at once (0 when
// none fitted), or -1 on error. Backends without a per-call non-blocking
// send (Windows, for a blocking socket) accept nothing and return 0, so the
// caller's fallback path carries every byte.
long SocketSendNoWait(Socket s, const void* data, std::size_t length);
// Whether SocketSendNoWait really sends: false where it always accepts nothing.
bool SocketSendNoWaitWorks();

// The same for `headLength` bytes at `head` followed by `bodyLength` bytes
// at `body`, gathered in one call; returns the count taken from the two
// together.
long SocketSendNoWait(Socket s, const void* head, std::size_t headLength, const void* body,
                      std::size_t bodyLength);

// Sends all `length` bytes, calling SocketSend again for whatever one call
// did not take: a peer always sees the bytes whole and in order, however the
// OS splits them. True once every byte was accepted (at once for length 0);
// false when a send failed or took nothing, after which an unknown prefix
// has gone out and the connection is of no further use. Written once above
// SocketSend for both backends.
bool SocketSendAll(Socket s, const void* data, std::size_t length);

// One blocking receive of up to `length` bytes. Returns the count received,
// 0 when the peer closed the connection, or -1 on error (including a socket
// shut down from this side).
long SocketRecv(Socket s, void* data, std::size_t length);

// A receive that waits at most `ms` milliseconds (0: not at all) for bytes,
// for a thread that is the only one receiving on the socket. Returns the
// count received, 0 when the peer closed the connection, -1 on error, or
// ReceiveNothingYet when no byte came within the time.
constexpr long ReceiveNothingYet = -2;
long SocketRecvWithin(Socket s, void* data, std::size_t length, std::uint32_t ms);

// Shuts the socket down in both directions (SD_BOTH / SHUT_RDWR); pending
// receives on other threads return. Does not release the handle. The result
// is not meaningful to callers.
void SocketShutdownBoth(Socket s);

// Releases the socket handle (closesocket / close). The handle value may be
// reused by the OS for a new socket immediately afterwards.
void SocketClose(Socket s);

// inet_addr: a dotted-decimal IPv4 address in network byte order, or
// 0xFFFFFFFF (INADDR_NONE) when the text is not one.
std::uint32_t ParseDottedAddress(const char* text);

// Looks a host name up and returns its first IPv4 address in network byte
// order, or 0 when the lookup finds nothing. Blocks for the lookup.
std::uint32_t LookupFirstIPv4(const char* name);

// Listening sockets, used by the simulated device and by tests only: bind to
// an IPv4 address and port (network byte order) with SO_REUSEADDR and listen.
// Returns InvalidSocket on failure.
Socket SocketListen(std::uint32_t addressNet, std::uint16_t portNet, int backlog);
// Blocking accept; InvalidSocket when the listening socket was shut down,
// closed or failed.
Socket SocketAccept(Socket listener);
// Waits at most `ms` milliseconds until the socket has bytes to read, a
// pending connection (listeners) or an end of stream. Returns 1 when ready,
// 0 on time-out, -1 on error. Used only by the tests' LoopbackPeer
// (tests/support/loopback_peer.h), to bound its reads on the connection it
// accepted.
int SocketWaitReadable(Socket s, std::uint32_t ms);

// Waits at most `ms` milliseconds until a send would take at least one byte
// without waiting, or the connection has failed (the send then says so).
// Returns 1 when ready, 0 on time-out, -1 on error.
int SocketWaitWritable(Socket s, std::uint32_t ms);

// The error code of the last failed socket call on this thread, for
// diagnostics only.
int SocketLastError();

// -------------------------------------------------------- synchronisation

// What a lock or semaphore of this layer holds: the object the OS made for
// it, or none when the OS could not (Valid() says which). Not copyable: the
// object is released once, by the destructor of its one owner.
class OsObject {
 public:
  OsObject(const OsObject&) = delete;
  OsObject& operator=(const OsObject&) = delete;
  bool Valid() const { return Handle != nullptr; }

 protected:
  explicit OsObject(void* handle = nullptr) : Handle(handle) {}
  ~OsObject() = default;
  void* Handle;
};

// An OS mutex: owned by the thread that acquires it, recursive for that
// thread (as Win32 mutexes are), waited for without a time limit.
// Created unowned. Valid() is false when the OS could not create it; Lock and
// Unlock must not be called then. A lock or unlock the OS refuses (a mutex
// that is not ours, a corrupted one) is a bug in the library: the process is
// aborted rather than carrying on with a lock it does not hold.
class CAPABILITY("mutex") Mutex : public OsObject {
 public:
  Mutex();
  ~Mutex();
  void Lock() ACQUIRE();
  void Unlock() RELEASE();
  // Only in a child made by fork(), for a mutex the forking thread took just
  // before the fork: the child's copy becomes free again. (Unlocking it there
  // is refused: the child's thread is not the owner the OS recorded.)
  void ResetInForkChild();
};

// A lock granted in the order it was asked for: a thread that starts waiting
// is served before every thread that asks after it, the thread that has just
// released the lock included, so a waiter waits only for the holders queued
// ahead of it. Waited for without a time limit. Not recursive: a thread that
// holds it must not ask for it again. Valid() is false when the OS could not
// create it; Lock and Unlock must not be called then.
class CAPABILITY("mutex") QueuedMutex : public OsObject {
 public:
  QueuedMutex();
  ~QueuedMutex();
  void Lock() ACQUIRE();
  void Unlock() RELEASE();
  // For the holder, when what is left before its release is short (a call
  // whose reply has come): the next in line is woken now, to watch for the
  // hand-over, rather than at the release. Its wake-up then overlaps the
  // holder's last steps instead of following them.
  void WakeNextInLine();
  // Only in a child made by fork(): the threads that held or waited for the
  // lock stayed in the parent, so the child's copy becomes free and unwaited.
  void ResetInForkChild();
};

// Holds a Mutex for the scope, the only way code above this layer takes one.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& m) ACQUIRE(m) : Held(m) { Held.Lock(); }
  ~MutexLock() RELEASE() { Held.Unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& Held;
};

// A counting semaphore with a maximum count. Release adds one count unless
// the maximum is reached, in which case it changes nothing and returns false
// (no error is raised). Valid() is false when the OS could not create it.
class Semaphore : public OsObject {
 public:
  enum class WaitResult { Signaled, TimedOut, Failed };

  Semaphore(std::int32_t initial, std::int32_t maximum);
  ~Semaphore();
  bool Release();
  // Waits without a time limit and takes one count.
  WaitResult Wait();
  // Waits at most `ms` milliseconds (0 = just test) and takes one count when
  // one is available. A time-out is told apart from a wake-up.
  WaitResult WaitFor(std::uint32_t ms);
};

// ---------------------------------------------------------------- threads

// An OS thread that is created suspended: its body runs only after Resume.
// The body's return value is the thread's exit status. Join waits without a
// time limit for the thread to end and returns that status; it must not be
// called from the thread itself. Destroying a Thread that was created and
// not yet joined joins it first.
class Thread {
 public:
  using Body = std::uint32_t (*)(void* argument);

  Thread() = default;
  ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Returns false (and creates nothing) when the OS refuses a new thread.
  bool CreateSuspended(Body body, void* argument);
  void Resume();
  std::uint32_t Join();
  bool Created() const { return Handle != nullptr; }

 private:
  void* Handle = nullptr;
};

// Gives up the rest of the calling thread's time slice (Sleep(0)).
void YieldTimeSlice();
void SleepMs(std::uint32_t ms);

// ------------------------------------------------------- last-error value

// The calling thread's last-error value: SetLastError/GetLastError on
// Windows, a thread-local value of this layer on POSIX.
void SetLastError(std::uint32_t value);
std::uint32_t GetLastError();

// ------------------------------------------------------------------ fork

// Handlers run around every fork() of the process: `prepare` in the forking
// thread just before the fork, then `parent` in the parent, or `child` in
// the new process, whose only thread is the one that forked. Registered once
// per load; the loader drops them when the library is unloaded. Nothing
// happens where processes do not fork (Windows).
void RunAroundFork(void (*prepare)(), void (*parent)(), void (*child)());

// How many fork()s lie between the calling process and the one the library
// was loaded in: 0 there, one more in each child (already counted when the
// `child` handler runs). Whatever was made under a smaller number was
// inherited through fork(). Always 0 on Windows.
std::uint32_t ForkGeneration();

// ------------------------------------------------------- library lifetime

// Takes a reference to the library's own loaded module (its own file opened
// again on Linux, its own address on Windows), so that a host that unloads
// the library too early leaves its code mapped for the threads still running
// it. Null when no reference could be taken (for instance when the library is
// linked into a program rather than loaded).
void* PinLibrary();

// Gives a reference from PinLibrary back on a thread of its own, which runs
// no library code once the reference is gone: when it was the last one, the
// library unloads without unmapping code under a thread. Returns at once; a
// caller that is still inside the library gets a grace period (below) to
// leave it before the code goes. When no thread can be started the
// reference is kept for the life of the process.
void UnpinLibraryLater(void* pin);

// Called at unload, before the library's code goes: when the unload is the
// late release of a pin, waits the grace period that lets the last caller
// return out of the library. Immediate otherwise.
void BeforeUnload();

// -------------------------------------------------- guarded caller memory

// Copies `length` bytes from caller memory that may not be readable. Returns
// false, without faulting, when any byte could not be read; `destination`
// may then hold part of the bytes.
bool GuardedRead(void* destination, const void* source, std::size_t length);

// Copies `length` bytes into caller memory that may not be writable. Returns
// false, without faulting, when the memory could not be written; a prefix of
// it may have been written.
bool GuardedWrite(void* destination, const void* source, std::size_t length);

// One run of bytes between the caller's memory and the library's: `Length`
// bytes from `Source` to `Destination`. Which of the two is the caller's
// depends on the function it is given to.
struct CopyPiece {
  void* Destination;
  const void* Source;
  std::size_t Length;
};

// GuardedRead of every piece (caller memory at Source), in as few system
// calls as the platform allows: a call that reads two count cells pays for
// one. False when any piece could not be read. Written once for both
// backends, above GuardedCopyAtOnce.
bool GuardedReadEach(const CopyPiece* pieces, std::size_t count);

// GuardedWrite of every piece (caller memory at Destination), each on its
// own: a piece that cannot be written is skipped and the others are still
// written. False when any was skipped. Written once, as GuardedReadEach.
bool GuardedWriteEach(const CopyPiece* pieces, std::size_t count);

// The backends' part of the two above: every piece in one system call, true
// only when all of them moved. False also where the platform has no such
// call; the pieces then go one by one.
bool GuardedCopyAtOnce(const CopyPiece* pieces, std::size_t count, bool toCaller);

// Tells, without copying it, whether the whole range can be read: one byte
// of every page is probed. Memory can change under a probe (another thread
// may unmap it), so a later copy must still be guarded; the probe only lets
// a caller refuse an impossible range before it reserves memory for it.
bool GuardedCanRead(const void* source, std::size_t length);

// One run of caller memory.
struct MemoryRange {
  void* Start;
  std::size_t Length;
};

// Tells, without changing any byte, whether every range can be written.
// Unmapped or read-only memory gives false without a fault. All ranges are
// checked in as few system calls as the platform allows (on Linux one per
// range where the kernel can fault pages in for writing on request, else
// two per 1024 pages, reading one byte of each and writing it back), so
// a caller checks every destination of an operation at once before it writes
// the first byte. Empty ranges are ignored; a null start with a length is
// refused. As with GuardedCanRead, the later copies are still guarded: a host
// that changes its mappings during its own call is outside any promise.
bool GuardedCanWrite(const MemoryRange* ranges, std::size_t count);

// Writes every piece, or none: all destinations are first checked together
// as GuardedCanWrite does, then the bytes go with plain copies, which cost
// far less than a guarded copy of every byte. False, with nothing written,
// when any destination cannot be written. Written once above GuardedCanWrite
// for both backends; the same limits apply (where the platform cannot tell,
// only null is refused). Throws std::bad_alloc, with nothing written, when
// the check's list of ranges cannot be made.
bool GuardedWriteAll(const CopyPiece* pieces, std::size_t count);

// Copies `length` bytes from caller memory once GuardedCanRead has found all
// of it readable, with a plain copy, far cheaper than GuardedRead for long
// runs. False, with nothing copied, when it cannot be read. Written once
// for both backends, with the same limits as GuardedCanRead.
bool GuardedReadAll(void* destination, const void* source, std::size_t length);

// The size of the pages memory is mapped in; never 0.
std::size_t PageSize();

// Copies NUL-terminated text that may not be readable, without the NUL.
// Returns false when the text runs into memory that cannot be read. Written
// once above GuardedRead for both backends.
bool GuardedReadText(const char* text, std::string& out);

}  // namespace velmora::platform
