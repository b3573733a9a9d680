// Opening and closing device handles, handle validation and the library-wide
// lock. Addresses 127.0.0.70 to 127.0.0.76 belong to this file.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "device/device_handle.h"
#include "support/device_link.h"
#include "support/guard_pages.h"
#include "support/test_address.h"

using velmora::testing::TestAddress;

using namespace velmora;
using velmora::testing::DeviceLink;
using velmora::testing::Eventually;
using velmora::testing::LoopbackPeer;

namespace {

std::uint32_t LastError() { return platform::GetLastError(); }

}  // namespace

TEST(Connect, SuccessLeavesZeroAsLastError) {
  platform::SetLastError(77);
  DeviceLink link(TestAddress(0, 70), true);
  ASSERT_NE(link.Handle, nullptr);
  EXPECT_EQ(LastError(), 0u);
  EXPECT_TRUE(link.Accepted);
}

TEST(Connect, DirectionAndPortIndexSelectThePort) {
  struct Case {
    std::int32_t isInput;
    std::int32_t portIndex;
    std::uint16_t port;
  };
  for (const Case c : {Case{7, 0, 0xED10}, Case{0, 0x25, 0xED05}, Case{0, 15, 0xED0F},
                       Case{1, 3, 0xED13}, Case{0, 16, 0xED00}}) {
    LoopbackPeer peer(TestAddress(0, 71), c.port);
    peer.AcceptAsync();
    NDX_HANDLE h = device::Connect(TestAddress(0, 71), c.isInput, c.portIndex);
    ASSERT_NE(h, nullptr) << c.port;
    EXPECT_TRUE(peer.WaitAccepted());
    EXPECT_EQ(static_cast<device::TVClientSock*>(h)->IsInput, c.isInput != 0);
    EXPECT_EQ(device::Close(h), 0);
  }
}

TEST(Connect, FailuresReturnNullWithTheirNumber) {
  platform::SetLastError(0);
  EXPECT_EQ(device::Connect(TestAddress(0, 72), 1, 0), nullptr);  // nothing listens
  EXPECT_EQ(LastError(), 1203u);
  EXPECT_EQ(device::Connect("no-such-host.invalid", 1, 0), nullptr);
  EXPECT_EQ(LastError(), 1203u);
  EXPECT_EQ(device::Connect(nullptr, 1, 0), nullptr);  // the empty text
  EXPECT_EQ(LastError(), 1203u);
}

TEST(Connect, UnreadableHostTextGives998) {
  VELMORA_SKIP_UNLESS_GUARDED_COPIES_SEE_FAULTS();
  // A page that cannot be read, and text that runs into it.
  velmora::testing::GuardPages pages;
  ASSERT_TRUE(pages.Valid());
  char* mem = pages.Usable();
  const std::size_t page = pages.PageSize();
  std::memset(mem + page - 5, 'a', 5);  // no NUL before the unreadable page

  EXPECT_EQ(device::Connect(mem + page - 5, 1, 0), nullptr);
  EXPECT_EQ(LastError(), 998u);
  EXPECT_EQ(device::Connect(mem + page, 1, 0), nullptr);
  EXPECT_EQ(LastError(), 998u);
  EXPECT_EQ(device::Connect(reinterpret_cast<const char*>(16), 1, 0), nullptr);
  EXPECT_EQ(LastError(), 998u);

  // Text that ends exactly at the page boundary is still read whole.
  const char* const nobody = TestAddress(0, 72);
  const std::size_t size = std::strlen(nobody) + 1;
  std::memcpy(mem + page - size, nobody, size);
  EXPECT_EQ(device::Connect(mem + page - size, 1, 0), nullptr);
  EXPECT_EQ(LastError(), 1203u);
}

TEST(Close, ValuesThatAreNotLiveHandlesGive20WithoutFault) {
  EXPECT_EQ(device::Close(nullptr), 20);
  EXPECT_EQ(device::Close(reinterpret_cast<NDX_HANDLE>(std::uintptr_t(1))), 20);
  EXPECT_EQ(device::Close(reinterpret_cast<NDX_HANDLE>(std::uintptr_t(0xDEADBEEF))), 20);
  // A forged block that holds both signature words is still not a handle.
  device::TVClientSock* forged =
      static_cast<device::TVClientSock*>(::operator new(sizeof(device::TVClientSock)));
  std::memset(static_cast<void*>(forged), 0, sizeof(device::TVClientSock));
  forged->Signature1 = device::Signature1Live;
  forged->Signature2 = device::Signature2Live;
  EXPECT_EQ(device::Close(forged), 20);
  EXPECT_EQ(device::Go(forged), 20);
  ::operator delete(forged);
}

TEST(Close, SecondCloseOfTheSameHandleGives20) {
  DeviceLink link(TestAddress(0, 73), false);
  ASSERT_NE(link.Handle, nullptr);
  EXPECT_EQ(device::Close(link.Handle), 0);
  EXPECT_EQ(device::Close(link.Handle), 20);
  EXPECT_EQ(device::SetFreq(link.Handle, 1), 20);
  EXPECT_TRUE(link.Peer.WaitClosedByOtherSide());
  link.Handle = nullptr;
}

TEST(Close, AfterTheDeviceDroppedItReturnsPromptly) {
  DeviceLink link(TestAddress(0, 74), true);
  ASSERT_NE(link.Handle, nullptr);
  auto* h = static_cast<device::TVClientSock*>(link.Handle);
  link.Peer.DropConnection();
  ASSERT_TRUE(Eventually([&] { return !h->Sock->Connected; }));
  // The handle stays valid; every operation reports the link.
  EXPECT_EQ(device::SetTimeout(link.Handle, 100), 2250);
  EXPECT_EQ(device::Go(link.Handle), 2250);
  EXPECT_EQ(device::SetMDIO1(link.Handle, 99, 1), 2250);  // link before argument
  EXPECT_EQ(device::SetPacketBits(link.Handle, 0), 2250);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(device::Close(link.Handle), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  link.Handle = nullptr;
}

TEST(LibraryMutex, SerialisesCallsAcrossHandles) {
  // While one call waits for a reply on handle A, a call on handle B from
  // another thread does not start until the first has returned.
  DeviceLink a(TestAddress(0, 75), true);
  DeviceLink b(TestAddress(0, 76), false);
  ASSERT_NE(a.Handle, nullptr);
  ASSERT_NE(b.Handle, nullptr);
  ASSERT_EQ(device::SetTimeout(a.Handle, 300), 0);

  using Clock = std::chrono::steady_clock;
  const Clock::time_point firstStarted = Clock::now();
  Clock::time_point secondReturned;
  std::thread waiter([&] {
    std::int32_t count = 16;
    char buffer[16];
    EXPECT_EQ(device::GetData(a.Handle, &count, buffer), 1460);  // the peer stays silent
  });
  ASSERT_FALSE(a.Peer.ReadChunk().empty());  // the request is out: the waiter holds the lock
  std::thread other([&] {
    EXPECT_EQ(device::SetFreq(b.Handle, 5), 0);
    secondReturned = Clock::now();
  });
  waiter.join();
  other.join();
  // The command could only run once the 300 ms reply wait had ended.
  EXPECT_GE(secondReturned - firstStarted, std::chrono::milliseconds(295));
}
