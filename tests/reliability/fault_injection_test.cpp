// Faults injected by the simulated device, grouped by fault. Each fault maps
// to one asserted result, and the next call either recovers or reports the
// dropped link; every call returns within the time the handle's time-out
// allows. Addresses 127.0.0.100 to 127.0.0.109 belong to this file.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "device/device_api.h"
#include "diff/diff_tags.h"
#include "sim/simulated_device.h"
#include "support/loopback_peer.h"
#include "support/test_address.h"

using velmora::testing::TestAddress;

using namespace velmora;
using velmora::sim::MakeChunk;
using velmora::sim::Reply;
using velmora::sim::SimulatedDevice;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int TimeoutMs = 300;
const std::uint16_t In0 = sim::InputPort(0);
const std::uint16_t Out0 = sim::OutputPort(0);

long long MsSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

std::string Pattern(std::size_t n, unsigned salt = 3) {
  std::string s(n, '\0');
  std::uint32_t x = salt;
  for (auto& c : s) {
    x = x * 1664525u + 1013904223u;
    c = char(x >> 24);
  }
  return s;
}

class Faults : public ::testing::Test {
 protected:
  void StartOn(int n) {
    Address = TestAddress(0, n);
    Device = std::make_unique<SimulatedDevice>(Address);
    ASSERT_TRUE(Device->Start());
    Input = device::Connect(Address.c_str(), 1, 0);
    Output = device::Connect(Address.c_str(), 0, 0);
    ASSERT_NE(Input, nullptr);
    ASSERT_NE(Output, nullptr);
    // The device has taken both connections before any fault is aimed at them.
    ASSERT_TRUE(Device->WaitForConnections(In0, 1, 2000));
    ASSERT_TRUE(Device->WaitForConnections(Out0, 1, 2000));
    ASSERT_EQ(device::SetTimeout(Input, TimeoutMs), 0);
    ASSERT_EQ(device::SetTimeout(Output, TimeoutMs), 0);
  }
  void TearDown() override {
    // Close always returns, whatever state the link is in.
    const Clock::time_point start = Clock::now();
    if (Input != nullptr) {
      EXPECT_EQ(device::Close(Input), 0);
    }
    if (Output != nullptr) {
      EXPECT_EQ(device::Close(Output), 0);
    }
    EXPECT_LT(MsSince(start), 2000);
  }
  // NDX_GetData with `capacity`, timing the call.
  std::int32_t Read(std::string* data = nullptr, std::int32_t capacity = 64) {
    std::vector<char> buffer(static_cast<std::size_t>(capacity));
    std::int32_t count = capacity;
    const Clock::time_point start = Clock::now();
    const std::int32_t r = device::GetData(Input, &count, buffer.data());
    LastMs = MsSince(start);
    LastCount = count;
    if (data != nullptr) data->assign(buffer.data(), std::size_t(count));
    return r;
  }
  std::string RData(const std::string& payload) { return MakeChunk("RDATA", {}, payload); }

  std::string Address;
  std::unique_ptr<SimulatedDevice> Device;
  NDX_HANDLE Input = nullptr;
  NDX_HANDLE Output = nullptr;
  long long LastMs = 0;
  std::int32_t LastCount = -1;
};

}  // namespace

TEST_F(Faults, DropBeforeTheReplyGives2250AfterOneTimeout) {
  StartOn(100);
  Device->FillStore(0, "stored");
  Device->DropAfterNextRequest(In0);
  EXPECT_EQ(Read(), 2250);
  EXPECT_EQ(LastCount, 0);
  EXPECT_LT(LastMs, TimeoutMs + 1000);
  EXPECT_EQ(Read(), 2250);  // down at the start: at once
  EXPECT_LT(LastMs, 100);
  EXPECT_EQ(device::Go(Input), 2250);
}

TEST_F(Faults, DropInTheMiddleOfAReplyGives2250) {
  StartOn(100);
  Device->FillStore(0, Pattern(1000));
  Device->DropAfterReplyBytes(In0, 20);  // inside the payload
  EXPECT_EQ(Read(nullptr, 1000), 2250);
  EXPECT_EQ(LastCount, 0);
}

TEST_F(Faults, DropRightAfterACompleteReplyStillDeliversIt) {
  StartOn(101);
  const std::string reply = RData("whole reply");
  Device->Script(In0, Reply{reply, 0, 0, 0, static_cast<long long>(reply.size())});
  std::string data;
  EXPECT_EQ(Read(&data), 0);
  EXPECT_EQ(data, "whole reply");
  EXPECT_EQ(Read(), 2250);
}

TEST_F(Faults, OneByteWritesWithPausesStillComplete) {
  StartOn(101);
  Device->FillStore(0, "trickled through");
  Device->SetShaping(In0, sim::Shaping{1, 3, 0});
  std::string data;
  EXPECT_EQ(Read(&data), 0);
  EXPECT_EQ(data, "trickled through");
}

TEST_F(Faults, StallShorterThanTheTimeoutSucceeds) {
  StartOn(102);
  Device->Script(In0, Reply{RData("late but in time"), 0, 0, TimeoutMs / 2, -1});
  std::string data;
  EXPECT_EQ(Read(&data), 0);
  EXPECT_EQ(data, "late but in time");
}

TEST_F(Faults, StallLongerThanTheTimeoutGives1460AndTheLateReplyAnswersTheNextCall) {
  StartOn(102);
  Device->Script(In0, Reply{RData("too late"), 0, 0, TimeoutMs * 2, -1});
  EXPECT_EQ(Read(), 1460);
  EXPECT_EQ(LastCount, 0);
  EXPECT_LT(LastMs, TimeoutMs + 300);
  // The link is fine; the late reply is already on its way and, being a
  // complete reply with the success tag, is what the next call receives.
  std::this_thread::sleep_for(std::chrono::milliseconds(TimeoutMs * 2));
  Device->Script(In0, Reply{RData("fresh"), 0, 0, 0, -1});
  std::string data;
  EXPECT_EQ(Read(&data), 0);
  EXPECT_EQ(data, "too late");
  EXPECT_EQ(Read(&data), 0);
  EXPECT_EQ(data, "fresh");
}

TEST_F(Faults, GarbageFrameGives30AndTheNextCallRecovers) {
  StartOn(103);
  // Complete frame, header length claiming more than the body holds.
  std::string garbage("\xC1\xDF\xEA\xA9\x0C\0\0\0\xFF\x00\x00\x00\x01\0\0\0\x00\x00\x00\x00", 20);
  Device->Script(In0, Reply{garbage, 0, 0, 0, -1});
  Device->Script(In0, Reply{RData("recovered"), 0, 0, 0, -1});
  EXPECT_EQ(Read(), 30);
  std::string data;
  EXPECT_EQ(Read(&data), 0);
  EXPECT_EQ(data, "recovered");
}

TEST_F(Faults, FrameClaimingFourGibibytesGives30AndWhatFollowsWithinItsLengthIsSkipped) {
  StartOn(103);
  const std::string huge("\xAC\xAB\xA7\x6A\xFF\xFF\xFF\xFF", 8);
  Device->Script(In0, Reply{huge + RData("behind it"), 0, 0, 0, -1});
  EXPECT_EQ(Read(), 30);
  EXPECT_EQ(Read(), 1460);  // the reply lies within the claimed length
  Device->DropNow(In0);
  EXPECT_EQ(Read(), 2250);
}

TEST_F(Faults, UnexpectedTagResynchronisesOnce) {
  StartOn(104);
  Device->FillStore(0, "after retry");
  // The scripted answer replaces the reply to the request; the "RETRY" that
  // follows gets the device's real answer to the outstanding request.
  Device->Script(In0, Reply{MakeChunk("WRESP"), 0, 0, 0, -1});
  std::string data;
  EXPECT_EQ(Read(&data), 0);
  EXPECT_EQ(data, "after retry");
  const std::vector<std::string> tags = Device->ReceivedTags(In0);
  ASSERT_EQ(tags.size(), 2u);
  EXPECT_EQ(tags[0], "RREQ?");
  EXPECT_EQ(tags[1], "RETRY");
}

TEST_F(Faults, TwoUnexpectedTagsGive13AndTheNextCallStartsClean) {
  StartOn(104);
  Device->FillStore(0, "clean");
  Device->Script(In0, Reply{MakeChunk("HELLO"), 0, 0, 0, -1});
  Device->Script(In0, Reply{MakeChunk("AGAIN"), 0, 0, 0, -1});
  EXPECT_EQ(Read(), 13);
  std::string data;
  EXPECT_EQ(Read(&data), 0);
  EXPECT_EQ(data, "clean");
}

TEST_F(Faults, UnsolicitedChunkIsTakenAsTheNextReply) {
  StartOn(105);
  ASSERT_TRUE(Device->SendNow(In0, RData("unasked")));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::string data;
  EXPECT_EQ(Read(&data), 0);
  EXPECT_EQ(data, "unasked");
  // The device's own answer to that request is now the leftover.
}

TEST_F(Faults, DeviceThatStopsReadingWhileTheHostWritesSixteenMebibytes) {
  StartOn(106);
  Device->SetReading(Out0, false);
  const std::string data = Pattern(16 << 20);
  std::int32_t count = std::int32_t(data.size());
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(device::PutData(Output, &count, data.data()), 1460);
  EXPECT_EQ(count, 0);
  EXPECT_LT(MsSince(start), TimeoutMs + 1000);
  // Close must not wait for the stuck send. TearDown times it.
}

TEST_F(Faults, SilentListenerGives1460AndCloseReturns) {
  StartOn(107);
  Device->SetSilent(In0, true);
  Device->SetSilent(Out0, true);
  EXPECT_EQ(Read(), 1460);
  std::int32_t count = 4;
  EXPECT_EQ(device::PutData(Output, &count, "abcd"), 1460);
  EXPECT_EQ(count, 0);
}

TEST(FaultsConnect, RefusedConnectionGives1203) {
  // Nothing listens on this address.
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(device::Connect(TestAddress(0, 108), 1, 0), nullptr);
  EXPECT_EQ(platform::GetLastError(), 1203u);
  EXPECT_LT(MsSince(start), 1000);
}

TEST(FaultsConnect, ListenerThatAcceptsAndNeverAnswers) {
  velmora::testing::LoopbackPeer peer(TestAddress(0, 109), 0xED10);
  peer.AcceptAsync();
  NDX_HANDLE h = device::Connect(TestAddress(0, 109), 1, 0);
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(peer.WaitAccepted());
  ASSERT_EQ(device::SetTimeout(h, 200), 0);
  std::int32_t t = 8, d = 8;
  char buf[8];
  EXPECT_EQ(device::GetAllPackets(h, &t, buf, &d, buf), 1460);
  EXPECT_EQ(t, 0);
  EXPECT_EQ(d, 0);
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(device::Close(h), 0);
  EXPECT_LT(MsSince(start), 1000);
}
