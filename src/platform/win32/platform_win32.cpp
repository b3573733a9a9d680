// Win32 backend of the platform contract (Windows Sockets 2 and kernel32).
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
// winsock2.h must come before windows.h, which would otherwise pull in the
// old winsock.h.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/ipv4_address.h"
#include "platform/platform.h"

namespace velmora::platform {

// ---------------------------------------------------------------- sockets

namespace {

WSADATA SocketLibraryData;

// The host may start child processes that inherit its handles; a socket
// leaked into a child would keep the device connection open after we close
// it. Best effort: some layered providers refuse, and nothing else depends
// on it.
void KeepFromChildren(SOCKET s) {
  ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
}

// CancelIoEx is looked up rather than imported so that the library still
// loads on systems that predate it; there shutdown alone has to do.
using CancelIoExFunction = BOOL(WINAPI*)(HANDLE, LPOVERLAPPED);

CancelIoExFunction FindCancelIoEx() {
  const HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
  if (kernel == nullptr) return nullptr;
  return reinterpret_cast<CancelIoExFunction>(
      reinterpret_cast<void*>(::GetProcAddress(kernel, "CancelIoEx")));
}

}  // namespace

int SocketLibraryStartup() { return ::WSAStartup(0x0002, &SocketLibraryData); }

void SocketLibraryCleanup() { ::WSACleanup(); }

Socket SocketCreateTcp() {
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return InvalidSocket;
  KeepFromChildren(s);
  return Socket(s);
}

std::uint16_t PortToNetwork(std::uint16_t port) { return htons(port); }
std::uint32_t AddressToNetwork(std::uint32_t address) { return htonl(address); }

namespace {

// Switches a socket between blocking and non-blocking mode.
bool SetNonBlocking(SOCKET s, bool on) {
  u_long mode = on ? 1 : 0;
  return ::ioctlsocket(s, FIONBIO, &mode) == 0;
}

// Waits at most `ms` for a connect under way to finish; true when connected.
// A refused attempt shows in the exception set, a completed one as writable.
bool FinishConnect(SOCKET s, std::uint32_t ms) {
  fd_set writable, failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(s, &writable);
  FD_SET(s, &failed);
  timeval limit{long(ms / 1000), long(ms % 1000) * 1000};
  if (::select(0, nullptr, &writable, &failed, &limit) <= 0) return false;
  if (FD_ISSET(s, &failed)) return false;
  int err = 0;
  int len = sizeof err;
  return ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) == 0 &&
         err == 0;
}

}  // namespace

bool SocketConnect(Socket s, std::uint32_t addressNet, std::uint16_t portNet,
                   std::uint32_t timeoutMs) {
  const sockaddr_in address = Ipv4SocketAddress(addressNet, portNet);
  const auto* to = reinterpret_cast<const sockaddr*>(&address);
  if (timeoutMs == NoTimeLimit) return ::connect(SOCKET(s), to, sizeof address) == 0;
  if (!SetNonBlocking(SOCKET(s), true)) return false;
  bool connected = ::connect(SOCKET(s), to, sizeof address) == 0;
  if (!connected && ::WSAGetLastError() == WSAEWOULDBLOCK) {
    connected = FinishConnect(SOCKET(s), timeoutMs);
  }
  const int saved = ::WSAGetLastError();
  // Back to blocking for the reader and the writer; a socket that cannot be
  // put back is of no use to them.
  if (!SetNonBlocking(SOCKET(s), false)) return false;
  ::WSASetLastError(saved);
  return connected;
}

bool SocketSetNoDelay(Socket s) {
  const BOOL on = TRUE;
  return ::setsockopt(SOCKET(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                      sizeof on) == 0;
}

long SocketSend(Socket s, const void* data, std::size_t length) {
  if (length > std::size_t(INT_MAX)) length = INT_MAX;
  const int n = ::send(SOCKET(s), static_cast<const char*>(data), int(length), 0);
  return n == SOCKET_ERROR ? -1 : long(n);
}

bool SocketSendNoWaitWorks() { return false; }

long SocketSendNoWait(Socket, const void*, std::size_t) {
  // Winsock has no per-call flag for this on a blocking socket, and switching
  // the socket to non-blocking mode would race the reader's pending receive.
  return 0;
}

long SocketSendNoWait(Socket, const void*, std::size_t, const void*, std::size_t) {
  return 0;  // as above
}

long SocketRecv(Socket s, void* data, std::size_t length) {
  if (length > std::size_t(INT_MAX)) length = INT_MAX;
  const int n = ::recv(SOCKET(s), static_cast<char*>(data), int(length), 0);
  return n == SOCKET_ERROR ? -1 : long(n);
}

void SocketShutdownBoth(Socket s) {
  ::shutdown(SOCKET(s), SD_BOTH);
  // Windows does not end a receive (or accept) that is already blocked when
  // the socket is shut down; it waits for the peer. Cancelling the handle's
  // pending I/O makes those calls fail now, as the contract promises. The
  // socket's own last error is kept for the caller's diagnostics.
  static const CancelIoExFunction cancelIo = FindCancelIoEx();
  if (cancelIo != nullptr) {
    const int saved = ::WSAGetLastError();
    cancelIo(reinterpret_cast<HANDLE>(SOCKET(s)), nullptr);
    ::WSASetLastError(saved);
  }
}

void SocketClose(Socket s) { ::closesocket(SOCKET(s)); }

std::uint32_t ParseDottedAddress(const char* text) {
  if (text == nullptr) return INADDR_NONE;
  return ::inet_addr(text);
}

std::uint32_t LookupFirstIPv4(const char* name) {
  if (name == nullptr) return 0;
  // The result lives in per-thread storage of the socket library, so no
  // lock is needed; it stays valid until this thread's next lookup.
  const hostent* host = ::gethostbyname(name);
  if (host == nullptr || host->h_addrtype != AF_INET || host->h_length != 4 ||
      host->h_addr_list == nullptr || host->h_addr_list[0] == nullptr) {
    return 0;
  }
  std::uint32_t address = 0;
  std::memcpy(&address, host->h_addr_list[0], sizeof address);
  return address;
}

Socket SocketListen(std::uint32_t addressNet, std::uint16_t portNet, int backlog) {
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return InvalidSocket;
  KeepFromChildren(s);
  const BOOL on = TRUE;
  ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on);
  const sockaddr_in address = Ipv4SocketAddress(addressNet, portNet);
  if (::bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(s, backlog) != 0) {
    const int saved = ::WSAGetLastError();
    ::closesocket(s);
    ::WSASetLastError(saved);
    return InvalidSocket;
  }
  return Socket(s);
}

Socket SocketAccept(Socket listener) {
  for (;;) {
    const SOCKET s = ::accept(SOCKET(listener), nullptr, nullptr);
    if (s != INVALID_SOCKET) {
      KeepFromChildren(s);
      return Socket(s);
    }
    // A client that gave up between its connect and our accept is not a
    // failure of the listener.
    if (::WSAGetLastError() != WSAECONNRESET) return InvalidSocket;
  }
}

int SocketWaitReadable(Socket s, std::uint32_t ms) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(SOCKET(s), &readable);
  timeval limit{long(ms / 1000), long(ms % 1000) * 1000};
  const int rc = ::select(0, &readable, nullptr, nullptr, &limit);
  if (rc == SOCKET_ERROR) return -1;
  return rc > 0 ? 1 : 0;
}

int SocketWaitWritable(Socket s, std::uint32_t ms) {
  fd_set writable, failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(SOCKET(s), &writable);
  FD_SET(SOCKET(s), &failed);
  timeval limit{long(ms / 1000), long(ms % 1000) * 1000};
  const int rc = ::select(0, nullptr, &writable, &failed, &limit);
  if (rc == SOCKET_ERROR) return -1;
  return rc > 0 ? 1 : 0;
}

int SocketLastError() { return ::WSAGetLastError(); }

// -------------------------------------------------------- synchronisation

namespace {

// The thread's last-error value is what the library reports to the host
// (NDX_Connect's result), and on POSIX it changes only when the library sets
// it. Kernel calls here would change it as a side effect (CreateMutexA sets
// it even on success), so everything but the socket calls keeps it as it was.
class KeepLastError {
 public:
  KeepLastError() : Saved(::GetLastError()) {}
  ~KeepLastError() { ::SetLastError(Saved); }
  KeepLastError(const KeepLastError&) = delete;
  KeepLastError& operator=(const KeepLastError&) = delete;

 private:
  DWORD Saved;
};

// WaitForSingleObject treats 0xFFFFFFFF as INFINITE; a caller asking for
// that many milliseconds still gets a bounded wait (about 49.7 days).
DWORD BoundedMs(std::uint32_t ms) { return ms == INFINITE ? INFINITE - 1 : DWORD(ms); }

}  // namespace

Mutex::Mutex() {
  const KeepLastError keep;
  Handle = ::CreateMutexA(nullptr, FALSE, nullptr);
}

Mutex::~Mutex() {
  const KeepLastError keep;
  if (Handle != nullptr) ::CloseHandle(Handle);
}

// WAIT_ABANDONED (the previous owner ended while holding the mutex) still
// hands ownership to this thread, so it needs no handling of its own.
void Mutex::Lock() {
  const KeepLastError keep;
  const DWORD got = ::WaitForSingleObject(Handle, INFINITE);
  if (got != WAIT_OBJECT_0 && got != WAIT_ABANDONED) std::abort();
}

void Mutex::Unlock() {
  const KeepLastError keep;
  if (!::ReleaseMutex(Handle)) std::abort();
}

// Never called: Windows has no fork().
void Mutex::ResetInForkChild() {}

namespace {

// The same ticket lock as on POSIX, over a slim reader/writer lock and a
// condition variable (neither touches the thread's last-error value).
struct QueuedMutexState {
  SRWLOCK Lock;
  CONDITION_VARIABLE Turn;
  std::uint64_t NextTicket;
  std::uint64_t Serving;
};

void InitQueuedMutex(QueuedMutexState& q) {
  ::InitializeSRWLock(&q.Lock);
  ::InitializeConditionVariable(&q.Turn);
  q.NextTicket = 0;
  q.Serving = 0;
}

}  // namespace

QueuedMutex::QueuedMutex() {
  auto* q = new (std::nothrow) QueuedMutexState;
  if (q == nullptr) return;
  InitQueuedMutex(*q);
  Handle = q;
}

QueuedMutex::~QueuedMutex() { delete static_cast<QueuedMutexState*>(Handle); }

void QueuedMutex::Lock() {
  const KeepLastError keep;
  auto* q = static_cast<QueuedMutexState*>(Handle);
  ::AcquireSRWLockExclusive(&q->Lock);
  const std::uint64_t ticket = q->NextTicket++;
  while (q->Serving != ticket) ::SleepConditionVariableSRW(&q->Turn, &q->Lock, INFINITE, 0);
  ::ReleaseSRWLockExclusive(&q->Lock);
}

void QueuedMutex::Unlock() {
  auto* q = static_cast<QueuedMutexState*>(Handle);
  ::AcquireSRWLockExclusive(&q->Lock);
  ++q->Serving;
  ::ReleaseSRWLockExclusive(&q->Lock);
  ::WakeAllConditionVariable(&q->Turn);
}

// Never called: Windows has no fork().
void QueuedMutex::ResetInForkChild() {
  if (Handle != nullptr) InitQueuedMutex(*static_cast<QueuedMutexState*>(Handle));
}

Semaphore::Semaphore(std::int32_t initial, std::int32_t maximum) {
  const KeepLastError keep;
  Handle = ::CreateSemaphoreA(nullptr, LONG(initial), LONG(maximum), nullptr);
}

Semaphore::~Semaphore() {
  const KeepLastError keep;
  if (Handle != nullptr) ::CloseHandle(Handle);
}

// At the maximum ReleaseSemaphore fails with ERROR_TOO_MANY_POSTS and leaves
// the count alone.
bool Semaphore::Release() {
  const KeepLastError keep;
  return ::ReleaseSemaphore(Handle, 1, nullptr) != FALSE;
}

Semaphore::WaitResult Semaphore::Wait() {
  const KeepLastError keep;
  return ::WaitForSingleObject(Handle, INFINITE) == WAIT_OBJECT_0 ? WaitResult::Signaled
                                                                  : WaitResult::Failed;
}

Semaphore::WaitResult Semaphore::WaitFor(std::uint32_t ms) {
  const KeepLastError keep;
  switch (::WaitForSingleObject(Handle, BoundedMs(ms))) {
    case WAIT_OBJECT_0: return WaitResult::Signaled;
    case WAIT_TIMEOUT: return WaitResult::TimedOut;
    default: return WaitResult::Failed;
  }
}

// ---------------------------------------------------------------- threads

namespace {

struct ThreadState {
  HANDLE Os;
  Thread::Body Body;
  void* Argument;
};

// The OS calls thread procedures with its own calling convention (stdcall
// on 32-bit x86), so the body is called from here rather than passed on.
DWORD WINAPI ThreadMain(LPVOID raw) {
  const auto* t = static_cast<const ThreadState*>(raw);
  return DWORD(t->Body(t->Argument));
}

}  // namespace

bool Thread::CreateSuspended(Body body, void* argument) {
  const KeepLastError keep;
  if (Handle != nullptr) return false;
  auto* t = new (std::nothrow) ThreadState{nullptr, body, argument};
  if (t == nullptr) return false;
  t->Os = ::CreateThread(nullptr, 0, ThreadMain, t, CREATE_SUSPENDED, nullptr);
  if (t->Os == nullptr) {
    delete t;
    return false;
  }
  Handle = t;
  return true;
}

void Thread::Resume() {
  const KeepLastError keep;
  auto* t = static_cast<ThreadState*>(Handle);
  if (t != nullptr) ::ResumeThread(t->Os);
}

std::uint32_t Thread::Join() {
  const KeepLastError keep;
  auto* t = static_cast<ThreadState*>(Handle);
  if (t == nullptr) return 0;
  // A thread that was never resumed is released so that it can end;
  // resuming a running thread changes nothing.
  ::ResumeThread(t->Os);
  ::WaitForSingleObject(t->Os, INFINITE);
  DWORD status = 0;
  if (!::GetExitCodeThread(t->Os, &status)) status = 0;
  ::CloseHandle(t->Os);
  delete t;
  Handle = nullptr;
  return std::uint32_t(status);
}

Thread::~Thread() { Join(); }

void YieldTimeSlice() { ::Sleep(0); }

void SleepMs(std::uint32_t ms) { ::Sleep(BoundedMs(ms)); }

// ------------------------------------------------------- last-error value

void SetLastError(std::uint32_t value) { ::SetLastError(DWORD(value)); }
std::uint32_t GetLastError() { return std::uint32_t(::GetLastError()); }

// ------------------------------------------------------------------ fork

void RunAroundFork(void (*)(), void (*)(), void (*)()) {}

std::uint32_t ForkGeneration() { return 0; }

// ------------------------------------------------------- library lifetime

namespace {

// The grace a caller gets to return out of the library after handing its
// pin to the releasing thread: it has only a few instructions left to run.
constexpr DWORD UnpinGraceMs = 50;

// Runs library code only up to FreeLibraryAndExitThread, which gives the
// reference back and ends the thread inside kernel32, never returning here.
DWORD WINAPI ReleasePinAndExit(LPVOID module) {
  ::Sleep(UnpinGraceMs);
  ::FreeLibraryAndExitThread(static_cast<HMODULE>(module), 0);
  return 0;
}

}  // namespace

void* PinLibrary() {
  const KeepLastError keep;
  HMODULE self = nullptr;
  if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(&PinLibrary)),
                            &self)) {
    return nullptr;
  }
  // Linked into a program, the "module" is the program itself: nothing to keep.
  if (self == ::GetModuleHandleW(nullptr)) {
    ::FreeLibrary(self);
    return nullptr;
  }
  return self;
}

void UnpinLibraryLater(void* pin) {
  const KeepLastError keep;
  if (pin == nullptr) return;
  const HANDLE thread = ::CreateThread(nullptr, 0, ReleasePinAndExit, pin, 0, nullptr);
  // Without a thread the reference stays: loaded for the rest of the process.
  if (thread != nullptr) ::CloseHandle(thread);
}

// The grace is spent on the releasing thread before the reference goes.
void BeforeUnload() {}

// -------------------------------------------------- guarded caller memory

// ReadProcessMemory and WriteProcessMemory on our own process report
// unmapped memory as a failure instead of raising an access violation. They
// are not enough alone: WriteProcessMemory makes read-only code pages
// writable for the duration of the copy (it exists for debuggers), and a
// read would fire and consume a stack guard page. So every page of the range
// is first checked for the access we need; the copy itself still fails
// cleanly if the memory changes in between.
namespace {

bool Readable(DWORD protect) {
  switch (protect & 0xFF) {
    case PAGE_READONLY:
    case PAGE_READWRITE:
    case PAGE_WRITECOPY:
    case PAGE_EXECUTE_READ:
    case PAGE_EXECUTE_READWRITE:
    case PAGE_EXECUTE_WRITECOPY:
      return true;
    default:
      return false;
  }
}

bool Writable(DWORD protect) {
  switch (protect & 0xFF) {
    case PAGE_READWRITE:
    case PAGE_WRITECOPY:
    case PAGE_EXECUTE_READWRITE:
    case PAGE_EXECUTE_WRITECOPY:
      return true;
    default:
      return false;
  }
}

bool RangeAllows(const void* start, std::size_t length, bool write) {
  const std::uintptr_t first = reinterpret_cast<std::uintptr_t>(start);
  if (length - 1 > UINTPTR_MAX - first) return false;  // wraps around the address space
  const std::uintptr_t last = first + (length - 1);
  std::uintptr_t at = first;
  for (;;) {
    MEMORY_BASIC_INFORMATION info;
    if (::VirtualQuery(reinterpret_cast<const void*>(at), &info, sizeof info) == 0) return false;
    if (info.State != MEM_COMMIT || (info.Protect & (PAGE_GUARD | PAGE_NOACCESS)) != 0) {
      return false;
    }
    if (!(write ? Writable(info.Protect) : Readable(info.Protect))) return false;
    const std::uintptr_t regionEnd =
        reinterpret_cast<std::uintptr_t>(info.BaseAddress) + info.RegionSize;  // one past
    if (regionEnd == 0 || regionEnd > last) return true;  // 0: the region ends the address space
    at = regionEnd;
  }
}

}  // namespace

namespace {

// A copy the OS makes for us, refusing pages it cannot read or write instead
// of faulting. `caller` is the caller's side of it, checked first for reading
// or (`writing`) for writing; `copy` reports the bytes it moved.
template <class Copy>
bool CopyThroughOs(const void* caller, bool writing, std::size_t length, Copy copy) {
  const KeepLastError keep;
  if (length == 0) return true;
  if (caller == nullptr || !RangeAllows(caller, length, writing)) return false;
  SIZE_T done = 0;
  return copy(&done) && done == length;
}

}  // namespace

bool GuardedRead(void* destination, const void* source, std::size_t length) {
  return CopyThroughOs(source, false, length, [&](SIZE_T* done) {
    return ::ReadProcessMemory(::GetCurrentProcess(), source, destination, length, done) != 0;
  });
}

bool GuardedWrite(void* destination, const void* source, std::size_t length) {
  return CopyThroughOs(destination, true, length, [&](SIZE_T* done) {
    return ::WriteProcessMemory(::GetCurrentProcess(), destination, source, length, done) != 0;
  });
}

bool GuardedCanRead(const void* source, std::size_t length) {
  const KeepLastError keep;
  if (length == 0) return true;
  return source != nullptr && RangeAllows(source, length, false);
}

// The protection of every region says what a write would do, so nothing is
// written to find out.
bool GuardedCanWrite(const MemoryRange* ranges, std::size_t count) {
  const KeepLastError keep;
  for (std::size_t r = 0; r < count; ++r) {
    if (ranges[r].Length == 0) continue;
    if (ranges[r].Start == nullptr || !RangeAllows(ranges[r].Start, ranges[r].Length, true)) {
      return false;
    }
  }
  return true;
}

std::size_t PageSize() {
  static const std::size_t page = [] {
    SYSTEM_INFO info;
    ::GetSystemInfo(&info);
    return std::size_t(info.dwPageSize != 0 ? info.dwPageSize : 4096);
  }();
  return page;
}

}  // namespace velmora::platform
