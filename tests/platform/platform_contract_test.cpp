// The OS contract of platform.h, run against whichever backend the build
// compiled (POSIX natively and under qemu-i386, Win32 under wine).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "support/test_address.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <errno.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>
#endif

using velmora::testing::TestAddress;
using velmora::testing::TestAddressHost;

namespace velmora::platform {
namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Polls `done` for at most `limitMs`; true once it holds.
template <typename F>
bool Eventually(F done, int limitMs = 5000) {
  const auto start = Clock::now();
  while (!done()) {
    if (MsSince(start) > limitMs) return false;
    SleepMs(1);
  }
  return true;
}

// ------------------------------------------------------------ synchronisation

struct LockAttempt {
  Mutex* Lock;
  std::atomic<bool> Acquired{false};
};

std::uint32_t TakeAndRelease(void* raw) {
  auto* a = static_cast<LockAttempt*>(raw);
  a->Lock->Lock();
  a->Acquired = true;
  a->Lock->Unlock();
  return 0;
}

TEST(PlatformMutex, IsRecursiveForItsOwnerAndExcludesOthersUntilFullyReleased) {
  Mutex m;
  ASSERT_TRUE(m.Valid());
  m.Lock();
  m.Lock();  // the owner may take it again without deadlocking
  LockAttempt attempt{&m};
  Thread other;
  ASSERT_TRUE(other.CreateSuspended(TakeAndRelease, &attempt));
  other.Resume();
  SleepMs(50);
  m.Unlock();
  SleepMs(50);
  EXPECT_FALSE(attempt.Acquired) << "one Unlock of two must not release the mutex";
  m.Unlock();
  EXPECT_TRUE(Eventually([&] { return attempt.Acquired.load(); }));
  other.Join();
}

// A thread that releases the lock and asks again at once must queue behind
// the thread already waiting: an unfair lock hands it back to the releaser,
// which then holds it round after round while the waiter starves.
TEST(PlatformQueuedMutex, AWaiterIsServedBeforeTheReleaserAsksAgain) {
  QueuedMutex m;
  ASSERT_TRUE(m.Valid());
  constexpr int Rounds = 8;
  std::atomic<int> holds{0};
  std::atomic<bool> waiterAsking{false};
  std::atomic<bool> firstHeld{false};
  int holdsBeforeWaiter = -1;
  std::thread busy([&] {
    for (int i = 0; i < Rounds; ++i) {
      m.Lock();
      ++holds;
      if (i == 0) {
        firstHeld = true;
        while (!waiterAsking) SleepMs(1);
        SleepMs(30);  // the waiter is queued by now
      } else {
        SleepMs(5);
      }
      m.Unlock();
    }
  });
  while (!firstHeld) SleepMs(1);
  std::thread waiter([&] {
    waiterAsking = true;
    m.Lock();
    holdsBeforeWaiter = holds;
    m.Unlock();
  });
  waiter.join();
  busy.join();
  EXPECT_EQ(holdsBeforeWaiter, 1) << "the lock went back to the thread that released it";
  EXPECT_EQ(holds, Rounds);
}

// Waiters queued far more deeply than any fixed set of wake-up slots: each
// is served in the order it asked, and none sleeps through its turn.
TEST(PlatformQueuedMutex, ADeepQueueIsServedInArrivalOrder) {
  QueuedMutex m;
  ASSERT_TRUE(m.Valid());
  constexpr int Waiters = 40;
  std::vector<int> served;
  std::vector<std::thread> queue;
  m.Lock();
  for (int i = 0; i < Waiters; ++i) {
    std::atomic<bool> asking{false};
    queue.emplace_back([&, i] {
      asking = true;
      m.Lock();
      served.push_back(i);
      m.Unlock();
    });
    while (!asking) SleepMs(1);
    SleepMs(5);  // queued by now, behind every earlier one
  }
  m.Unlock();
  for (std::thread& t : queue) t.join();
  ASSERT_EQ(served.size(), std::size_t(Waiters));
  for (int i = 0; i < Waiters; ++i) EXPECT_EQ(served[std::size_t(i)], i);
}

TEST(PlatformSemaphore, ReleaseStopsAtTheMaximumWithoutChangingTheCount) {
  Semaphore s(1, 3);
  ASSERT_TRUE(s.Valid());
  EXPECT_TRUE(s.Release());
  EXPECT_TRUE(s.Release());
  EXPECT_FALSE(s.Release());
  EXPECT_FALSE(s.Release());
  for (int i = 0; i < 3; ++i) EXPECT_EQ(s.WaitFor(0), Semaphore::WaitResult::Signaled) << i;
  EXPECT_EQ(s.WaitFor(0), Semaphore::WaitResult::TimedOut);
}

TEST(PlatformSemaphore, TimedWaitTellsATimeOutFromAWakeUp) {
  Semaphore s(0, 1);
  ASSERT_TRUE(s.Valid());
  const auto start = Clock::now();
  EXPECT_EQ(s.WaitFor(100), Semaphore::WaitResult::TimedOut);
  const long long waited = MsSince(start);
  EXPECT_GE(waited, 90);
  EXPECT_LT(waited, 5000);

  struct Waker {
    static std::uint32_t Run(void* raw) {
      SleepMs(30);
      static_cast<Semaphore*>(raw)->Release();
      return 0;
    }
  };
  Thread waker;
  ASSERT_TRUE(waker.CreateSuspended(Waker::Run, &s));
  waker.Resume();
  EXPECT_EQ(s.WaitFor(10000), Semaphore::WaitResult::Signaled);
  waker.Join();
  // The wake-up took the count.
  EXPECT_EQ(s.WaitFor(0), Semaphore::WaitResult::TimedOut);

  ASSERT_TRUE(s.Release());
  EXPECT_EQ(s.Wait(), Semaphore::WaitResult::Signaled);
}

// ---------------------------------------------------------------- threads

struct Flag {
  std::atomic<bool> Ran{false};
  std::uint32_t Status = 0;
};

std::uint32_t SetFlag(void* raw) {
  auto* f = static_cast<Flag*>(raw);
  f->Ran = true;
  return f->Status;
}

TEST(PlatformThread, RunsOnlyAfterResumeAndJoinGivesTheBodysStatus) {
  Flag f;
  f.Status = 0xFFFFFFFEu;
  Thread t;
  ASSERT_TRUE(t.CreateSuspended(SetFlag, &f));
  EXPECT_TRUE(t.Created());
  EXPECT_FALSE(t.CreateSuspended(SetFlag, &f)) << "a second thread in the same object";
  SleepMs(50);
  EXPECT_FALSE(f.Ran) << "created suspended";
  t.Resume();
  EXPECT_EQ(t.Join(), 0xFFFFFFFEu);
  EXPECT_TRUE(f.Ran);
  EXPECT_FALSE(t.Created());
}

TEST(PlatformThread, JoiningOrDestroyingAThreadNeverResumedStillEndsIt) {
  Flag joined;
  joined.Status = 7;
  Thread t;
  ASSERT_TRUE(t.CreateSuspended(SetFlag, &joined));
  EXPECT_EQ(t.Join(), 7u);
  EXPECT_TRUE(joined.Ran);

  Flag destroyed;
  {
    Thread u;
    ASSERT_TRUE(u.CreateSuspended(SetFlag, &destroyed));
  }
  EXPECT_TRUE(destroyed.Ran);
}

// ------------------------------------------------------- last-error value

std::uint32_t ReadOwnLastError(void* raw) {
  *static_cast<std::uint32_t*>(raw) = GetLastError();
  SetLastError(4321);
  return GetLastError();
}

TEST(PlatformLastError, BelongsToTheCallingThread) {
  SetLastError(1203);
  std::uint32_t seenThere = 1;
  Thread t;
  ASSERT_TRUE(t.CreateSuspended(ReadOwnLastError, &seenThere));
  t.Resume();
  EXPECT_EQ(t.Join(), 4321u);
  EXPECT_EQ(seenThere, 0u);
  EXPECT_EQ(GetLastError(), 1203u);
}

// The value is the host's view of the library's last failure, so lock,
// thread and memory operations must leave it alone.
TEST(PlatformLastError, SurvivesSynchronisationThreadAndGuardedCalls) {
  SetLastError(1203);
  {
    Mutex m;
    m.Lock();
    m.Unlock();
    Semaphore s(1, 1);
    EXPECT_FALSE(s.Release());
    EXPECT_EQ(s.WaitFor(0), Semaphore::WaitResult::Signaled);
    EXPECT_EQ(s.WaitFor(1), Semaphore::WaitResult::TimedOut);
    Flag f;
    Thread t;
    ASSERT_TRUE(t.CreateSuspended(SetFlag, &f));
    t.Resume();
    t.Join();
    char c = 0;
    EXPECT_FALSE(GuardedRead(&c, nullptr, 1));
    EXPECT_FALSE(GuardedWrite(nullptr, &c, 1));
  }
  EXPECT_EQ(GetLastError(), 1203u);
}

// -------------------------------------------------- guarded caller memory

// Two adjacent pages: the first read-write, the second as asked.
class TwoPages {
 public:
  enum class Second { NoAccess, ReadOnly };

  explicit TwoPages(Second second) {
#if defined(_WIN32)
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    Page = info.dwPageSize;
    Base = static_cast<char*>(
        VirtualAlloc(nullptr, 2 * Page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD old = 0;
    if (Base != nullptr)
      VirtualProtect(Base + Page, Page, second == Second::NoAccess ? PAGE_NOACCESS : PAGE_READONLY,
                     &old);
#else
    Page = std::size_t(sysconf(_SC_PAGESIZE));
    void* p = mmap(nullptr, 2 * Page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    Base = p == MAP_FAILED ? nullptr : static_cast<char*>(p);
    if (Base != nullptr)
      mprotect(Base + Page, Page, second == Second::NoAccess ? PROT_NONE : PROT_READ);
#endif
  }
  ~TwoPages() {
#if defined(_WIN32)
    if (Base != nullptr) VirtualFree(Base, 0, MEM_RELEASE);
#else
    if (Base != nullptr) munmap(Base, 2 * Page);
#endif
  }
  TwoPages(const TwoPages&) = delete;
  TwoPages& operator=(const TwoPages&) = delete;

  char* Base = nullptr;
  std::size_t Page = 0;
};

// Under an emulator without the kernel's cross-process copy the POSIX
// backend can only refuse null, so the fault tests have nothing to check.
bool FaultsAreDetectable() {
#if defined(_WIN32)
  return true;
#else
  char from = 1, to = 0;
  iovec local{&to, 1}, remote{&from, 1};
  return process_vm_readv(getpid(), &local, 1, &remote, 1, 0) == 1;
#endif
}

TEST(PlatformGuardedMemory, CopiesReadableAndWritableMemoryWhole) {
  char source[300];
  for (int i = 0; i < 300; ++i) source[i] = char(i);
  char copy[300] = {};
  EXPECT_TRUE(GuardedRead(copy, source, sizeof source));
  EXPECT_EQ(std::memcmp(copy, source, sizeof source), 0);
  char written[300] = {};
  EXPECT_TRUE(GuardedWrite(written, source, sizeof source));
  EXPECT_EQ(std::memcmp(written, source, sizeof source), 0);
  EXPECT_TRUE(GuardedRead(nullptr, nullptr, 0));
  EXPECT_FALSE(GuardedRead(copy, nullptr, 1));
  EXPECT_FALSE(GuardedWrite(nullptr, source, 1));

  std::string text;
  EXPECT_TRUE(GuardedReadText("dev-7.local", text));
  EXPECT_EQ(text, "dev-7.local");
  EXPECT_TRUE(GuardedReadText(nullptr, text));
  EXPECT_EQ(text, "");
}

TEST(PlatformGuardedMemory, RefusesRangesThatRunIntoUnreadableMemory) {
  if (!FaultsAreDetectable()) GTEST_SKIP() << "no kernel-assisted copy under this emulator";
  TwoPages pages(TwoPages::Second::NoAccess);
  ASSERT_NE(pages.Base, nullptr);
  char* edge = pages.Base + pages.Page;  // first unreadable byte
  std::memset(pages.Base, 'a', pages.Page);
  char buffer[64];
  EXPECT_TRUE(GuardedRead(buffer, edge - 16, 16));
  EXPECT_FALSE(GuardedRead(buffer, edge - 16, 17));
  EXPECT_FALSE(GuardedRead(buffer, edge, 1));
  EXPECT_FALSE(GuardedWrite(edge - 8, buffer, 9));
  EXPECT_FALSE(GuardedRead(buffer, reinterpret_cast<const void*>(std::uintptr_t(16)), 4));

  // Text that ends on the last readable byte is read whole; text that runs
  // on into the unreadable page is refused.
  edge[-1] = '\0';
  std::string text;
  EXPECT_TRUE(GuardedReadText(edge - 6, text));
  EXPECT_EQ(text, "aaaaa");
  EXPECT_TRUE(GuardedReadText(pages.Base, text));
  EXPECT_EQ(text.size(), pages.Page - 1);
  edge[-1] = 'a';
  EXPECT_FALSE(GuardedReadText(edge - 6, text));
}

TEST(PlatformGuardedMemory, RefusesToWriteReadOnlyMemoryOrCode) {
  if (!FaultsAreDetectable()) GTEST_SKIP() << "no kernel-assisted copy under this emulator";
  TwoPages pages(TwoPages::Second::ReadOnly);
  ASSERT_NE(pages.Base, nullptr);
  char* readOnly = pages.Base + pages.Page;
  const char before = readOnly[0];
  const char x[4] = {'x', 'x', 'x', 'x'};
  EXPECT_FALSE(GuardedWrite(readOnly, x, 1));
  EXPECT_FALSE(GuardedWrite(readOnly - 2, x, 4));
  EXPECT_EQ(readOnly[0], before);
  char back = 1;
  EXPECT_TRUE(GuardedRead(&back, readOnly, 1));
  EXPECT_EQ(back, before);

  // Writing the code's own bytes back keeps the program intact should the
  // write wrongly succeed (a debugger-style write makes code writable).
  const void* code = reinterpret_cast<const void*>(&TakeAndRelease);
  char same[8];
  ASSERT_TRUE(GuardedRead(same, code, sizeof same));
  EXPECT_FALSE(GuardedWrite(const_cast<void*>(code), same, sizeof same));
}

TEST(PlatformGuardedMemory, WriteProbeRefusesEveryRangeThatCannotTakeItsBytesAndChangesNothing) {
  if (!FaultsAreDetectable()) GTEST_SKIP() << "no kernel-assisted copy under this emulator";
  TwoPages readOnlyPages(TwoPages::Second::ReadOnly);
  TwoPages noAccessPages(TwoPages::Second::NoAccess);
  ASSERT_NE(readOnlyPages.Base, nullptr);
  ASSERT_NE(noAccessPages.Base, nullptr);
  char* readOnly = readOnlyPages.Base + readOnlyPages.Page;
  char* unmapped = noAccessPages.Base + noAccessPages.Page;
  // More pages than one probe call takes, so the refusal lies in a later batch.
  std::string large(6u << 20, '\0');
  for (std::size_t i = 0; i < large.size(); ++i) large[i] = char(i * 13);
  const std::string before = large;
  std::int32_t cell = 7;

  const MemoryRange writable[] = {{&cell, sizeof cell}, {large.data(), large.size()}, {nullptr, 0}};
  EXPECT_TRUE(GuardedCanWrite(writable, 3));
  EXPECT_EQ(large, before);
  EXPECT_EQ(cell, 7);
  EXPECT_TRUE(GuardedCanWrite(nullptr, 0));

  const MemoryRange lastByteReadOnly[] = {{large.data(), large.size()}, {readOnly - 4, 5}};
  EXPECT_FALSE(GuardedCanWrite(lastByteReadOnly, 2));
  const MemoryRange intoUnmapped[] = {{&cell, sizeof cell}, {unmapped - 100, 8192}};
  EXPECT_FALSE(GuardedCanWrite(intoUnmapped, 2));
  const MemoryRange null[] = {{nullptr, 1}};
  EXPECT_FALSE(GuardedCanWrite(null, 1));
  const MemoryRange code[] = {{reinterpret_cast<void*>(&TakeAndRelease), 8}};
  EXPECT_FALSE(GuardedCanWrite(code, 1));
  const MemoryRange wraps[] = {{reinterpret_cast<void*>(~std::uintptr_t(0) - 3), 8}};
  EXPECT_FALSE(GuardedCanWrite(wraps, 1));
  EXPECT_EQ(large, before);
  EXPECT_EQ(readOnly[0], 0);
}

// ---------------------------------------------------------------- sockets

// Loopback address of this fixture: unique in the whole test suite. ctest
// runs the tests of one fixture in parallel processes, so each test listens
// on a port of its own.
const std::uint32_t FixtureAddressHost = TestAddressHost(0, 201);
constexpr std::uint16_t UnusedPort = 0xED1F;

struct Accepted {
  Socket Listener;
  std::atomic<Socket> Peer{InvalidSocket};
};

std::uint32_t AcceptOne(void* raw) {
  auto* a = static_cast<Accepted*>(raw);
  a->Peer = SocketAccept(a->Listener);
  return a->Peer == InvalidSocket ? 1 : 0;
}

struct Received {
  Socket S;
  std::atomic<long> Result{1};
  std::atomic<bool> Done{false};
};

std::uint32_t ReceiveOnce(void* raw) {
  auto* r = static_cast<Received*>(raw);
  char buffer[16];
  r->Result = SocketRecv(r->S, buffer, sizeof buffer);
  r->Done = true;
  return 0;
}

class PlatformSocket : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { SocketLibraryStartup(); }
  static void TearDownTestSuite() { SocketLibraryCleanup(); }

  void Listen(std::uint16_t port, std::uint32_t addressHost = FixtureAddressHost) {
    Port = port;
    Listener = SocketListen(AddressToNetwork(addressHost), PortToNetwork(port), 4);
    ASSERT_NE(Listener, InvalidSocket) << "error " << SocketLastError();
  }
  void TearDown() override {
    for (Socket s : {Client, Peer, Listener}) {
      if (s == InvalidSocket) continue;
      SocketShutdownBoth(s);
      SocketClose(s);
    }
  }

  // Connects Client to a new listener on `port` of `addressHost`, within
  // `timeoutMs`, and accepts the other end into Peer.
  void Connect(std::uint16_t port, std::uint32_t addressHost = FixtureAddressHost,
               std::uint32_t timeoutMs = NoTimeLimit) {
    Listen(port, addressHost);
    if (Listener == InvalidSocket) return;
    Accepted accepted{Listener};
    Thread acceptor;
    ASSERT_TRUE(acceptor.CreateSuspended(AcceptOne, &accepted));
    acceptor.Resume();
    Client = SocketCreateTcp();
    ASSERT_NE(Client, InvalidSocket);
    const bool connected =
        SocketConnect(Client, AddressToNetwork(addressHost), PortToNetwork(Port), timeoutMs);
    EXPECT_EQ(acceptor.Join(), 0u);
    Peer = accepted.Peer;
    ASSERT_TRUE(connected) << "error " << SocketLastError();
    ASSERT_NE(Peer, InvalidSocket);
  }

  std::uint16_t Port = 0;
  Socket Listener = InvalidSocket;
  Socket Client = InvalidSocket;
  Socket Peer = InvalidSocket;
};

TEST_F(PlatformSocket, CarriesEveryByteValueAndSeesThePeerClose) {
  ASSERT_NO_FATAL_FAILURE(Connect(0xED00));
  EXPECT_TRUE(SocketSetNoDelay(Client));
  std::string bytes(256, '\0');
  for (int i = 0; i < 256; ++i) bytes[i] = char(i);
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const long n = SocketSend(Client, bytes.data() + sent, bytes.size() - sent);
    ASSERT_GT(n, 0);
    sent += std::size_t(n);
  }
  std::string got;
  for (int i = 0; i < 1000 && got.size() < bytes.size(); ++i) {
    char buffer[100];
    const long n = SocketRecv(Peer, buffer, sizeof buffer);
    ASSERT_GT(n, 0);
    got.append(buffer, std::size_t(n));
  }
  EXPECT_EQ(got, bytes);

  SocketClose(Peer);
  Peer = InvalidSocket;
  char c;
  EXPECT_EQ(SocketRecv(Client, &c, 1), 0);
}

TEST_F(PlatformSocket, ShutdownEndsAReceiveBlockedOnASilentPeer) {
  ASSERT_NO_FATAL_FAILURE(Connect(0xED01));
  Received r;
  r.S = Client;
  Thread reader;
  ASSERT_TRUE(reader.CreateSuspended(ReceiveOnce, &r));
  reader.Resume();
  SleepMs(100);
  ASSERT_FALSE(r.Done) << "the peer sent nothing";
  const auto start = Clock::now();
  SocketShutdownBoth(Client);
  EXPECT_TRUE(Eventually([&] { return r.Done.load(); }, 5000))
      << "the receive is still blocked; the test will hang in Join";
  EXPECT_LT(MsSince(start), 5000);
  EXPECT_LE(r.Result, 0);
  reader.Join();
  // Further receives fail at once.
  char c;
  EXPECT_LE(SocketRecv(Client, &c, 1), 0);
}

TEST_F(PlatformSocket, ShutdownEndsAnAcceptBlockedOnTheListener) {
  ASSERT_NO_FATAL_FAILURE(Listen(0xED02));
  Accepted accepted{Listener};
  Thread acceptor;
  ASSERT_TRUE(acceptor.CreateSuspended(AcceptOne, &accepted));
  acceptor.Resume();
  SleepMs(100);
  SocketShutdownBoth(Listener);
  const auto start = Clock::now();
  EXPECT_EQ(acceptor.Join(), 1u);
  EXPECT_LT(MsSince(start), 5000);
  EXPECT_EQ(accepted.Peer.load(), InvalidSocket);
}

TEST_F(PlatformSocket, ConnectToAClosedPortFails) {
  Client = SocketCreateTcp();
  ASSERT_NE(Client, InvalidSocket);
  EXPECT_FALSE(SocketConnect(Client, AddressToNetwork(FixtureAddressHost), PortToNetwork(UnusedPort)));
}

TEST(PlatformAddress, ParsesDottedTextAndLooksUpLocalNames) {
  SocketLibraryStartup();
  EXPECT_EQ(ParseDottedAddress(TestAddress(0, 201)), AddressToNetwork(FixtureAddressHost));
  EXPECT_EQ(ParseDottedAddress("127.1.2.3"), AddressToNetwork(0x7F010203));
  EXPECT_EQ(ParseDottedAddress("device-7"), 0xFFFFFFFFu);
  EXPECT_EQ(ParseDottedAddress("1.2.3.4.5"), 0xFFFFFFFFu);
  // Answered from the hosts file; no query leaves the machine.
  const std::uint32_t local = LookupFirstIPv4("localhost");
  unsigned char first[4];
  std::memcpy(first, &local, 4);
  EXPECT_EQ(first[0], 127) << "localhost resolved to " << local;
  SocketLibraryCleanup();
}

TEST_F(PlatformSocket, ATimedConnectLeavesABlockingSocketAndARefusalEndsItAtOnce) {
  // 127.0.22.7: an address of its own, apart from the fixture's.
  const std::uint32_t AddressHost = TestAddressHost(22, 7);
  ASSERT_NO_FATAL_FAILURE(Connect(0xED02, AddressHost, 2000));
  // A receive waits for data instead of failing at once.
  Received r{Client};
  Thread receiver;
  ASSERT_TRUE(receiver.CreateSuspended(ReceiveOnce, &r));
  receiver.Resume();
  SleepMs(100);
  EXPECT_FALSE(r.Done.load());
  const char byte = 'x';
  ASSERT_EQ(SocketSend(Peer, &byte, 1), 1);
  receiver.Join();
  EXPECT_EQ(r.Result.load(), 1);

  const Socket refused = SocketCreateTcp();
  ASSERT_NE(refused, InvalidSocket);
  const auto start = Clock::now();
  EXPECT_FALSE(SocketConnect(refused, AddressToNetwork(AddressHost), PortToNetwork(0xED1E), 2000));
  EXPECT_LT(MsSince(start), 1500);
  SocketClose(refused);
}

TEST(PlatformMutex, UnlockingAMutexNotHeldAbortsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        Mutex m;
        m.Unlock();
      },
      "");
}

}  // namespace
}  // namespace velmora::platform
