// Load and soak: 8 host threads on 4 handles call every operation at random
// against the simulated device while its connections are dropped, and
// reconnect when they find the link down. No deadlock, no crash, every result
// from the documented table, and every byte a call reports as received is
// what the device sent. Bounded by VELMORA_SOAK_SECONDS (default 15).
// Address 127.0.0.110 belongs to this file.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "device/device_api.h"
#include "sim/simulated_device.h"
#include "support/test_address.h"

using velmora::testing::TestAddress;

using namespace velmora;
using Clock = std::chrono::steady_clock;

namespace {

const char* const Address = TestAddress(0, 110);
constexpr int Handles = 4;
constexpr int Threads = 8;
constexpr std::uint32_t StoreWords = 1 << 20;  // 4 MiB of counters per refill

int SoakSeconds() {
  const char* s = std::getenv("VELMORA_SOAK_SECONDS");
  const int n = s != nullptr ? std::atoi(s) : 0;
  return n > 0 && n <= 600 ? n : 15;
}

// Slot k: handles 0 and 1 read channels 0 and 1 (prefilled with 32-bit
// counters); handles 2 and 3 write to channels 2 and 3.
struct Slot {
  std::mutex Reconnect;
  std::atomic<NDX_HANDLE> Handle{nullptr};
  bool Input = false;
  int Channel = 0;
};

class Soak {
 public:
  Soak() : Device(Address) {}

  bool Start() {
    if (!Device.Start()) return false;
    Device.SetRecording(false);
    for (int k = 0; k < Handles; ++k) {
      Slots[k].Input = k < 2;
      Slots[k].Channel = k;
      if (Slots[k].Input) Refill(k);
      Slots[k].Handle = Open(k);
      if (Slots[k].Handle == nullptr) return false;
    }
    return true;
  }

  void Run(int seconds) {
    const Clock::time_point end = Clock::now() + std::chrono::seconds(seconds);
    std::vector<std::thread> workers;
    for (int t = 0; t < Threads; ++t) {
      workers.emplace_back([this, t, end] { Work(t, end); });
    }
    std::thread chaos([this, end] {
      std::mt19937 random(99);
      while (Clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(150 + random() % 200));
        const int k = int(random() % Handles);
        Device.DropNow(Slots[k].Input ? sim::InputPort(k) : sim::OutputPort(k));
        ++Drops;
      }
    });
    for (auto& w : workers) w.join();
    chaos.join();
    for (auto& s : Slots) EXPECT_EQ(device::Close(s.Handle.load()), 0);
  }

  std::atomic<long> Calls{0};
  std::atomic<long> Drops{0};
  std::atomic<long> Reconnects{0};
  std::atomic<long> BytesChecked{0};

 private:
  NDX_HANDLE Open(int k) {
    NDX_HANDLE h = device::Connect(Address, Slots[k].Input ? 1 : 0, Slots[k].Channel);
    if (h != nullptr) device::SetTimeout(h, 1000);
    return h;
  }

  void Refill(int channel) {
    std::lock_guard<std::mutex> lock(StoreMutex);
    if (Device.StoredBytes(channel) > StoreWords) return;
    std::string bytes(std::size_t(StoreWords) * 4, '\0');
    for (std::uint32_t i = 0; i < StoreWords; ++i) {
      const std::uint32_t v = NextWord[channel]++;
      std::memcpy(&bytes[std::size_t(i) * 4], &v, 4);
    }
    Device.FillStore(channel, std::move(bytes));
  }

  void Reopen(int k, NDX_HANDLE seen) {
    std::lock_guard<std::mutex> lock(Slots[k].Reconnect);
    if (Slots[k].Handle.load() != seen) return;  // another thread already did
    // Another thread may still be using `seen`: it gets 20 or a clean result.
    EXPECT_EQ(device::Close(seen), 0);
    NDX_HANDLE fresh = nullptr;
    for (int attempt = 0; attempt < 50 && fresh == nullptr; ++attempt) {
      fresh = Open(k);
      if (fresh == nullptr) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_NE(fresh, nullptr);
    Slots[k].Handle = fresh;
    ++Reconnects;
  }

  // The payload of a data read is a run of consecutive 32-bit counters.
  void CheckCounters(const char* data, std::int32_t count) {
    ASSERT_EQ(count % 4, 0);
    for (std::int32_t i = 4; i < count; i += 4) {
      std::uint32_t a, b;
      std::memcpy(&a, data + i - 4, 4);
      std::memcpy(&b, data + i, 4);
      ASSERT_EQ(b, a + 1) << "at byte " << i;
    }
    BytesChecked += count;
  }

  // Acquired packets are consecutive 16-bit samples (the packet bits never change here).
  void CheckSamples(const char* data, std::int32_t count) {
    for (std::int32_t i = 2; i + 1 < count; i += 2) {
      std::uint16_t a, b;
      std::memcpy(&a, data + i - 2, 2);
      std::memcpy(&b, data + i, 2);
      ASSERT_EQ(std::uint16_t(a + 1), b) << "at byte " << i;
    }
    BytesChecked += count;
  }

  void Work(int t, Clock::time_point end) {
    std::mt19937 random(1000 + t);
    const std::set<std::int32_t> commandResults{0, 20, 2250};
    const std::set<std::int32_t> replyResults{0, 20, 58, 1460, 2250};
    std::vector<char> buffer(65536);
    char time[8];
    while (Clock::now() < end) {
      const int k = int(random() % Handles);
      NDX_HANDLE h = Slots[k].Handle.load();
      std::int32_t r;
      bool reply = false;
      switch (random() % (Slots[k].Input ? 12 : 9)) {
        case 0: r = device::SetFreq(h, 20000 + int(random() % 100000)); break;
        case 1: r = device::SetPacketBits(h, 16); break;
        case 2: r = device::SetBlockSize(h, 256); break;
        case 3: r = device::SetMDIO1(h, random() % 32, int(random() % 2)); break;
        case 4: r = device::SetAZero(h, int(random() % 2)); break;
        case 5: r = device::Go(h); break;
        case 6: r = device::SetTimeout(h, 1000); break;
        case 7: r = random() % 8 == 0 ? device::Clear(h) : device::GoClear(h); break;
        case 8:
          if (Slots[k].Input) {
            std::int32_t count = 4 * std::int32_t(1 + random() % 4096);
            r = device::GetData(h, &count, buffer.data());
            reply = true;
            if (r == 0) CheckCounters(buffer.data(), count);
            Refill(k);
          } else {
            std::int32_t count = std::int32_t(1 + random() % 65536);
            r = device::PutData(h, &count, buffer.data());
            reply = true;
            if (r == 0) {
              EXPECT_GE(count, 0);
            }
          }
          break;
        default: {
          std::int32_t timeCount = 8, count = std::int32_t(buffer.size());
          r = random() % 2 ? device::GetAllPackets(h, &timeCount, time, &count, buffer.data())
                           : device::GetLatestPacketAndDiscard(h, &timeCount, time, &count,
                                                               buffer.data());
          reply = true;
          if (r == 0) CheckSamples(buffer.data(), count);
          break;
        }
      }
      ++Calls;
      if (reply) {
        EXPECT_TRUE(replyResults.count(r)) << "result " << r;
      } else {
        EXPECT_TRUE(commandResults.count(r)) << "result " << r;
      }
      if (r == 2250) Reopen(k, h);
      if (::testing::Test::HasFatalFailure()) return;
    }
  }

  sim::SimulatedDevice Device;
  Slot Slots[Handles];
  std::mutex StoreMutex;
  std::uint32_t NextWord[Handles] = {};
};

}  // namespace

TEST(Soak, EightThreadsOnFourHandlesWithDropsAndReconnects) {
  Soak soak;
  ASSERT_TRUE(soak.Start());
  const int seconds = SoakSeconds();
  soak.Run(seconds);
  std::printf("soak: %d threads x %d s, %ld calls, %ld drops, %ld reconnects, %ld bytes checked\n",
              Threads, seconds, soak.Calls.load(), soak.Drops.load(), soak.Reconnects.load(),
              soak.BytesChecked.load());
  EXPECT_GT(soak.Calls.load(), 100);
  EXPECT_GT(soak.BytesChecked.load(), 0);
}
