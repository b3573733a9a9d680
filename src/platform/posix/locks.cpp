// POSIX backend: the mutex, the queued mutex and the semaphore.
#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace velmora::platform {

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

namespace {

// How long the next in line watches for its turn before it sleeps. A call
// on a device nearby holds the lock for tens of microseconds, and waking a
// sleeper costs about as much again; the watcher gives its CPU away at every
// turn, so the holder's own threads are never held up by it.
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
  const std::size_t slot = std::size_t(ticket % TurnSlots);
  while (q->Serving != ticket) {
    if (ticket == q->Serving + 1) {
      Check(pthread_mutex_unlock(&q->Lock));
      WatchForTurn(*q, ticket);
      Check(pthread_mutex_lock(&q->Lock));
      if (q->Serving == ticket) break;
    }
    ++q->Asleep[slot];
    const int rc = pthread_cond_wait(&q->Turn[slot], &q->Lock);
    --q->Asleep[slot];
    Check(rc);
  }
  Check(pthread_mutex_unlock(&q->Lock));
}

void QueuedMutex::WakeNextInLine() {
  auto* q = static_cast<QueuedMutexState*>(Handle);
  Check(pthread_mutex_lock(&q->Lock));
  const std::size_t next = std::size_t((q->Serving + 1) % TurnSlots);
  const bool wakeNext = q->Asleep[next] != 0;
  Check(pthread_mutex_unlock(&q->Lock));
  if (wakeNext) Check(pthread_cond_broadcast(&q->Turn[next]));
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
  const timespec deadline = posix::DeadlineAfter(ms);
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

}  // namespace velmora::platform
