// The simulated device, driven through a bare client socket.
//
// ctest runs every test in its own process, two at a time, so each test binds
// its own loopback address: 127.0.0.40 to 127.0.0.59 belong to these tests,
// one per test.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "diff/diff_chunk.h"
#include "support/raw_client.h"
#include "sim/simulated_device.h"
#include "support/test_address.h"

using namespace velmora::sim;
namespace wire = velmora::wire;
using velmora::diff::BytesToInt;
using velmora::diff::IntToBytes;
using velmora::diff::TDIFFChunk;
using Clock = std::chrono::steady_clock;

namespace {

// Sanitizers and emulated targets (32-bit Windows code runs as Wine under
// qemu) slow the byte-heavy paths several times over; upper time bounds and
// reply waits stretch with them, lower bounds (pauses) do not.
#if defined(VELMORA_UNDER_SANITIZER) || defined(VELMORA_UNDER_EMULATION)
constexpr int Slow = 8;
#else
constexpr int Slow = 1;
#endif
constexpr int ReplyMs = 5000 * Slow;

long long MsSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

std::string Pattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = char((i * 131 + (i >> 12)) & 0xFF);
  return s;
}

class Sim : public ::testing::Test {
 protected:
  void StartOn(int n) {
    Address = velmora::testing::TestAddress(0, n);
    Device = std::make_unique<SimulatedDevice>(Address);
    ASSERT_TRUE(Device->Start());
  }
  void Open(RawClient& client, std::uint16_t port, bool autoRead = true) {
    const std::size_t before = Device->Connections(port);
    ASSERT_TRUE(client.Connect(Address, port, autoRead));
    ASSERT_TRUE(Device->WaitForConnections(port, before + 1, ReplyMs));
  }
  // Sends a command and waits until the device has acted on it.
  void Tell(RawClient& client, std::uint16_t port, const std::string& command) {
    const std::size_t before = Device->ReceivedCount(port);
    ASSERT_TRUE(client.Send(command));
    ASSERT_TRUE(Device->WaitForReceived(port, before + 1, ReplyMs));
  }
  // Sends a request and parses the one reply it gets.
  // A missing reply fails the test and gives an empty chunk (tag of NULs).
  std::unique_ptr<TDIFFChunk> Ask(RawClient& client, const std::string& request) {
    EXPECT_TRUE(client.Send(request));
    const std::optional<std::string> reply = client.ReadChunk(ReplyMs);
    if (!reply) {
      ADD_FAILURE() << "no reply to " << ChunkTag(request);
      return TDIFFChunk::Make();
    }
    return TDIFFChunk::MakeFromString(*reply);
  }
  static void ExpectNoWork(const std::unique_ptr<TDIFFChunk>& reply, std::int32_t status) {
    EXPECT_EQ(reply->Tag, "NOWRK");
    EXPECT_EQ(BytesToInt(reply->GetHeaderValue("Status")), status);
  }
  static std::string Read(std::int32_t len) { return MakeChunk("RREQ?", {{"Len", IntToBytes(len)}}); }

  std::string Address;
  std::unique_ptr<SimulatedDevice> Device;
};

TEST_F(Sim, ListensOnEveryPortAndStopClosesEverything) {
  StartOn(40);
  RawClient clients[PortCount];
  for (int i = 0; i < PortCount; ++i) Open(clients[i], std::uint16_t(FirstPort + i));
  for (int i = 0; i < PortCount; ++i) EXPECT_EQ(Device->LiveConnections(std::uint16_t(FirstPort + i)), 1u);

  const auto t = Clock::now();
  Device->Stop();
  EXPECT_LT(MsSince(t), 1000 * Slow);
  for (auto& c : clients) EXPECT_TRUE(c.WaitForClose(ReplyMs));
  RawClient refused;
  EXPECT_FALSE(refused.Connect(Address, OutputPort(0)));

  // A restarted device accepts again and still knows what it was told.
  ASSERT_TRUE(Device->Start());
  RawClient again;
  Open(again, OutputPort(0));
  EXPECT_EQ(Device->Connections(OutputPort(0)), 2u);
}

TEST_F(Sim, CommandsSetTheChannelAndAreNeverAnswered) {
  StartOn(41);
  RawClient out, in;
  Open(out, OutputPort(3));
  Open(in, InputPort(3));
  const std::string sent[] = {
      MakeChunk("WFREQ", {{"Hz", IntToBytes(5000)}}),
      MakeChunk("WBITS", {{"Bits", IntToBytes(12)}}),
      MakeChunk("WDIO1", {{std::string(1, '\0'), "\x01"}}),
      MakeChunk("WDIO1", {{"\x1F", "\x01"}}),
      MakeChunk("HELLO"),  // unknown: ignored
      MakeChunk("GOGO."),
  };
  for (const auto& s : sent) Tell(out, OutputPort(3), s);
  // The input port of the same channel shares its settings.
  Tell(in, InputPort(3), MakeChunk("WBKSZ", {{"Bytes", IntToBytes(100)}}));
  Tell(in, InputPort(3), MakeChunk("WDIO1", {{std::string(1, '\0'), std::string(1, '\0')}}));

  const auto got = Device->Received(OutputPort(3));
  ASSERT_EQ(got.size(), 6u);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(got[i], sent[i]) << i;
  EXPECT_EQ(Device->ReceivedTags(InputPort(3)), (std::vector<std::string>{"WBKSZ", "WDIO1"}));

  const ChannelConfig k = Device->Config(3);
  EXPECT_EQ(k.FrequencyHz, 5000);
  EXPECT_EQ(k.PacketBits, 12);
  EXPECT_EQ(k.BlockBytes, 100);
  EXPECT_EQ(k.Lines, 0x80000000u);
  EXPECT_EQ(Device->Config(4).FrequencyHz, DefaultFrequencyHz);
  EXPECT_EQ(Device->State(3), AcquisitionState::Running);

  Tell(in, InputPort(3), MakeChunk("CLEAR"));
  EXPECT_EQ(Device->State(3), AcquisitionState::Idle);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(out.Buffered(), 0u);
  EXPECT_EQ(in.Buffered(), 0u);
  EXPECT_EQ(Device->BytesReceived(InputPort(3)), Device->Received(InputPort(3))[0].size() +
                                                     Device->Received(InputPort(3))[1].size() +
                                                     Device->Received(InputPort(3))[2].size());
}

TEST_F(Sim, DataStoreIsOneFifoPerChannelSharedByBothPorts) {
  StartOn(42);
  RawClient out, in, other;
  Open(out, OutputPort(2));
  Open(in, InputPort(2));
  Open(other, InputPort(5));

  auto r = Ask(out, MakeChunk("WDATA", {}, "hello"));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->Tag, "WRESP");
  EXPECT_EQ(BytesToInt(r->GetHeaderValue("Bytes")), 5);
  r = Ask(out, MakeChunk("WDATA", {}, " world"));
  EXPECT_EQ(BytesToInt(r->GetHeaderValue("Bytes")), 6);

  r = Ask(in, Read(3));
  EXPECT_EQ(r->Tag, "RDATA");
  EXPECT_EQ(r->Payload, "hel");
  r = Ask(in, Read(100));
  EXPECT_EQ(r->Payload, "lo world");
  ExpectNoWork(Ask(in, Read(10)), wire::status::StoreEmpty);
  ExpectNoWork(Ask(other, Read(10)), wire::status::StoreEmpty);

  // A read without a usable length is an error of the request.
  EXPECT_EQ(Ask(in, MakeChunk("RREQ?"))->Tag, "IOERR");
  EXPECT_EQ(Ask(in, Read(0))->Tag, "IOERR");

  // Writes beyond the capacity are cut, and the device says how much it took.
  EXPECT_EQ(Device->FillStore(2, std::string(StoreCapacityBytes - 4, 'x')), StoreCapacityBytes - 4);
  r = Ask(out, MakeChunk("WDATA", {}, "0123456789"));
  EXPECT_EQ(BytesToInt(r->GetHeaderValue("Bytes")), 4);
  r = Ask(out, MakeChunk("WDATA", {}, "more"));
  EXPECT_EQ(r->Tag, "WRESP");
  EXPECT_EQ(BytesToInt(r->GetHeaderValue("Bytes")), 0);
  EXPECT_EQ(Device->StoredBytes(2), StoreCapacityBytes);
  EXPECT_EQ(Device->StoredBytes(5), 0u);
}

TEST_F(Sim, SixteenMiBGoesThroughTheStoreExactlyAndQuickly) {
  StartOn(43);
  Device->SetRecording(false);
  RawClient out, in;
  Open(out, OutputPort(0));
  Open(in, InputPort(0));
  const std::size_t size = 16u << 20;
  const std::string data = Pattern(size);
  const std::string request = MakeChunk("WDATA", {}, data);

  const auto t = Clock::now();
  auto r = Ask(out, request);
  ASSERT_TRUE(r);
  EXPECT_EQ(BytesToInt(r->GetHeaderValue("Bytes")), std::int32_t(size));
  r = Ask(in, Read(std::int32_t(size)));
  ASSERT_TRUE(r);
  const long long ms = MsSince(t);
  ASSERT_EQ(r->Payload.size(), size);
  EXPECT_TRUE(r->Payload == data);
  EXPECT_LT(ms, 3000 * Slow);
  std::printf("16 MiB write and read back through the device: %lld ms\n", ms);

  // Recording off keeps counting but not copying.
  EXPECT_EQ(Device->ReceivedCount(OutputPort(0)), 1u);
  EXPECT_TRUE(Device->Received(OutputPort(0)).empty());
  EXPECT_EQ(Device->BytesReceived(OutputPort(0)), request.size());
}

TEST_F(Sim, PacketsFollowTheClockAndTheSettings) {
  StartOn(44);
  Device->SetManualClock(true);
  RawClient in;
  Open(in, InputPort(1));
  ExpectNoWork(Ask(in, MakeChunk("RREQA")), wire::status::NotStarted);
  Tell(in, InputPort(1), MakeChunk("WFREQ", {{"Hz", IntToBytes(1000)}}));
  Tell(in, InputPort(1), MakeChunk("WBITS", {{"Bits", IntToBytes(16)}}));
  Tell(in, InputPort(1), MakeChunk("WBKSZ", {{"Bytes", IntToBytes(8)}}));
  Tell(in, InputPort(1), MakeChunk("GOGO."));
  ExpectNoWork(Ask(in, MakeChunk("RREQA")), wire::status::NothingNew);

  // 10 ms at 1 kHz: 10 samples of 2 bytes, two whole packets of 8 bytes.
  Device->AdvanceClock(10000);
  auto r = Ask(in, MakeChunk("RREQA"));
  ASSERT_EQ(r->Tag, "RDATA");
  EXPECT_EQ(r->Payload, AcquisitionBytes(2, 0, 16));
  EXPECT_EQ(r->Payload.substr(0, 4), std::string("\0\0\1\0", 4));
  EXPECT_EQ(r->GetHeaderValue("Time"), U64ToBytes(0));
  EXPECT_EQ(BytesToU64(r->GetHeaderValue("Packet")), 0u);

  Device->AdvanceClock(4000);  // 14 samples: packet 2 completes
  r = Ask(in, MakeChunk("RREQA"));
  EXPECT_EQ(r->Payload, AcquisitionBytes(2, 16, 8));
  EXPECT_EQ(BytesToU64(r->GetHeaderValue("Time")), 8000u);
  EXPECT_EQ(BytesToU64(r->GetHeaderValue("Packet")), 2u);

  Device->AdvanceClock(100000);  // 114 samples: packets 3..27, only the latest wanted
  r = Ask(in, MakeChunk("RREQL"));
  EXPECT_EQ(r->Payload, AcquisitionBytes(2, 27 * 8, 8));
  EXPECT_EQ(BytesToU64(r->GetHeaderValue("Time")), 108000u);
  ExpectNoWork(Ask(in, MakeChunk("RREQA")), wire::status::NothingNew);

  // Changes apply at the next start; GOCLR restarts the count.
  Tell(in, InputPort(1), MakeChunk("WBITS", {{"Bits", IntToBytes(12)}}));
  Tell(in, InputPort(1), MakeChunk("WBKSZ", {{"Bytes", IntToBytes(3)}}));
  Tell(in, InputPort(1), MakeChunk("GOCLR"));
  Device->AdvanceClock(3000);  // 3 samples of 2 bytes: packets of 3 bytes straddle samples
  r = Ask(in, MakeChunk("RREQA"));
  EXPECT_EQ(r->Tag, "RDATA") << BytesToInt(r->GetHeaderValue("Status"));
  EXPECT_EQ(r->Payload, std::string("\0\0\1\0\2\0", 6));
  ExpectNoWork(Ask(in, MakeChunk("RREQL")), wire::status::NothingNew);
  Device->AdvanceClock(2000);
  r = Ask(in, MakeChunk("RREQL"));
  EXPECT_EQ(BytesToU64(r->GetHeaderValue("Packet")), 2u);
  EXPECT_EQ(BytesToU64(r->GetHeaderValue("Time")), PacketTimeUs(2, 3, 2, 1000));
  EXPECT_EQ(PacketTimeUs(2, 3, 2, 1000), 3000u);

  Tell(in, InputPort(1), MakeChunk("CLEAR"));
  ExpectNoWork(Ask(in, MakeChunk("RREQA")), wire::status::NotStarted);

  // A setting outside the device's range makes the acquisition fault.
  Tell(in, InputPort(1), MakeChunk("WBITS", {{"Bits", IntToBytes(65)}}));
  Tell(in, InputPort(1), MakeChunk("GOGO."));
  EXPECT_EQ(Ask(in, MakeChunk("RREQA"))->Tag, "IOERR");
  EXPECT_EQ(Ask(in, MakeChunk("RREQL"))->Tag, "IOERR");
  EXPECT_EQ(Device->State(1), AcquisitionState::Fault);

  // Fast and wide: a second overflows the packet buffer, and one reply
  // carries at most its cap of whole packets.
  Tell(in, InputPort(1), MakeChunk("WFREQ", {{"Hz", IntToBytes(MaxFrequencyHz)}}));
  Tell(in, InputPort(1), MakeChunk("WBITS", {{"Bits", IntToBytes(64)}}));
  Tell(in, InputPort(1), MakeChunk("WBKSZ", {{"Bytes", IntToBytes(1 << 20)}}));
  Tell(in, InputPort(1), MakeChunk("GOGO."));
  ExpectNoWork(Ask(in, MakeChunk("RREQA")), wire::status::NothingNew);
  Device->AdvanceClock(1000000);  // 320e6 bytes: 305 packets, the newest 64 kept
  r = Ask(in, MakeChunk("RREQA"));
  ASSERT_EQ(r->Tag, "RDATA");
  const std::uint64_t first = 305 - PacketBufferBytes / (1 << 20);
  EXPECT_EQ(BytesToU64(r->GetHeaderValue("Packet")), first);
  ASSERT_EQ(r->Payload.size(), MaxPacketReplyBytes);
  EXPECT_TRUE(r->Payload == AcquisitionBytes(8, first << 20, MaxPacketReplyBytes));
  r = Ask(in, MakeChunk("RREQA"));
  EXPECT_EQ(BytesToU64(r->GetHeaderValue("Packet")), first + 16);
}

TEST_F(Sim, PacketsAccumulateInRealTime) {
  StartOn(45);
  RawClient in;
  Open(in, InputPort(0));
  // 10 kHz, 2-byte samples, 200-byte blocks: a packet every 10 ms.
  ASSERT_TRUE(in.Send(MakeChunk("WFREQ", {{"Hz", IntToBytes(10000)}})));
  ASSERT_TRUE(in.Send(MakeChunk("WBKSZ", {{"Bytes", IntToBytes(200)}})));
  ASSERT_TRUE(in.Send(MakeChunk("GOCLR")));
  std::this_thread::sleep_for(std::chrono::milliseconds(120));
  auto r = Ask(in, MakeChunk("RREQA"));
  ASSERT_EQ(r->Tag, "RDATA");
  const std::size_t packets = r->Payload.size() / 200;
  EXPECT_EQ(r->Payload.size() % 200, 0u);
  EXPECT_GE(packets, 5u);
  EXPECT_LE(packets, 300u);  // generous: a loaded machine oversleeps
  EXPECT_EQ(r->Payload, AcquisitionBytes(2, 0, r->Payload.size()));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  r = Ask(in, MakeChunk("RREQA"));
  ASSERT_EQ(r->Tag, "RDATA");
  EXPECT_EQ(BytesToU64(r->GetHeaderValue("Packet")), packets);
  EXPECT_EQ(BytesToU64(r->GetHeaderValue("Time")), packets * 10000u);
  EXPECT_EQ(r->Payload, AcquisitionBytes(2, packets * 200, r->Payload.size()));
}

TEST_F(Sim, RetryRepeatsTheLastReplyAndBrokenFramesAreRefused) {
  StartOn(46);
  RawClient out;
  Open(out, OutputPort(7));
  ExpectNoWork(Ask(out, MakeChunk("RETRY")), wire::status::NoRequest);

  ASSERT_TRUE(out.Send(MakeChunk("WDATA", {}, "abc")));
  const auto first = out.ReadChunk(ReplyMs);
  ASSERT_TRUE(first);
  ASSERT_TRUE(out.Send(MakeChunk("RETRY")));
  const auto again = out.ReadChunk(ReplyMs);
  ASSERT_TRUE(again);
  EXPECT_EQ(*again, *first);
  EXPECT_EQ(Device->StoredBytes(7), 3u);  // acted on once

  // Framed correctly, but the header block claims more than the body holds.
  std::string broken = MakeChunk("WFREQ", {{"Hz", IntToBytes(1)}});
  broken[8] = '\x7F';
  EXPECT_EQ(Ask(out, broken)->Tag, "IOERR");
  EXPECT_EQ(Device->Config(7).FrequencyHz, DefaultFrequencyHz);

  // Noise and replies sent to the device are ignored.
  ASSERT_TRUE(out.Send(MakeChunk("ZZZZZ") + MakeChunk("RDATA", {}, "x")));
  ASSERT_TRUE(Device->WaitForReceived(OutputPort(7), 6, ReplyMs));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(out.Buffered(), 0u);

  // A frame longer than the device can hold cannot be skipped: it hangs up.
  std::string huge = MakeChunk("WDATA");
  velmora::diff::WriteU32(huge.data() + 4, 0x7FFFFFFFu);
  ASSERT_TRUE(out.Send(huge));
  EXPECT_TRUE(out.WaitForClose(ReplyMs));
}

TEST_F(Sim, ScriptsAnswerRequestsInOrderAndCanBeShaped) {
  StartOn(47);
  Device->SetManualClock(true);
  const std::uint16_t port = InputPort(4);
  RawClient in;
  Open(in, port);
  const std::string rdata = MakeChunk("RDATA", {}, "xyz");  // 11 bytes
  Device->Script(port, Reply{MakeChunk("WRESP")});
  Device->Script(port, Reply{rdata, 2, 40});
  EXPECT_EQ(Device->PendingScripts(port), 2u);

  ASSERT_TRUE(in.Send(MakeChunk("GOGO.")));  // commands take no script
  EXPECT_EQ(Ask(in, MakeChunk("RREQA"))->Tag, "WRESP");
  EXPECT_EQ(Device->State(4), AcquisitionState::Running);

  // Six pieces with five pauses.
  auto t = Clock::now();
  ASSERT_TRUE(in.Send(MakeChunk("RETRY")));
  EXPECT_EQ(in.ReadBytes(rdata.size(), ReplyMs), rdata);
  EXPECT_GE(MsSince(t), 190);

  // With the scripts used up, RETRY gets the device's own answer to the
  // request the script stood in for.
  EXPECT_EQ(Device->PendingScripts(port), 0u);
  ExpectNoWork(Ask(in, MakeChunk("RETRY")), wire::status::NothingNew);

  // A scripted answer to WDATA means the device never took the data.
  const std::uint16_t outPort = OutputPort(4);
  RawClient out;
  Open(out, outPort);
  Device->Script(outPort, Reply{MakeChunk("WRESP", {{"Bytes", IntToBytes(99)}}), 0, 0, 150});
  t = Clock::now();
  EXPECT_EQ(BytesToInt(Ask(out, MakeChunk("WDATA", {}, "abcd"))->GetHeaderValue("Bytes")), 99);
  EXPECT_GE(MsSince(t), 140);
  EXPECT_EQ(Device->StoredBytes(4), 0u);
  EXPECT_EQ(BytesToInt(Ask(out, MakeChunk("RETRY"))->GetHeaderValue("Bytes")), 4);
  EXPECT_EQ(Device->StoredBytes(4), 4u);

  // Shaping cuts the device's own replies too.
  Device->SetShaping(port, Shaping{5, 30, 0});
  t = Clock::now();
  ASSERT_TRUE(in.Send(MakeChunk("CLEAR") + MakeChunk("RREQL")));
  const auto shaped = in.ReadChunk(ReplyMs);  // NOWRK with Status: 34 bytes, 7 pieces
  ASSERT_TRUE(shaped);
  EXPECT_EQ(shaped->size(), 34u);
  EXPECT_GE(MsSince(t), 170);
}

TEST_F(Sim, SilentPortRecordsButNeverAnswers) {
  StartOn(48);
  const std::uint16_t port = InputPort(9);
  RawClient in;
  Open(in, port);
  Device->SetSilent(port, true);
  ASSERT_TRUE(in.Send(MakeChunk("WDATA", {}, "abc") + MakeChunk("RREQA") + MakeChunk("GOGO.")));
  ASSERT_TRUE(Device->WaitForReceived(port, 3, ReplyMs));
  EXPECT_FALSE(in.ReadChunk(150));
  EXPECT_EQ(Device->StoredBytes(9), 0u);
  EXPECT_EQ(Device->State(9), AcquisitionState::Idle);
  Device->SetSilent(port, false);
  ExpectNoWork(Ask(in, MakeChunk("RREQA")), wire::status::NotStarted);
}

TEST_F(Sim, DropsEndTheConnectionWhereAsked) {
  StartOn(49);
  const std::uint16_t port = InputPort(0);
  RawClient a;
  Open(a, port);
  Device->DropNow(port);
  EXPECT_TRUE(a.WaitForClose(ReplyMs));
  EXPECT_EQ(Device->LiveConnections(port), 0u);
  EXPECT_FALSE(Device->WaitForPeerClosed(port, 50));  // the device hung up, not the host

  RawClient b;
  Open(b, port);
  Device->DropAfterNextRequest(port);
  ASSERT_TRUE(b.Send(MakeChunk("RREQA")));
  EXPECT_TRUE(b.WaitForClose(ReplyMs));
  EXPECT_EQ(b.Buffered(), 0u);
  EXPECT_EQ(Device->ReceivedTags(port).back(), "RREQA");

  // Cut after 5 bytes of the device's own reply.
  RawClient c;
  Open(c, port);
  Device->DropAfterReplyBytes(port, 5);
  ASSERT_TRUE(c.Send(MakeChunk("RREQA")));
  EXPECT_TRUE(c.WaitForClose(ReplyMs));
  EXPECT_EQ(c.ReadBytes(100, 0),
            MakeChunk("NOWRK", {{"Status", IntToBytes(wire::status::NotStarted)}}).substr(0, 5));

  // A scripted reply cut after 3 bytes.
  RawClient d;
  Open(d, port);
  const std::string rdata = MakeChunk("RDATA", {}, "payload");
  Device->Script(port, Reply{rdata, 0, 0, 0, 3});
  ASSERT_TRUE(d.Send(MakeChunk("RREQL")));
  EXPECT_TRUE(d.WaitForClose(ReplyMs));
  EXPECT_EQ(d.ReadBytes(100, 0), rdata.substr(0, 3));

  // The port still serves a fresh connection normally.
  RawClient e;
  Open(e, port);
  ExpectNoWork(Ask(e, MakeChunk("RREQA")), wire::status::NotStarted);
  EXPECT_EQ(Device->Connections(port), 5u);
}

TEST_F(Sim, UnsolicitedBytesGoToTheNewestConnection) {
  StartOn(50);
  const std::uint16_t port = OutputPort(1);
  EXPECT_FALSE(Device->SendNow(port, "x"));
  RawClient older, newer;
  Open(older, port);
  Open(newer, port);
  EXPECT_EQ(Device->LiveConnections(port), 2u);
  const std::string unasked = MakeChunk("IOERR");
  ASSERT_TRUE(Device->SendNow(port, unasked));
  EXPECT_EQ(newer.ReadChunk(ReplyMs), unasked);
  EXPECT_EQ(older.Buffered(), 0u);
  // Both connections are served.
  EXPECT_EQ(Ask(older, MakeChunk("WDATA", {}, "1"))->Tag, "WRESP");
  EXPECT_EQ(Ask(newer, MakeChunk("WDATA", {}, "2"))->Tag, "WRESP");

  EXPECT_FALSE(Device->WaitForPeerClosed(port, 50));
  newer.Close();
  EXPECT_TRUE(Device->WaitForPeerClosed(port, ReplyMs));
  EXPECT_EQ(Device->LiveConnections(port), 1u);
}

TEST_F(Sim, HostWritingIntoADeviceThatStoppedReading) {
  StartOn(51);
  const std::uint16_t port = OutputPort(6);
  Device->SetReading(port, false);
  RawClient out;
  Open(out, port);
  const std::string request = MakeChunk("WDATA", {}, Pattern(16u << 20));
  bool sent = false;
  std::thread writer([&] { sent = out.Send(request); });

  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(Device->BytesReceived(port), 0u);
  EXPECT_EQ(Device->ReceivedCount(port), 0u);

  Device->SetReading(port, true);
  EXPECT_TRUE(Device->WaitForReceived(port, 1, ReplyMs));
  writer.join();
  EXPECT_TRUE(sent);
  const auto reply = out.ReadChunk(ReplyMs);
  ASSERT_TRUE(reply);
  EXPECT_EQ(BytesToInt(TDIFFChunk::MakeFromString(*reply)->GetHeaderValue("Bytes")), 16 << 20);
  EXPECT_EQ(Device->Received(port)[0], request);
}

TEST_F(Sim, StopIsBoundedWhateverThePeersAreDoing) {
  StartOn(52);
  // A host blocked writing 16 MiB into a port that does not read.
  Device->SetReading(OutputPort(0), false);
  RawClient writer;
  Open(writer, OutputPort(0));
  const std::string big = MakeChunk("WDATA", {}, Pattern(16u << 20));
  std::thread sending([&] { writer.Send(big); });

  // A host that never reads a 16 MiB reply.
  RawClient deaf;
  Open(deaf, InputPort(0), false);
  Device->FillStore(0, Pattern(16u << 20));
  ASSERT_TRUE(deaf.Send(Read(16 << 20)));

  // A reply waiting out a long delay, and one trickling out in pauses.
  RawClient waiting, trickle;
  Open(waiting, InputPort(1));
  Open(trickle, InputPort(2));
  Device->Script(InputPort(1), Reply{MakeChunk("RDATA"), 0, 0, 60000});
  Device->SetShaping(InputPort(2), Shaping{1, 60000, 0});
  ASSERT_TRUE(waiting.Send(MakeChunk("RREQA")));
  ASSERT_TRUE(trickle.Send(MakeChunk("RREQA")));
  ASSERT_EQ(trickle.ReadBytes(1, 2000).size(), 1u);
  ASSERT_TRUE(Device->WaitForReceived(InputPort(0), 1, ReplyMs));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));

  const auto t = Clock::now();
  Device->Stop();
  EXPECT_LT(MsSince(t), 2000 * Slow);
  EXPECT_TRUE(waiting.WaitForClose(ReplyMs));
  EXPECT_TRUE(trickle.WaitForClose(ReplyMs));
  // The blocked writer fails once the device is gone; wake it regardless.
  velmora::platform::SocketShutdownBoth(writer.Handle());
  sending.join();
}

}  // namespace
