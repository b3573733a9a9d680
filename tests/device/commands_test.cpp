// Configuration and control commands: exact request bytes on the wire,
// argument rules, order. Addresses 127.0.0.77 to 127.0.0.79 belong here.
#include <gtest/gtest.h>

#include "device/device_handle.h"
#include "support/device_link.h"
#include "support/test_address.h"

using velmora::testing::TestAddress;

using namespace velmora;
using velmora::testing::Chunk;
using velmora::testing::DeviceLink;

namespace {

std::string Int(std::int32_t v) { return diff::IntToBytes(v); }
std::string Byte(int b) { return std::string(1, char(b)); }

class Commands : public ::testing::Test {
 protected:
  Commands() : Link(TestAddress(0, 77), false) {}
  // The next chunk the device receives.
  std::string Next() { return Link.Peer.ReadChunk(); }
  // Proves that nothing was queued by a rejected call: the marker comes next.
  void ExpectNothingQueuedBeforeMarker() {
    ASSERT_EQ(device::Clear(Link.Handle), 0);
    EXPECT_EQ(Next(), Chunk("CLEAR"));
  }
  DeviceLink Link;
};

}  // namespace

TEST_F(Commands, SetFreqSendsTheWorkedExampleBytes) {
  ASSERT_EQ(device::SetFreq(Link.Handle, 1000), 0);
  EXPECT_EQ(Next(), std::string("\xC1\xDF\xEA\xA9\x16\0\0\0\x12\0\0\0\x01\0\0\0\x02\0\0\0Hz"
                                "\x04\0\0\0\xE8\x03\0\0",
                                30));
}

TEST_F(Commands, SetFreqClampsInsteadOfRejecting) {
  EXPECT_EQ(device::SetFreq(Link.Handle, -5), 0);
  EXPECT_EQ(device::SetFreq(Link.Handle, 50000000), 0);
  EXPECT_EQ(device::SetFreq(Link.Handle, 40000000), 0);
  EXPECT_EQ(Next(), Chunk("WFREQ", {{"Hz", Int(0)}}));
  EXPECT_EQ(Next(), Chunk("WFREQ", {{"Hz", Int(40000000)}}));
  EXPECT_EQ(Next(), Chunk("WFREQ", {{"Hz", Int(40000000)}}));
}

TEST_F(Commands, PositiveSettingsRejectZeroAndNegativeAndSendNothing) {
  EXPECT_EQ(device::SetPacketBits(Link.Handle, 0), 24);
  EXPECT_EQ(device::SetBlockSize(Link.Handle, -1), 24);
  EXPECT_EQ(device::SetTimeout(Link.Handle, 0), 24);
  EXPECT_EQ(device::SetTimeout(Link.Handle, -1), 24);
  ExpectNothingQueuedBeforeMarker();
  EXPECT_EQ(device::SetPacketBits(Link.Handle, 1), 0);
  EXPECT_EQ(Next(), Chunk("WBITS", {{"Bits", std::string("\x01\0\0\0", 4)}}));
  EXPECT_EQ(device::SetBlockSize(Link.Handle, 4096), 0);
  EXPECT_EQ(Next(), Chunk("WBKSZ", {{"Bytes", Int(4096)}}));
  EXPECT_EQ(device::SetTimeout(Link.Handle, 1), 0);
  EXPECT_EQ(static_cast<device::TVClientSock*>(Link.Handle)->TimeoutMs, 1);
}

TEST_F(Commands, DigitalLinesUseTheLineByteAsHeaderName) {
  EXPECT_EQ(device::SetMDIO1(Link.Handle, 31, 1), 0);
  EXPECT_EQ(Next(), Chunk("WDIO1", {{Byte(0x1F), Byte(1)}}));
  EXPECT_EQ(device::SetMDIO1(Link.Handle, 32, 1), 1413);
  EXPECT_EQ(device::SetMDIO1(Link.Handle, std::uint32_t(-1), 1), 1413);
  ExpectNothingQueuedBeforeMarker();
  // SetAZero is line 0; any nonzero `on` is 0x01.
  EXPECT_EQ(device::SetAZero(Link.Handle, 2), 0);
  EXPECT_EQ(device::SetMDIO1(Link.Handle, 0, 1), 0);
  const std::string azero = Next();
  EXPECT_EQ(azero, Chunk("WDIO1", {{Byte(0), Byte(1)}}));
  EXPECT_EQ(Next(), azero);
  EXPECT_EQ(device::SetAZero(Link.Handle, 0), 0);
  EXPECT_EQ(Next(), Chunk("WDIO1", {{Byte(0), Byte(0)}}));
}

TEST_F(Commands, ControlRequestsAreTagOnlyAndLeaveInCallOrder) {
  EXPECT_EQ(device::Go(Link.Handle), 0);
  EXPECT_EQ(device::GoClear(Link.Handle), 0);
  EXPECT_EQ(device::Clear(Link.Handle), 0);
  EXPECT_EQ(device::SetFreq(Link.Handle, 7), 0);
  const std::string go = Next();
  EXPECT_EQ(go.size(), 8u);
  EXPECT_EQ(go, Chunk("GOGO."));
  EXPECT_EQ(Next(), Chunk("GOCLR"));
  EXPECT_EQ(Next(), Chunk("CLEAR"));
  EXPECT_EQ(Next(), Chunk("WFREQ", {{"Hz", Int(7)}}));
}

TEST_F(Commands, CommandsWorkOnInputHandlesToo) {
  DeviceLink input(TestAddress(0, 78), true);
  ASSERT_NE(input.Handle, nullptr);
  EXPECT_EQ(device::SetBlockSize(input.Handle, 8), 0);
  EXPECT_EQ(input.Peer.ReadChunk(), Chunk("WBKSZ", {{"Bytes", Int(8)}}));
}

TEST(CommandChecks, InvalidHandleComesBeforeEverything) {
  EXPECT_EQ(device::SetMDIO1(nullptr, 99, 1), 20);
  EXPECT_EQ(device::SetPacketBits(nullptr, 0), 20);
  EXPECT_EQ(device::SetTimeout(nullptr, 0), 20);
  EXPECT_EQ(device::Go(nullptr), 20);
}

// A command reports success once queued; closing right after must not lose
// it. A burst larger than one send gives the writer real work to finish.
TEST_F(Commands, CommandsQueuedJustBeforeCloseStillReachTheDevice) {
  constexpr int Count = 2000;
  for (int i = 1; i <= Count; ++i) ASSERT_EQ(device::SetFreq(Link.Handle, i), 0);
  ASSERT_EQ(device::Go(Link.Handle), 0);
  ASSERT_EQ(device::Close(Link.Handle), 0);
  Link.Handle = nullptr;
  for (int i = 1; i <= Count; ++i) {
    ASSERT_EQ(Next(), Chunk("WFREQ", {{"Hz", Int(i)}})) << "command " << i;
  }
  EXPECT_EQ(Next(), Chunk("GOGO."));
}
