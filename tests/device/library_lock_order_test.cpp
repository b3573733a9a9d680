// Calls wait for LibraryMutex in the order they asked for it: one thread
// polling a silent device cannot keep a thread polling a healthy device
// waiting for more than the one call ahead of it. Addresses 127.0.12.10 and
// 127.0.12.11.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "support/device_link.h"
#include "support/test_address.h"

using velmora::testing::TestAddress;

using namespace velmora;
using velmora::testing::Chunk;
using velmora::testing::DeviceLink;

TEST(LibraryMutex, AHealthyDeviceWaitsAtMostOneTimeOutOfASilentOne) {
  constexpr std::int32_t SilentTimeoutMs = 400;
  constexpr int SilentCalls = 6;
  // Room for the healthy call's own round trip and for a slow machine
  // (sanitizers); an unfair lock makes it wait two time-outs or more.
  constexpr long MarginMs = 250;

  DeviceLink silent(TestAddress(12, 10), true);
  DeviceLink healthy(TestAddress(12, 11), true);
  ASSERT_TRUE(silent.Accepted);
  ASSERT_TRUE(healthy.Accepted);
  ASSERT_EQ(device::SetTimeout(silent.Handle, SilentTimeoutMs), 0);

  std::atomic<bool> done{false};
  std::atomic<bool> healthyDone{false};
  std::thread device([&] {
    while (!healthyDone) {
      if (healthy.Peer.ReadChunk(100).empty()) continue;
      healthy.Peer.Write(Chunk("RDATA", {}, "fine"));
    }
  });
  std::thread poller([&] {
    for (int i = 0; i < SilentCalls; ++i) {
      std::int32_t count = 8;
      char buffer[8];
      EXPECT_EQ(device::GetData(silent.Handle, &count, buffer), NDX_ERROR_TIMEOUT);
    }
    done = true;
  });

  long slowestMs = 0;
  int calls = 0;
  while (!done) {
    std::int32_t count = 8;
    char buffer[8];
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(device::GetData(healthy.Handle, &count, buffer), 0);
    const long ms = long(std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start).count());
    slowestMs = std::max(slowestMs, ms);
    ++calls;
  }
  healthyDone = true;
  poller.join();
  device.join();
  EXPECT_LE(slowestMs, SilentTimeoutMs + MarginMs) << "after " << calls << " calls";
  // Each silent call lets at least one healthy call through.
  EXPECT_GE(calls, SilentCalls - 1);
}
