// POSIX backend of the platform contract (Linux).
#include <arpa/inet.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "platform/ipv4_address.h"
#include "platform/platform.h"

namespace velmora::platform {

namespace {

// The monotonic clock `ms` milliseconds from now.
timespec DeadlineAfter(std::uint32_t ms) {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  t.tv_sec += time_t(ms / 1000);
  t.tv_nsec += long(ms % 1000) * 1000000L;
  if (t.tv_nsec >= 1000000000L) {
    t.tv_sec += 1;
    t.tv_nsec -= 1000000000L;
  }
  return t;
}

}  // namespace

// ---------------------------------------------------------------- sockets

int SocketLibraryStartup() { return 0; }
void SocketLibraryCleanup() {}

Socket SocketCreateTcp() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  return fd < 0 ? InvalidSocket : Socket(fd);
}

std::uint16_t PortToNetwork(std::uint16_t port) { return htons(port); }
std::uint32_t AddressToNetwork(std::uint32_t address) { return htonl(address); }

namespace {

// Waits for a connect that is under way to finish, at most until `deadline`
// (or without a limit when it is null). True when it connected.
bool FinishConnect(int fd, const timespec* deadline) {
  pollfd p{fd, POLLOUT, 0};
  for (;;) {
    int wait = -1;
    if (deadline != nullptr) {
      timespec now{};
      clock_gettime(CLOCK_MONOTONIC, &now);
      const long long left = (deadline->tv_sec - now.tv_sec) * 1000LL +
                             (deadline->tv_nsec - now.tv_nsec) / 1000000L;
      if (left <= 0) return false;
      wait = left > INT_MAX ? INT_MAX : int(left);
    }
    const int rc = ::poll(&p, 1, wait);
    if (rc > 0) break;
    if (rc == 0) continue;  // the deadline check above ends it
    if (errno != EINTR) return false;
  }
  int err = 0;
  socklen_t len = sizeof err;
  return ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
}

}  // namespace

bool SocketConnect(Socket s, std::uint32_t addressNet, std::uint16_t portNet,
                   std::uint32_t timeoutMs) {
  const sockaddr_in address = Ipv4SocketAddress(addressNet, portNet);
  const int fd = int(s);
  if (timeoutMs == NoTimeLimit) {
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return true;
    // An interrupted connect goes on in the background; wait for its outcome.
    return errno == EINTR && FinishConnect(fd, nullptr);
  }
  const timespec deadline = DeadlineAfter(timeoutMs);
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return false;
  bool connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  if (!connected && (errno == EINPROGRESS || errno == EINTR)) connected = FinishConnect(fd, &deadline);
  const int saved = errno;
  // Back to blocking for the reader and the writer; a socket that cannot be
  // put back is of no use to them.
  if (::fcntl(fd, F_SETFL, flags) != 0) return false;
  errno = saved;
  return connected;
}

bool SocketSetNoDelay(Socket s) {
  const int on = 1;
  return ::setsockopt(int(s), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
}

long SocketSend(Socket s, const void* data, std::size_t length) {
  if (length > std::size_t(INT_MAX)) length = INT_MAX;
  for (;;) {
    const ssize_t n = ::send(int(s), data, length, MSG_NOSIGNAL);
    if (n >= 0) return long(n);
    if (errno != EINTR) return -1;
  }
}

bool SocketSendNoWaitWorks() { return true; }

long SocketSendNoWait(Socket s, const void* data, std::size_t length) {
  if (length > std::size_t(INT_MAX)) length = INT_MAX;
  for (;;) {
    const ssize_t n = ::send(int(s), data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) return long(n);
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    if (errno != EINTR) return -1;
  }
}

long SocketSendNoWait(Socket s, const void* head, std::size_t headLength, const void* body,
                      std::size_t bodyLength) {
  if (headLength > std::size_t(INT_MAX)) headLength = INT_MAX;
  if (bodyLength > std::size_t(INT_MAX) - headLength) bodyLength = std::size_t(INT_MAX) - headLength;
  iovec pieces[2] = {{const_cast<void*>(head), headLength}, {const_cast<void*>(body), bodyLength}};
  msghdr message{};
  message.msg_iov = pieces;
  message.msg_iovlen = 2;
  for (;;) {
    const ssize_t n = ::sendmsg(int(s), &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) return long(n);
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    if (errno != EINTR) return -1;
  }
}

long SocketRecv(Socket s, void* data, std::size_t length) {
  if (length > std::size_t(INT_MAX)) length = INT_MAX;
  for (;;) {
    const ssize_t n = ::recv(int(s), data, length, 0);
    if (n >= 0) return long(n);
    if (errno != EINTR) return -1;
  }
}

void SocketShutdownBoth(Socket s) { ::shutdown(int(s), SHUT_RDWR); }

void SocketClose(Socket s) { ::close(int(s)); }

std::uint32_t ParseDottedAddress(const char* text) { return ::inet_addr(text); }

std::uint32_t LookupFirstIPv4(const char* name) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) return 0;
  std::uint32_t address = 0;
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    if (a->ai_family == AF_INET && a->ai_addr != nullptr) {
      address = reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
      break;
    }
  }
  ::freeaddrinfo(found);
  return address;
}

Socket SocketListen(std::uint32_t addressNet, std::uint16_t portNet, int backlog) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) return InvalidSocket;
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  const sockaddr_in address = Ipv4SocketAddress(addressNet, portNet);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, backlog) != 0) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return InvalidSocket;
  }
  return Socket(fd);
}

Socket SocketAccept(Socket listener) {
  for (;;) {
    const int fd = ::accept4(int(listener), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) return Socket(fd);
    if (errno != EINTR && errno != ECONNABORTED) return InvalidSocket;
  }
}

int SocketWaitReadable(Socket s, std::uint32_t ms) {
  pollfd p{int(s), POLLIN, 0};
  for (;;) {
    const int rc = ::poll(&p, 1, ms > std::uint32_t(INT_MAX) ? INT_MAX : int(ms));
    if (rc >= 0) return rc > 0 ? 1 : 0;
    if (errno != EINTR) return -1;
  }
}

int SocketWaitWritable(Socket s, std::uint32_t ms) {
  pollfd p{int(s), POLLOUT, 0};
  for (;;) {
    const int rc = ::poll(&p, 1, ms > std::uint32_t(INT_MAX) ? INT_MAX : int(ms));
    if (rc >= 0) return rc > 0 ? 1 : 0;
    if (errno != EINTR) return -1;
  }
}

int SocketLastError() { return errno; }

// -------------------------------------------------------- synchronisation

Mutex::Mutex() {
  auto* m = new (std::nothrow) pthread_mutex_t;
  if (m == nullptr) return;
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  const int rc = pthread_mutex_init(m, &attr);
  pthread_mutexattr_destroy(&attr);
  if (rc != 0) {
    delete m;
    return;
  }
  Handle = m;
}

Mutex::~Mutex() {
  if (Handle == nullptr) return;
  auto* m = static_cast<pthread_mutex_t*>(Handle);
  pthread_mutex_destroy(m);
  delete m;
}

void Mutex::Lock() {
  if (pthread_mutex_lock(static_cast<pthread_mutex_t*>(Handle)) != 0) std::abort();
}
void Mutex::Unlock() {
  if (pthread_mutex_unlock(static_cast<pthread_mutex_t*>(Handle)) != 0) std::abort();
}

void Mutex::ResetInForkChild() {
  if (Handle == nullptr) return;
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(static_cast<pthread_mutex_t*>(Handle), &attr);
  pthread_mutexattr_destroy(&attr);
}

namespace {

// A failing lock or unlock of a mutex we created and use correctly is a bug
// in the library; going on would break the lock's promise silently.
void Check(int rc) {
  if (rc != 0) std::abort();
}

// A mutex and the one condition its waiters sleep on: the body of both the
// queued mutex and the semaphore.
struct Monitor {
  pthread_mutex_t Lock;
  pthread_cond_t Changed;
};

// Creates both parts or neither (false). Timed waits on the condition measure
// CLOCK_MONOTONIC when `monotonic` is set.
bool InitMonitor(Monitor& m, bool monotonic) {
  if (pthread_mutex_init(&m.Lock, nullptr) != 0) return false;
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  if (monotonic) pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  const bool ok = pthread_cond_init(&m.Changed, &attr) == 0;
  pthread_condattr_destroy(&attr);
  if (!ok) pthread_mutex_destroy(&m.Lock);
  return ok;
}

// A new state whose monitor is running, or null.
template <class State>
State* NewMonitorState(State initial, bool monotonic) {
  auto* state = new (std::nothrow) State(initial);
  if (state != nullptr && !InitMonitor(*state, monotonic)) {
    delete state;
    state = nullptr;
  }
  return state;
}

// Ends the monitor of a state from NewMonitorState and frees it; null is ignored.
template <class State>
void DeleteMonitorState(void* handle) {
  if (handle == nullptr) return;
  auto* state = static_cast<State*>(handle);
  pthread_cond_destroy(&state->Changed);
  pthread_mutex_destroy(&state->Lock);
  delete state;
}

// A ticket lock: each Lock draws the next number and waits until it is the
// one being served. A waiter sleeps on the condition of its ticket's turn
// slot, so a hand-over wakes the next in line only: with one condition for
// all, every release woke every waiter to check its ticket, and with eight
// callers queued each call paid for seven futile wake-ups. Waiters whose
// tickets are a multiple of TurnSlots apart share a slot and wake each other,
// which costs them a recheck, never their turn. Tickets are 64-bit, so they
// never wrap in practice.
constexpr std::size_t TurnSlots = 16;

struct QueuedMutexState {
  pthread_mutex_t Lock;
  pthread_cond_t Turn[TurnSlots];
  std::uint64_t NextTicket = 0;
  // Changed only under Lock; read without it by the next in line, who
  // watches for its turn instead of sleeping.
  std::atomic<std::uint64_t> Serving{0};
  // Waiters asleep on each slot: a release with none skips the wake call.
  std::uint32_t Asleep[TurnSlots] = {};
};

// Starts the inner lock and every slot's condition, or none of them (false).
bool InitQueuedMutex(QueuedMutexState& q) {
  if (pthread_mutex_init(&q.Lock, nullptr) != 0) return false;
  for (std::size_t i = 0; i < TurnSlots; ++i) {
    if (pthread_cond_init(&q.Turn[i], nullptr) == 0) continue;
    while (i > 0) pthread_cond_destroy(&q.Turn[--i]);
    pthread_mutex_destroy(&q.Lock);
    return false;
  }
  return true;
}

void* NewQueuedMutexState() {
  auto* q = new (std::nothrow) QueuedMutexState;
  if (q != nullptr && !InitQueuedMutex(*q)) {
    delete q;
    q = nullptr;
  }
  return q;
}

}  // namespace

QueuedMutex::QueuedMutex() : OsObject(NewQueuedMutexState()) {}

QueuedMutex::~QueuedMutex() {
  if (Handle == nullptr) return;
  auto* q = static_cast<QueuedMutexState*>(Handle);
  for (pthread_cond_t& turn : q->Turn) pthread_cond_destroy(&turn);
  pthread_mutex_destroy(&q->Lock);
  delete q;
}

// How long the next in line watches for its turn before it sleeps. A call
// on a device nearby holds the lock for tens of microseconds, and waking a
// sleeper costs about as much again; the watcher gives its CPU away at every
// turn, so the holder's own threads are never held up by it.
namespace {

constexpr auto TurnWatch = std::chrono::microseconds(100);

void WatchForTurn(const QueuedMutexState& q, std::uint64_t ticket) {
  const auto until = std::chrono::steady_clock::now() + TurnWatch;
  while (q.Serving.load(std::memory_order_acquire) != ticket &&
         std::chrono::steady_clock::now() < until) {
    sched_yield();
  }
}

}  // namespace

void QueuedMutex::Lock() {
  auto* q = static_cast<QueuedMutexState*>(Handle);
  Check(pthread_mutex_lock(&q->Lock));
  const std::uint64_t ticket = q->NextTicket++;
  if (ticket == q->Serving + 1) {
    Check(pthread_mutex_unlock(&q->Lock));
    WatchForTurn(*q, ticket);
    Check(pthread_mutex_lock(&q->Lock));
  }
  const std::size_t slot = std::size_t(ticket % TurnSlots);
  while (q->Serving != ticket) {
    ++q->Asleep[slot];
    const int rc = pthread_cond_wait(&q->Turn[slot], &q->Lock);
    --q->Asleep[slot];
    Check(rc);
  }
  Check(pthread_mutex_unlock(&q->Lock));
}

void QueuedMutex::Unlock() {
  auto* q = static_cast<QueuedMutexState*>(Handle);
  Check(pthread_mutex_lock(&q->Lock));
  const std::size_t slot = std::size_t((q->Serving += 1) % TurnSlots);
  const bool waiting = q->Asleep[slot] != 0;
  Check(pthread_mutex_unlock(&q->Lock));
  // Everyone on the slot: the next ticket may share it with later ones.
  if (waiting) Check(pthread_cond_broadcast(&q->Turn[slot]));
}

// The parent's waiters may have left the inner lock held and the conditions
// with waiters on record; a fresh start is the only sound state for the child.
void QueuedMutex::ResetInForkChild() {
  if (Handle == nullptr) return;
  auto* q = static_cast<QueuedMutexState*>(Handle);
  q->NextTicket = 0;
  q->Serving = 0;
  for (std::uint32_t& asleep : q->Asleep) asleep = 0;
  InitQueuedMutex(*q);
}

namespace {

struct SemaphoreState : Monitor {
  std::int32_t Count;
  std::int32_t Maximum;
};

}  // namespace

Semaphore::Semaphore(std::int32_t initial, std::int32_t maximum)
    : OsObject(NewMonitorState(SemaphoreState{{}, initial, maximum}, true)) {}

Semaphore::~Semaphore() { DeleteMonitorState<SemaphoreState>(Handle); }

bool Semaphore::Release() {
  auto* s = static_cast<SemaphoreState*>(Handle);
  pthread_mutex_lock(&s->Lock);
  const bool added = s->Count < s->Maximum;
  if (added) ++s->Count;
  pthread_mutex_unlock(&s->Lock);
  if (added) pthread_cond_signal(&s->Changed);
  return added;
}

Semaphore::WaitResult Semaphore::Wait() {
  auto* s = static_cast<SemaphoreState*>(Handle);
  pthread_mutex_lock(&s->Lock);
  while (s->Count == 0) pthread_cond_wait(&s->Changed, &s->Lock);
  --s->Count;
  pthread_mutex_unlock(&s->Lock);
  return WaitResult::Signaled;
}

Semaphore::WaitResult Semaphore::WaitFor(std::uint32_t ms) {
  auto* s = static_cast<SemaphoreState*>(Handle);
  if (ms == 0) {
    // Only a test. A timed wait on a deadline already due still arms a
    // timer and sleeps for the timer slack (50 us by default), which made
    // every drain of a reply signal cost more than a loopback round trip.
    pthread_mutex_lock(&s->Lock);
    const bool taken = s->Count > 0;
    if (taken) --s->Count;
    pthread_mutex_unlock(&s->Lock);
    return taken ? WaitResult::Signaled : WaitResult::TimedOut;
  }
  const timespec deadline = DeadlineAfter(ms);
  pthread_mutex_lock(&s->Lock);
  WaitResult result = WaitResult::Signaled;
  while (s->Count == 0) {
    const int rc = pthread_cond_timedwait(&s->Changed, &s->Lock, &deadline);
    if (rc == ETIMEDOUT) {
      result = s->Count > 0 ? WaitResult::Signaled : WaitResult::TimedOut;
      break;
    }
    if (rc != 0 && rc != EINTR) {
      result = WaitResult::Failed;
      break;
    }
  }
  if (result == WaitResult::Signaled) --s->Count;
  pthread_mutex_unlock(&s->Lock);
  return result;
}

// ---------------------------------------------------------------- threads

namespace {

// POSIX threads cannot start suspended, so the new thread waits at a gate
// that Resume opens before it runs the body.
struct ThreadState {
  pthread_t Id;
  Thread::Body Body;
  void* Argument;
  pthread_mutex_t GateLock;
  pthread_cond_t GateOpened;
  bool Resumed;
  bool Joined;
};

void* ThreadMain(void* raw) {
  auto* t = static_cast<ThreadState*>(raw);
  pthread_mutex_lock(&t->GateLock);
  while (!t->Resumed) pthread_cond_wait(&t->GateOpened, &t->GateLock);
  pthread_mutex_unlock(&t->GateLock);
  const std::uint32_t status = t->Body(t->Argument);
  return reinterpret_cast<void*>(std::uintptr_t(status));
}

}  // namespace

bool Thread::CreateSuspended(Body body, void* argument) {
  if (Handle != nullptr) return false;
  auto* t = new (std::nothrow) ThreadState;
  if (t == nullptr) return false;
  t->Body = body;
  t->Argument = argument;
  t->Resumed = false;
  t->Joined = false;
  if (pthread_mutex_init(&t->GateLock, nullptr) != 0) {
    delete t;
    return false;
  }
  if (pthread_cond_init(&t->GateOpened, nullptr) != 0) {
    pthread_mutex_destroy(&t->GateLock);
    delete t;
    return false;
  }
  if (pthread_create(&t->Id, nullptr, ThreadMain, t) != 0) {
    pthread_cond_destroy(&t->GateOpened);
    pthread_mutex_destroy(&t->GateLock);
    delete t;
    return false;
  }
  Handle = t;
  return true;
}

void Thread::Resume() {
  auto* t = static_cast<ThreadState*>(Handle);
  if (t == nullptr) return;
  pthread_mutex_lock(&t->GateLock);
  t->Resumed = true;
  pthread_mutex_unlock(&t->GateLock);
  pthread_cond_signal(&t->GateOpened);
}

std::uint32_t Thread::Join() {
  auto* t = static_cast<ThreadState*>(Handle);
  if (t == nullptr) return 0;
  // A thread that was never resumed is released so that it can end.
  Resume();
  void* status = nullptr;
  pthread_join(t->Id, &status);
  pthread_cond_destroy(&t->GateOpened);
  pthread_mutex_destroy(&t->GateLock);
  delete t;
  Handle = nullptr;
  return std::uint32_t(reinterpret_cast<std::uintptr_t>(status));
}

Thread::~Thread() { Join(); }

void YieldTimeSlice() { sched_yield(); }

void SleepMs(std::uint32_t ms) {
  timespec t{time_t(ms / 1000), long(ms % 1000) * 1000000L};
  while (nanosleep(&t, &t) != 0 && errno == EINTR) {
  }
}

// ------------------------------------------------------- last-error value

namespace {
thread_local std::uint32_t LastError = 0;
}

void SetLastError(std::uint32_t value) { LastError = value; }
std::uint32_t GetLastError() { return LastError; }

// ------------------------------------------------------------------ fork

namespace {

// The process the guarded copies aim at. A child made by fork() gets its own
// number from the child handler, before any code of the host runs there: a
// copy aimed at the parent would read and write the parent's memory.
std::atomic<pid_t> SelfPid{0};
std::atomic<std::uint32_t> Generation{0};

pid_t Self() {
  pid_t pid = SelfPid.load(std::memory_order_relaxed);
  if (pid == 0) {
    pid = ::getpid();
    SelfPid.store(pid, std::memory_order_relaxed);
  }
  return pid;
}

void (*ForkPrepare)() = nullptr;
void (*ForkParent)() = nullptr;
void (*ForkChild)() = nullptr;

void BeforeFork() {
  if (ForkPrepare != nullptr) ForkPrepare();
}
void AfterForkInParent() {
  if (ForkParent != nullptr) ForkParent();
}
void AfterForkInChild() {
  SelfPid.store(::getpid(), std::memory_order_relaxed);
  Generation.fetch_add(1, std::memory_order_relaxed);
  if (ForkChild != nullptr) ForkChild();
}

}  // namespace

void RunAroundFork(void (*prepare)(), void (*parent)(), void (*child)()) {
  ForkPrepare = prepare;
  ForkParent = parent;
  ForkChild = child;
  // glibc ties the handlers to the calling module and drops them when it is
  // unloaded, so no handler of an unloaded library ever runs.
  static const bool registered =
      pthread_atfork(&BeforeFork, &AfterForkInParent, &AfterForkInChild) == 0;
  (void)registered;
}

std::uint32_t ForkGeneration() { return Generation.load(std::memory_order_relaxed); }

// ------------------------------------------------------- library lifetime

namespace {

// The grace a caller gets to return out of the library after handing its
// pin to the releasing thread: it has only a few instructions left to run.
constexpr std::uint32_t UnpinGraceMs = 50;
std::atomic<bool> UnpinScheduled{false};

}  // namespace

void* PinLibrary() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&PinLibrary), &info) == 0 || info.dli_fname == nullptr ||
      info.dli_fname[0] == '\0') {
    return nullptr;
  }
  // RTLD_NOLOAD: only another reference to what is already loaded.
  return ::dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
}

void UnpinLibraryLater(void* pin) {
  if (pin == nullptr) return;
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return;
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  UnpinScheduled = true;
  // dlclose is the thread's whole body: it starts and ends in the C library,
  // so when it unmaps the library no frame of ours is left on its stack.
  // (dlclose returns int where a thread body returns a pointer; a detached
  // thread's result is never read, and both travel in the same register.)
  using Body = void* (*)(void*);
  pthread_t thread;
  if (pthread_create(&thread, &attr, reinterpret_cast<Body>(reinterpret_cast<void (*)()>(&::dlclose)),
                     pin) != 0) {
    UnpinScheduled = false;  // the pin stays: loaded for the rest of the process, which is safe
  }
  pthread_attr_destroy(&attr);
}

void BeforeUnload() {
  if (UnpinScheduled.exchange(false)) SleepMs(UnpinGraceMs);
}

// -------------------------------------------------- guarded caller memory

// The kernel copies on our behalf and reports EFAULT instead of delivering a
// fault, so unreadable or unwritable caller memory never crashes the host.
namespace {

// The process the kernel copies are aimed at: this one, also in a fork child.
pid_t OwnProcess() { return Self(); }

// Some emulators do not offer the kernel copies: there only null can be told apart.
bool KernelCopiesUnsupported() { return errno == ENOSYS || errno == EPERM; }

enum class Copy { Done, Fault, Unsupported };

// `caller` is the host's memory, `ours` the library's; the direction says which is written.
Copy KernelCopy(void* caller, void* ours, std::size_t length, bool toCaller) {
  std::size_t done = 0;
  while (done < length) {
    iovec local{static_cast<char*>(ours) + done, length - done};
    iovec remote{static_cast<char*>(caller) + done, length - done};
    const ssize_t n = toCaller ? ::process_vm_writev(OwnProcess(), &local, 1, &remote, 1, 0)
                               : ::process_vm_readv(OwnProcess(), &local, 1, &remote, 1, 0);
    if (n > 0) {
      done += std::size_t(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && KernelCopiesUnsupported()) return Copy::Unsupported;
    return Copy::Fault;
  }
  return Copy::Done;
}

// The kernel takes at most this many pieces per call (IOV_MAX).
constexpr int ProbeBatch = 1024;

// Hands `probe` one byte address in every page of every range, up to
// ProbeBatch at a time, and stops at the first batch it refuses. False for a
// null range or one that wraps around the address space.
template <class Probe>
bool ProbePages(const MemoryRange* ranges, std::size_t count, Probe probe) {
  const std::uintptr_t page = PageSize();
  iovec remote[ProbeBatch];
  int n = 0;
  for (std::size_t r = 0; r < count; ++r) {
    if (ranges[r].Length == 0) continue;
    const std::uintptr_t first = reinterpret_cast<std::uintptr_t>(ranges[r].Start);
    if (first == 0 || ranges[r].Length - 1 > UINTPTR_MAX - first) return false;
    const std::uintptr_t last = first + (ranges[r].Length - 1);
    for (std::uintptr_t at = first;;) {
      remote[n++] = iovec{reinterpret_cast<void*>(at), 1};
      if (n == ProbeBatch) {
        if (!probe(remote, n)) return false;
        n = 0;
      }
      const std::uintptr_t next = (at / page + 1) * page;
      if (next > last || next <= at) break;
      at = next;
    }
  }
  return n == 0 || probe(remote, n);
}

// Reads the probed bytes into `sink`; true when all of them could be read or
// the kernel cannot tell (the copy that follows decides then).
bool ReadProbe(iovec* remote, int n, char* sink, bool& unsupported) {
  iovec local{sink, std::size_t(n)};
  for (;;) {
    const ssize_t got = ::process_vm_readv(OwnProcess(), &local, 1, remote, unsigned(n), 0);
    if (got == n) return true;
    if (got < 0 && errno == EINTR) continue;
    unsupported = got < 0 && KernelCopiesUnsupported();
    return unsupported;
  }
}

}  // namespace

bool GuardedRead(void* destination, const void* source, std::size_t length) {
  if (length == 0) return true;
  if (source == nullptr) return false;
  switch (KernelCopy(const_cast<void*>(source), destination, length, false)) {
    case Copy::Done: return true;
    case Copy::Fault: return false;
    case Copy::Unsupported: break;
  }
  std::memcpy(destination, source, length);
  return true;
}

bool GuardedWrite(void* destination, const void* source, std::size_t length) {
  if (length == 0) return true;
  if (destination == nullptr) return false;
  switch (KernelCopy(destination, const_cast<void*>(source), length, true)) {
    case Copy::Done: return true;
    case Copy::Fault: return false;
    case Copy::Unsupported: break;
  }
  std::memcpy(destination, source, length);
  return true;
}


namespace {

// Linux 5.14 and later fault pages in for reading or writing on request,
// without touching a byte, and refuse memory such an access would fault on:
// one system call checks a whole range, where probing costs one or two per
// 1024 pages (and far more time).
#ifndef MADV_POPULATE_READ
#define MADV_POPULATE_READ 22
#endif
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

enum class Access { Granted, Refused, Unknown };

// One byte of every page is read and written back as it was: the kernel
// refuses pages we may not write, without a fault and without changing
// anything.
bool ProbeCanWrite(const MemoryRange* ranges, std::size_t count) {
  char sink[ProbeBatch];
  bool unsupported = false;
  return ProbePages(ranges, count, [&](iovec* remote, int n) {
    if (unsupported) return true;
    if (!ReadProbe(remote, n, sink, unsupported)) return false;
    if (unsupported) return true;
    iovec local{sink, std::size_t(n)};
    for (;;) {
      const ssize_t put = ::process_vm_writev(OwnProcess(), &local, 1, remote, unsigned(n), 0);
      if (put == n) return true;
      if (put < 0 && errno == EINTR) continue;
      return false;
    }
  });
}

// Whether the request is understood here: a page without the access asked
// for must be refused and one with it accepted. Emulators that take unknown
// advice as a harmless hint fail this and are never asked.
bool PopulateTrusted(bool write) {
  const auto check = [](int advice, int refusedProtection) {
    const std::size_t page = PageSize();
    void* p = ::mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return false;
    char* pages = static_cast<char*>(p);
    const bool ok = ::mprotect(pages + page, page, refusedProtection) == 0 &&
                    ::madvise(pages, page, advice) == 0 && ::madvise(pages + page, page, advice) != 0;
    ::munmap(p, 2 * page);
    return ok;
  };
  static const bool forWrite = check(MADV_POPULATE_WRITE, PROT_READ);
  static const bool forRead = check(MADV_POPULATE_READ, PROT_NONE);
  return write ? forWrite : forRead;
}

// Unknown when the kernel's answer does not settle it (memory without the
// access and special mappings both give EINVAL): the probe then decides.
Access PopulateFor(const MemoryRange& range, bool write) {
  if (!PopulateTrusted(write)) return Access::Unknown;
  const std::uintptr_t page = PageSize();
  const std::uintptr_t first = reinterpret_cast<std::uintptr_t>(range.Start) / page * page;
  const std::uintptr_t end = reinterpret_cast<std::uintptr_t>(range.Start) + range.Length;
  const int advice = write ? MADV_POPULATE_WRITE : MADV_POPULATE_READ;
  for (int attempt = 0; attempt < 4; ++attempt) {
    if (::madvise(reinterpret_cast<void*>(first), end - first, advice) == 0) return Access::Granted;
    if (errno == ENOMEM || errno == EFAULT) return Access::Refused;  // unmapped; would fault
    if (errno != EINTR && errno != EAGAIN) break;
  }
  return Access::Unknown;
}

}  // namespace

bool GuardedCanRead(const void* source, std::size_t length) {
  if (length == 0) return true;
  if (source == nullptr) return false;
  const MemoryRange range{const_cast<void*>(source), length};
  if (length - 1 > UINTPTR_MAX - reinterpret_cast<std::uintptr_t>(source)) return false;
  switch (PopulateFor(range, false)) {
    case Access::Granted: return true;
    case Access::Refused: return false;
    case Access::Unknown: break;
  }
  char sink[ProbeBatch];
  bool unsupported = false;
  return ProbePages(&range, 1, [&](iovec* remote, int n) {
    return unsupported || ReadProbe(remote, n, sink, unsupported);
  });
}

bool GuardedCanWrite(const MemoryRange* ranges, std::size_t count) {
  std::vector<MemoryRange> unsettled;
  for (std::size_t r = 0; r < count; ++r) {
    if (ranges[r].Length == 0) continue;
    const std::uintptr_t first = reinterpret_cast<std::uintptr_t>(ranges[r].Start);
    if (first == 0 || ranges[r].Length - 1 > UINTPTR_MAX - first) return false;
    switch (PopulateFor(ranges[r], true)) {
      case Access::Granted: continue;
      case Access::Refused: return false;
      case Access::Unknown: unsettled.push_back(ranges[r]); break;
    }
  }
  return unsettled.empty() || ProbeCanWrite(unsettled.data(), unsettled.size());
}

std::size_t PageSize() {
  static const std::size_t page = [] {
    const long n = sysconf(_SC_PAGESIZE);
    return n > 0 ? std::size_t(n) : std::size_t(4096);
  }();
  return page;
}

}  // namespace velmora::platform
