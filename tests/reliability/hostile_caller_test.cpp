// Hostile input from the caller: values that are not handles, null and bad
// pointers, huge and negative counts. None of it may fault.
// Addresses 127.0.0.93 and 127.0.0.94 belong to this file.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "device/device_handle.h"
#include "support/device_link.h"
#include "support/guard_pages.h"
#include "support/test_address.h"

using velmora::testing::TestAddress;

using namespace velmora;
using velmora::testing::DeviceLink;

namespace {

// Every operation that takes a handle, called with `h` and harmless arguments.
std::vector<std::int32_t> CallEverything(NDX_HANDLE h) {
  std::int32_t a = 4, b = 4;
  char buf[4];
  return {device::SetFreq(h, 1),
          device::SetBlockSize(h, 1),
          device::Go(h),
          device::SetTimeout(h, 1),
          device::GetData(h, &a, buf),
          device::PutData(h, &a, buf),
          device::GoClear(h),
          device::Clear(h),
          device::SetMDIO1(h, 1, 1),
          device::SetAZero(h, 1),
          device::SetPacketBits(h, 1),
          device::GetAllPackets(h, &a, buf, &b, buf),
          device::GetLatestPacketAndDiscard(h, &a, buf, &b, buf),
          device::Close(h)};
}

void ExpectAllBadUnit(NDX_HANDLE h) {
  for (std::int32_t r : CallEverything(h)) EXPECT_EQ(r, 20) << h;
}

}  // namespace

TEST(HostileHandles, RandomValuesSmallIntegersAndUnmappedAddressesGive20) {
  std::mt19937_64 random(12345);
  for (int i = 0; i < 200; ++i) {
    ExpectAllBadUnit(reinterpret_cast<NDX_HANDLE>(std::uintptr_t(random())));
  }
  for (std::uintptr_t v : {std::uintptr_t(1), std::uintptr_t(4), std::uintptr_t(0xFFFF),
                           std::uintptr_t(-1), std::uintptr_t(-8)}) {
    ExpectAllBadUnit(reinterpret_cast<NDX_HANDLE>(v));
  }
  velmora::testing::GuardPages pages;
  ASSERT_TRUE(pages.Valid());
  ExpectAllBadUnit(pages.NoAccess());
}

TEST(HostileHandles, CallerMemoryHoldingTheSignatureWordsIsNotAHandle) {
  // Every alignment of the two words, anywhere in a block of the host's memory.
  std::vector<std::uint32_t> block(256, 0);
  for (std::size_t i = 0; i + 1 < block.size(); i += 2) {
    block[i] = device::Signature1Live;
    block[i + 1] = device::Signature2Live;
  }
  for (std::size_t offset = 0; offset < 64; ++offset) {
    ExpectAllBadUnit(reinterpret_cast<char*>(block.data()) + offset);
  }
}

TEST(HostileHandles, FreedHandleGives20) {
  NDX_HANDLE stale;
  {
    DeviceLink link(TestAddress(0, 93), true);
    ASSERT_NE(link.Handle, nullptr);
    stale = link.Handle;
  }
  // New handles opened after the close never take over the stale value.
  std::vector<std::unique_ptr<DeviceLink>> fresh;
  for (int i = 0; i < 8; ++i) {
    fresh.push_back(std::make_unique<DeviceLink>(TestAddress(0, 93), true, 2 + i));
    ASSERT_NE(fresh.back()->Handle, nullptr);
    EXPECT_NE(fresh.back()->Handle, stale);
  }
  ExpectAllBadUnit(stale);
}

TEST(HostileHandles, CloseFromAnotherThreadWhileInUseGives20OrACleanResult) {
  for (int round = 0; round < 5; ++round) {
    DeviceLink link(TestAddress(0, 93), true, 1);
    ASSERT_NE(link.Handle, nullptr);
    ASSERT_EQ(device::SetTimeout(link.Handle, 50), 0);
    NDX_HANDLE h = link.Handle;
    std::thread user([h] {
      for (int i = 0; i < 20; ++i) {
        std::int32_t count = 8;
        char buf[8];
        const std::int32_t r = device::GetData(h, &count, buf);
        EXPECT_TRUE(r == 1460 || r == 20) << r;
        const std::int32_t c = device::Go(h);
        EXPECT_TRUE(c == 0 || c == 20) << c;
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20 * round));
    EXPECT_EQ(device::Close(h), 0);
    link.Handle = nullptr;
    user.join();
  }
}

TEST(HostileCounts, HugeCountsBehindSmallBuffersAreRefusedWithoutReservingMemory) {
  VELMORA_SKIP_UNLESS_GUARDED_COPIES_SEE_FAULTS();
  DeviceLink link(TestAddress(0, 94), false);
  ASSERT_NE(link.Handle, nullptr);
  velmora::testing::GuardPages pages;
  ASSERT_TRUE(pages.Valid());
  char* mem = pages.Usable();
  const std::int32_t page = std::int32_t(pages.PageSize());
  std::int32_t count = INT_MAX;
  EXPECT_EQ(device::PutData(link.Handle, &count, mem), 998);
  EXPECT_EQ(count, 0);
  count = page + 1;  // one byte too many
  EXPECT_EQ(device::PutData(link.Handle, &count, mem), 998);
  for (std::int32_t bad : {0, -1, INT_MIN}) {
    count = bad;
    char buf[4];
    EXPECT_EQ(device::PutData(link.Handle, &count, buf), 24);
    EXPECT_EQ(count, 0);
  }
  // Nothing reached the device.
  ASSERT_EQ(device::Go(link.Handle), 0);
  EXPECT_EQ(velmora::testing::Tag(link.Peer.ReadChunk()), "GOGO.");
}

TEST(HostileCounts, NegativeCountsOnReadsGive24) {
  DeviceLink link(TestAddress(0, 94), true);
  ASSERT_NE(link.Handle, nullptr);
  char buf[4];
  for (std::int32_t bad : {0, -1, INT_MIN}) {
    std::int32_t count = bad, other = 4;
    EXPECT_EQ(device::GetData(link.Handle, &count, buf), 24);
    EXPECT_EQ(count, 0);
    count = bad;
    EXPECT_EQ(device::GetAllPackets(link.Handle, &other, buf, &count, buf), 24);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(other, 0);
  }
}

// A destination that cannot take every byte a success would write fails the
// call with 998 before any of it is written. The device answers ahead of each
// call, so the reply is there when the call looks. Address 127.0.22.10.
class UnwritableDestinations : public ::testing::Test {
 protected:
  UnwritableDestinations() : Link(TestAddress(22, 10), true) {}
  void SetUp() override {
    VELMORA_SKIP_UNLESS_GUARDED_COPIES_SEE_FAULTS();
    ASSERT_NE(Link.Handle, nullptr);
    ASSERT_TRUE(Pages.Valid());
    std::memset(Pages.Usable(), 0x5A, Pages.PageSize());
  }
  // An "RDATA" reply with `payloadBytes` bytes and an 8-byte "Time", sent ahead.
  void ReplyAhead(std::size_t payloadBytes) {
    ASSERT_TRUE(Link.Peer.Write(velmora::testing::Chunk("RDATA", {{"Time", "TTTTTTTT"}},
                                                        std::string(payloadBytes, 'd'))));
  }
  bool UsableUntouched() const {
    for (std::size_t i = 0; i < Pages.PageSize(); ++i) {
      if (Pages.Usable()[i] != 0x5A) return false;
    }
    return true;
  }

  DeviceLink Link;
  velmora::testing::GuardPages Pages;
};

TEST_F(UnwritableDestinations, DataBufferMappedOnlyInPartGives998AndKeepsItsMappedBytes) {
  ReplyAhead(8192);
  char* buffer = Pages.NoAccess() - 100;  // 100 mapped bytes, then none
  std::int32_t count = 8192;
  EXPECT_EQ(device::GetData(Link.Handle, &count, buffer), 998);
  EXPECT_EQ(count, 0);
  EXPECT_TRUE(UsableUntouched());
  // The same buffer takes a reply that fits in its mapped part.
  ReplyAhead(100);
  count = 8192;
  EXPECT_EQ(device::GetData(Link.Handle, &count, buffer), 0);
  EXPECT_EQ(count, 100);
}

TEST_F(UnwritableDestinations, ReadOnlyTimeBufferGives998WithNeitherBufferWritten) {
  ReplyAhead(64);
  std::int32_t timeCount = 8, dataCount = 64;
  EXPECT_EQ(device::GetAllPackets(Link.Handle, &timeCount, Pages.ReadOnly(), &dataCount,
                                  Pages.Usable()),
            998);
  EXPECT_EQ(timeCount, 0);
  EXPECT_EQ(dataCount, 0);
  EXPECT_TRUE(UsableUntouched());
}

TEST_F(UnwritableDestinations, ReadOnlyCountCellsGive998WithNoBufferWritten) {
  const std::int32_t capacity = 64;
  Pages.FillReadOnly(&capacity, sizeof capacity);
  auto* readOnlyCount = reinterpret_cast<std::int32_t*>(Pages.ReadOnly());

  ReplyAhead(64);
  EXPECT_EQ(device::GetData(Link.Handle, readOnlyCount, Pages.Usable()), 998);
  EXPECT_TRUE(UsableUntouched());

  ReplyAhead(64);
  std::int32_t timeCount = 8;
  char time[8] = {};
  EXPECT_EQ(device::GetLatestPacketAndDiscard(Link.Handle, &timeCount, time, readOnlyCount,
                                              Pages.Usable()),
            998);
  EXPECT_EQ(timeCount, 0);
  EXPECT_EQ(std::string(time, 8), std::string(8, '\0'));
  EXPECT_TRUE(UsableUntouched());
  EXPECT_EQ(*readOnlyCount, capacity);
}

TEST_F(UnwritableDestinations, TimeBufferRunningIntoUnmappedMemoryGives998ForLatestPacket) {
  ReplyAhead(64);
  std::int32_t timeCount = 8, dataCount = 64;
  EXPECT_EQ(device::GetLatestPacketAndDiscard(Link.Handle, &timeCount, Pages.NoAccess() - 4,
                                              &dataCount, Pages.Usable()),
            998);
  EXPECT_EQ(timeCount, 0);
  EXPECT_EQ(dataCount, 0);
  EXPECT_TRUE(UsableUntouched());
}
