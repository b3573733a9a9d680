// Loading and unloading the shared library the way a host does: repeatedly,
// in one process, with a device handle opened and closed in between once;
// and unloaded too early, with a handle still open. Addresses 127.0.0.131
// and 127.0.12.20 belong to this file.
#include <dlfcn.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "diff/wire_vocabulary.h"
#include "sim/simulated_device.h"
#include "support/library_under_test.h"
#include "support/loopback_peer.h"
#include "support/process_census.h"
#include "support/sanitizers.h"
#include "support/test_address.h"
#include "velmora.h"

using velmora::testing::TestAddress;

namespace {

const char* const DeviceAddress = TestAddress(0, 131);

using velmora::testing::UnderThreadSanitizer;

// The library's releasing thread may be the one that unloads it; the loader
// orders that unload before the next load at the same addresses, but
// ThreadSanitizer cannot see the loader's lock and reports the next load's
// start-up as racing with the last unload's shut-down.
#define SKIP_UNDER_THREAD_SANITIZER()                                              \
  if (UnderThreadSanitizer)                                                         \
  GTEST_SKIP() << "ThreadSanitizer does not see the loader order an unload on the " \
                  "library's releasing thread before a later load"

using velmora::testing::ThreadCount;

// The device starts its threads for a connection after accepting it, which
// may be after NDX_Connect returned.
bool ThreadCountBecomes(long count) {
  for (int i = 0; i < 500 && ThreadCount() != count; ++i) usleep(10000);
  return ThreadCount() == count;
}

bool IsLoaded() {
  void* lib = dlopen(VELMORA_LIBRARY_FILE, RTLD_NOW | RTLD_NOLOAD);
  if (lib == nullptr) return false;
  dlclose(lib);
  return true;
}

struct Entry {
  void* Lib = nullptr;
  std::int32_t (*Close)(NDX_HANDLE) = nullptr;
  std::int32_t(VELMORA_STDCALL* SetFreq)(NDX_HANDLE, std::int32_t) = nullptr;  // the wrapper
  NDX_HANDLE (*Connect)(const char*, std::int32_t, std::int32_t) = nullptr;
  std::int32_t (*LastError)() = nullptr;

  bool Load() {
    Lib = velmora::testing::LoadLibraryUnderTest(RTLD_NOW | RTLD_LOCAL);
    if (Lib == nullptr) return false;
    Close = reinterpret_cast<decltype(Close)>(dlsym(Lib, "NDX_Close"));
    SetFreq = reinterpret_cast<decltype(SetFreq)>(dlsym(Lib, "VBNDX_SetFreq"));
    Connect = reinterpret_cast<decltype(Connect)>(dlsym(Lib, "_NDX_Connect"));
    LastError = reinterpret_cast<decltype(LastError)>(dlsym(Lib, "NDX_GetLastError"));
    return Close != nullptr && SetFreq != nullptr && Connect != nullptr && LastError != nullptr;
  }
};

// The loop also proves that every load starts from scratch: a second start-up
// over the first's state (or a shut-down that left the lock destroyed) would
// make the calls after a reload fail or hang.
TEST(LibraryLoad, HundredLoadsAndUnloadsWithOneHandleInBetween) {
  ASSERT_FALSE(IsLoaded()) << "the test program must not link the library";
  // The program's thread, the test deadline's watcher, and one of qemu-user's
  // or ThreadSanitizer's own (which starts with the program's first thread,
  // the watcher, so it is already here).
  int threadsAtStart = int(ThreadCount());
  ASSERT_GE(threadsAtStart, 1);

  for (int i = 0; i < 100; ++i) {
    SCOPED_TRACE("load " + std::to_string(i));
    Entry lib;
    ASSERT_TRUE(lib.Load()) << dlerror();
    EXPECT_EQ(ThreadCount(), threadsAtStart) << "loading started a thread";
    EXPECT_EQ(lib.Close(nullptr), NDX_ERROR_BAD_UNIT);
    EXPECT_EQ(lib.SetFreq(nullptr, 1000), NDX_ERROR_BAD_UNIT);

    if (i == 50) {
      velmora::sim::SimulatedDevice device(DeviceAddress);
      ASSERT_TRUE(device.Start());
      const int withDevice = int(ThreadCount());
      NDX_HANDLE h = lib.Connect(DeviceAddress, 1, 3);
      ASSERT_NE(h, nullptr) << lib.LastError();
      EXPECT_EQ(lib.LastError(), 0);
      // The handle's reader and writer, and the device's two for the connection.
      EXPECT_TRUE(ThreadCountBecomes(withDevice + 4)) << ThreadCount() - withDevice;
      EXPECT_EQ(lib.SetFreq(h, 2500), 0);
      EXPECT_TRUE(device.WaitForReceived(velmora::sim::InputPort(3), 1, 5000));
      EXPECT_EQ(device.Config(3).FrequencyHz, 2500);
      EXPECT_EQ(lib.Close(h), 0);
      EXPECT_TRUE(device.WaitForPeerClosed(velmora::sim::InputPort(3), 5000));
      device.Stop();
      // A joined thread can linger in /proc for a moment (under qemu-user the
      // join returns before the host thread has gone), so allow it to go.
      EXPECT_TRUE(ThreadCountBecomes(threadsAtStart))
          << "a thread outlived its handle: " << ThreadCount() << " vs " << threadsAtStart;
    }

    ASSERT_EQ(dlclose(lib.Lib), 0) << dlerror();
    // Nothing in the library pins it (no unique symbols, no thread-local
    // destructors, no thread left running), so the loader really unmaps it.
    ASSERT_FALSE(IsLoaded()) << "the library stayed mapped after dlclose";
    EXPECT_EQ(ThreadCount(), threadsAtStart);
  }
}

const char* const PeerAddress = TestAddress(12, 20);

// Loads the library and opens an input handle to `peer` on PeerAddress.
void LoadAndConnect(velmora::testing::LoopbackPeer& peer, Entry& lib, NDX_HANDLE& h) {
  ASSERT_TRUE(peer.Listening());
  peer.AcceptAsync();
  ASSERT_TRUE(lib.Load()) << dlerror();
  h = lib.Connect(PeerAddress, 1, 0);
  ASSERT_NE(h, nullptr) << lib.LastError();
  ASSERT_TRUE(peer.WaitAccepted());
}

// The library gives its last reference back on a thread of its own, moments
// after the last close has returned: whether it is unmapped within 3 s.
bool UnloadedSoon() {
  for (int i = 0; i < 300; ++i) {
    if (!IsLoaded()) return true;
    usleep(10000);
  }
  return !IsLoaded();
}

// A host that unloads the library with a handle still open: the handle's
// threads run library code, so the library must stay mapped until the handle
// is closed (through a function pointer the host kept), and go after that.
// Before the library kept itself loaded, the reader thread ran unmapped code
// as soon as the device dropped the link, and the process died of SIGSEGV.
TEST(LibraryLoad, UnloadedTooEarlyItStaysUntilTheLastHandleCloses) {
  SKIP_UNDER_THREAD_SANITIZER();
  ASSERT_FALSE(IsLoaded());
  velmora::testing::LoopbackPeer peer(PeerAddress, velmora::wire::DevicePort(true, 0));
  Entry lib;
  NDX_HANDLE h = nullptr;
  ASSERT_NO_FATAL_FAILURE(LoadAndConnect(peer, lib, h));
  const auto close = lib.Close;

  ASSERT_EQ(dlclose(lib.Lib), 0) << dlerror();
  EXPECT_TRUE(IsLoaded()) << "unmapped under a live handle";
  // The device drops the link: the reader and writer run their teardown.
  peer.DropConnection();
  usleep(300000);
  EXPECT_TRUE(IsLoaded());

  EXPECT_EQ(close(h), 0);
  EXPECT_TRUE(UnloadedSoon()) << "the library stayed mapped after its last handle closed";
}

// A host that closes its handles before unloading sees no difference: after
// the last close and its own unload the library is gone.
TEST(LibraryLoad, ClosedBeforeUnloadTheLibraryGoesWithTheHostsReference) {
  SKIP_UNDER_THREAD_SANITIZER();
  velmora::testing::LoopbackPeer peer(PeerAddress, velmora::wire::DevicePort(true, 0));
  Entry lib;
  NDX_HANDLE h = nullptr;
  ASSERT_NO_FATAL_FAILURE(LoadAndConnect(peer, lib, h));
  EXPECT_EQ(lib.Close(h), 0);
  ASSERT_EQ(dlclose(lib.Lib), 0) << dlerror();
  EXPECT_TRUE(UnloadedSoon());
}

}  // namespace
