// The request/reply exchange against a scripted device: framing across
// blocks, leftovers kept for the next call, time-outs, NOWRK/IOERR, parse
// failures and the RETRY resynchronisation. Addresses 127.0.0.80 to .85.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "device/device_handle.h"
#include "support/device_link.h"
#include "support/test_address.h"

using velmora::testing::TestAddress;

using namespace velmora;
using velmora::testing::Chunk;
using velmora::testing::DeviceLink;
using velmora::testing::Eventually;
using velmora::testing::Tag;

namespace {

class Exchange : public ::testing::Test {
 protected:
  Exchange() : Link(TestAddress(0, 80), true) {}
  void SetUp() override {
    ASSERT_NE(Link.Handle, nullptr);
    ASSERT_EQ(device::SetTimeout(Link.Handle, 300), 0);
  }

  // Runs NDX_GetData(16) on a thread while `device` plays the other side.
  template <class Device>
  std::int32_t GetData(Device device, std::string* data = nullptr) {
    std::int32_t result = -1;
    std::int32_t count = 16;
    char buffer[16] = {};
    std::thread caller([&] {
      platform::SetLastError(LastErrorBefore);
      result = device::GetData(Link.Handle, &count, buffer);
      LastError = platform::GetLastError();  // the value is per thread
    });
    device();
    caller.join();
    if (data != nullptr) *data = std::string(buffer, std::size_t(count));
    LastCount = count;
    return result;
  }
  std::string Request() { return Link.Peer.ReadChunk(); }
  device::TVClientSock& Handle() { return *static_cast<device::TVClientSock*>(Link.Handle); }

  DeviceLink Link;
  std::int32_t LastCount = -1;
  std::uint32_t LastErrorBefore = 0;
  std::uint32_t LastError = 0;
};

std::string RData(const std::string& payload) { return Chunk("RDATA", {}, payload); }

}  // namespace

TEST_F(Exchange, ReplySplitOverTwoBlocksCompletes) {
  std::string data;
  const std::string reply = RData("0123456789");
  EXPECT_EQ(GetData(
                [&] {
                  ASSERT_EQ(Tag(Request()), "RREQ?");
                  Link.Peer.Write(reply.substr(0, 5));
                  std::this_thread::sleep_for(std::chrono::milliseconds(150));
                  Link.Peer.Write(reply.substr(5));
                },
                &data),
            0);
  EXPECT_EQ(data, "0123456789");
}

TEST_F(Exchange, EveryWaitGetsTheFullTimeout) {
  // Pieces 200 ms apart with a 900 ms time-out: the call outlives 900 ms.
  // The gap leaves a loaded or emulated run 700 ms of slack per piece.
  ASSERT_EQ(device::SetTimeout(Link.Handle, 900), 0);
  const std::string reply = RData("abc");
  ASSERT_GE(reply.size(), 10u) << "too few pieces to outlive the time-out";
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(GetData([&] {
              Request();
              for (std::size_t i = 0; i < reply.size(); i += 2) {
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                Link.Peer.Write(reply.substr(i, 2));
              }
            }),
            0);
  EXPECT_GT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
}

TEST_F(Exchange, SecondReplyInTheSameBlockAnswersTheNextCall) {
  std::string data;
  EXPECT_EQ(GetData([&] { Request(), Link.Peer.Write(RData("first") + RData("second")); }, &data),
            0);
  EXPECT_EQ(data, "first");
  // No device action: the reply is already in the reply stream.
  EXPECT_EQ(GetData([&] { Request(); }, &data), 0);
  EXPECT_EQ(data, "second");
}

TEST_F(Exchange, SilenceTimesOutWith1460AndClearsTheCount) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(GetData([&] { Request(); }), 1460);
  EXPECT_EQ(LastCount, 0);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(290));
}

TEST_F(Exchange, DropDuringTheWaitReports2250WithoutWaitingOutTheTimeout) {
  // The first call's reply is the reader's to receive: its ending, which
  // signals nobody, must still end the wait. The library lock is held
  // meanwhile, so a wait to the time-out would stall every other handle.
  ASSERT_EQ(device::SetTimeout(Link.Handle, 20000), 0);
  const auto dropped = std::chrono::steady_clock::now();
  EXPECT_EQ(GetData([&] {
              Request();
              Link.Peer.DropConnection();
            }),
            2250);
  EXPECT_LT(std::chrono::steady_clock::now() - dropped, std::chrono::seconds(10));
  EXPECT_EQ(LastCount, 0);
  // Down at the start: 2250 at once, nothing queued.
  const auto start = std::chrono::steady_clock::now();
  std::int32_t count = 16;
  char buffer[16];
  EXPECT_EQ(device::GetData(Link.Handle, &count, buffer), 2250);
  EXPECT_EQ(count, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
}

TEST_F(Exchange, ReplyReceivedBeforeTheDropIsStillDelivered) {
  std::string data;
  EXPECT_EQ(GetData(
                [&] {
                  Request();
                  Link.Peer.Write(RData("kept"));
                  Link.Peer.DropConnection();
                },
                &data),
            0);
  EXPECT_EQ(data, "kept");
}

TEST_F(Exchange, OneUnexpectedTagSendsExactlyOneRetry) {
  std::string data;
  EXPECT_EQ(GetData(
                [&] {
                  Request();
                  Link.Peer.Write(Chunk("WRESP"));  // another operation's reply
                  EXPECT_EQ(Link.Peer.ReadChunk(), Chunk("RETRY"));
                  Link.Peer.Write(RData("after retry"));
                },
                &data),
            0);
  EXPECT_EQ(data, "after retry");
  EXPECT_EQ(Handle().Replies.Buffered(), 0u);
  // Nothing else was sent: the next thing on the wire is the next request.
  EXPECT_EQ(GetData([&] {
    EXPECT_EQ(Tag(Request()), "RREQ?");
    Link.Peer.Write(RData("x"));
  }), 0);
}

TEST_F(Exchange, SecondUnexpectedTagGivesInvalidDataAndEmptiesTheBuffer) {
  EXPECT_EQ(GetData([&] {
              Request();
              Link.Peer.Write(Chunk("HELLO"));
              EXPECT_EQ(Link.Peer.ReadChunk(), Chunk("RETRY"));
              Link.Peer.Write(Chunk("AGAIN") + RData("left behind"));
            }),
            13);
  EXPECT_EQ(LastCount, 0);
  EXPECT_EQ(Handle().Replies.Buffered(), 0u);
}

TEST_F(Exchange, IoErrGives66WithoutRetry) {
  EXPECT_EQ(GetData([&] { Request(), Link.Peer.Write(Chunk("IOERR")); }), 66);
  EXPECT_EQ(LastCount, 0);
  EXPECT_EQ(GetData([&] {
    EXPECT_EQ(Tag(Request()), "RREQ?");
    Link.Peer.Write(RData("y"));
  }), 0);
}

TEST_F(Exchange, NoWorkGives58AndSetsTheLastErrorFromStatus) {
  EXPECT_EQ(GetData([&] {
              Request(), Link.Peer.Write(Chunk("NOWRK", {{"Status", diff::IntToBytes(5)}}));
            }),
            58);
  EXPECT_EQ(LastError, 5u);
  EXPECT_EQ(LastCount, 0);
  LastErrorBefore = 99;
  EXPECT_EQ(GetData([&] { Request(), Link.Peer.Write(Chunk("NOWRK")); }), 58);
  EXPECT_EQ(LastError, 0u);
}

TEST_F(Exchange, LastErrorIsUntouchedOutsideNoWork) {
  LastErrorBefore = 4242;
  EXPECT_EQ(GetData([&] { Request(), Link.Peer.Write(RData("z")); }), 0);
  EXPECT_EQ(LastError, 4242u);
  EXPECT_EQ(GetData([&] { Request(); }), 1460);
  EXPECT_EQ(LastError, 4242u);
}

TEST_F(Exchange, UnparsableFrameGives30AndTheNextCallGoesOn) {
  // A complete frame whose header claims more than its body holds.
  const std::string bad("\xC1\xDF\xEA\xA9\x07\0\0\0\x01\x02\x03\x04\x05\x06\x07", 15);
  std::string data;
  EXPECT_EQ(GetData([&] { Request(), Link.Peer.Write(bad + RData("next")); }), 30);
  EXPECT_EQ(LastCount, 0);
  EXPECT_EQ(GetData([&] { Request(); }, &data), 0);
  EXPECT_EQ(data, "next");
}

TEST_F(Exchange, UnsolicitedChunkIsTakenByTheNextCall) {
  // Sent before the request, e.g. in answer to a command.
  ASSERT_TRUE(Link.Peer.Write(RData("early")));
  ASSERT_TRUE(Eventually([&] { return Handle().ReplySignal.WaitFor(0) ==
                                      platform::Semaphore::WaitResult::Signaled; }));
  std::string data;
  EXPECT_EQ(GetData([&] { Request(); }, &data), 0);
  EXPECT_EQ(data, "early");
}

TEST_F(Exchange, FrameThatNeverCompletesKeepsTimingOut) {
  // Deliberate: nothing can skip a frame whose length was never satisfied,
  // as long as that length is one a device may send (here 16 MiB).
  EXPECT_EQ(GetData([&] {
              Request();
              Link.Peer.Write(std::string("\xAC\xAB\xA7\x6A\x00\x00\x00\x01", 8) + RData("hidden"));
            }),
            1460);
  EXPECT_EQ(GetData([&] { Request(), Link.Peer.Write(RData("also hidden")); }), 1460);
}

TEST_F(Exchange, FrameClaimingMoreThanTheLargestFrameGives30AndItsBytesAreSkipped) {
  // A body of 2 GiB: refused as soon as its length is seen. Whatever follows
  // within the claimed length belongs to it and is skipped as it arrives.
  EXPECT_EQ(GetData([&] {
              Request();
              Link.Peer.Write(std::string("\xAC\xAB\xA7\x6A\xFF\xFF\xFF\x7F", 8) + RData("inside"));
            }),
            30);
  EXPECT_EQ(LastCount, 0);
  EXPECT_EQ(GetData([&] { Request(), Link.Peer.Write(RData("still inside")); }), 1460);
  EXPECT_EQ(Handle().Replies.Buffered(), 0u);
}
