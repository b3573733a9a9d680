// Replies large enough to stay in their receive blocks: split at awkward
// places, followed by other frames in the same blocks, carrying headers and
// children, failing to parse, unexpected, or bound for memory the caller
// cannot write. Addresses 127.0.31.1 to .9.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "device/device_handle.h"
#include "device/reply_stream.h"
#include "support/device_link.h"
#include "support/guard_pages.h"
#include "support/test_address.h"

using namespace velmora;
using velmora::testing::TestAddress;
using velmora::testing::Chunk;
using velmora::testing::DeviceLink;
using velmora::testing::Tag;

namespace {

constexpr std::size_t Large = device::ReplyStream::GatherFrom + 70001;

std::string Pattern(std::size_t n, unsigned salt) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = char((i * 131 + salt * 7 + (i >> 9)) & 0xFF);
  return s;
}

struct Fetched {
  std::int32_t Result = -1;
  std::string Time;
  std::string Data;
};

class LargeReplies : public ::testing::Test {
 protected:
  LargeReplies() : Link(TestAddress(31, 1), true) {}
  void SetUp() override {
    ASSERT_NE(Link.Handle, nullptr);
    ASSERT_EQ(device::SetTimeout(Link.Handle, 2000), 0);
  }

  // NDX_GetAllPackets with `capacity` bytes of data room, while `device`
  // plays the other side.
  template <class Device>
  Fetched Fetch(Device device, std::size_t capacity = 2 * Large) {
    Fetched f;
    std::vector<char> data(capacity, '\x5A');
    char time[16] = {};
    std::int32_t timeCount = sizeof time, dataCount = std::int32_t(capacity);
    std::thread caller([&] {
      f.Result =
          device::GetAllPackets(Link.Handle, &timeCount, time, &dataCount, data.data());
    });
    device();
    caller.join();
    f.Time.assign(time, std::size_t(timeCount));
    f.Data.assign(data.data(), std::size_t(dataCount));
    return f;
  }
  std::string Request() { return Link.Peer.ReadChunk(); }
  // Sends `bytes` in pieces that cut through the frame header, the header
  // block and the payload at odd places.
  void WriteInPieces(const std::string& bytes) {
    const std::size_t cuts[] = {3, 11, 4093, 65536 + 17, 200001};
    std::size_t at = 0;
    for (std::size_t cut : cuts) {
      if (cut <= at || cut >= bytes.size()) continue;
      Link.Peer.Write(bytes.substr(at, cut - at));
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      at = cut;
    }
    Link.Peer.Write(bytes.substr(at));
  }

  DeviceLink Link;
};

}  // namespace

TEST_F(LargeReplies, PayloadAndHeadersArriveIntactAndWhatFollowsAnswersTheNextCall) {
  const std::string payload = Pattern(Large, 1);
  Fetched first = Fetch([&] {
    ASSERT_EQ(Tag(Request()), "RREQA");
    WriteInPieces(Chunk("RDATA", {{"Time", "12345678"}}, payload) +
                  Chunk("RDATA", {{"Time", "t2"}}, "small after"));
  });
  EXPECT_EQ(first.Result, 0);
  EXPECT_EQ(first.Time, "12345678");
  EXPECT_TRUE(first.Data == payload) << "payload differs";
  // Already here: the next call parses it before waiting.
  Fetched second = Fetch([&] { ASSERT_EQ(Tag(Request()), "RREQA"); });
  EXPECT_EQ(second.Result, 0);
  EXPECT_EQ(second.Time, "t2");
  EXPECT_EQ(second.Data, "small after");
  EXPECT_EQ(static_cast<device::TVClientSock*>(Link.Handle)->Replies.Buffered(), 0u);
}

TEST_F(LargeReplies, BackToBackLargeFramesAndOneCutShortAreEachTakenInTurn) {
  const std::string a = Pattern(Large, 2), b = Pattern(Large + 5, 3);
  const std::string third = Chunk("RDATA", {}, Pattern(Large, 4));
  Fetched first = Fetch([&] {
    Request();
    Link.Peer.Write(Chunk("RDATA", {}, a) + Chunk("RDATA", {}, b) + third.substr(0, 70000));
  });
  EXPECT_EQ(first.Result, 0);
  EXPECT_TRUE(first.Data == a);
  Fetched second = Fetch([&] { Request(); });
  EXPECT_EQ(second.Result, 0);
  EXPECT_TRUE(second.Data == b);
  Fetched rest = Fetch([&] {
    Request();
    Link.Peer.Write(third.substr(70000));
  });
  EXPECT_EQ(rest.Result, 0);
  EXPECT_TRUE(rest.Data == Pattern(Large, 4));
}

TEST_F(LargeReplies, CapacityBelowThePayloadTakesItsFirstBytesAndDropsTheRest) {
  const std::string payload = Pattern(Large, 5);
  Fetched f = Fetch([&] { Request(), Link.Peer.Write(Chunk("RDATA", {}, payload)); }, 100000);
  EXPECT_EQ(f.Result, 0);
  EXPECT_TRUE(f.Data == payload.substr(0, 100000));
  Fetched next = Fetch([&] { Request(), Link.Peer.Write(Chunk("RDATA", {}, "next")); });
  EXPECT_EQ(next.Data, "next");
}

TEST_F(LargeReplies, ChildChunksBeforeThePayloadAreSkipped) {
  auto c = diff::TDIFFChunk::Make();
  c->SetTag("RDATA");
  c->AddHeader("Time", "tt");
  c->NewChunk()->SetTag("CHILD");
  c->Payload = Pattern(Large, 6);
  Fetched f = Fetch([&] { Request(), WriteInPieces(c->SaveToString()); });
  EXPECT_EQ(f.Result, 0);
  EXPECT_EQ(f.Time, "tt");
  EXPECT_TRUE(f.Data == c->Payload);
}

TEST_F(LargeReplies, AFrameThatDoesNotParseGives30AndTheNextCallStartsBehindIt) {
  // A header block that claims more than the whole body.
  std::string bad = Chunk("RDATA", {{"Time", "xx"}}, Pattern(Large, 7));
  diff::WriteU32(bad.data() + 8, 0x7FFFFFF0u);
  Fetched f = Fetch([&] { Request(), WriteInPieces(bad + Chunk("RDATA", {}, "behind")); });
  EXPECT_EQ(f.Result, 30);
  EXPECT_TRUE(f.Data.empty());
  Fetched next = Fetch([&] { Request(); });
  EXPECT_EQ(next.Result, 0);
  EXPECT_EQ(next.Data, "behind");
}

TEST_F(LargeReplies, AnUnexpectedLargeFrameIsResynchronisedAway) {
  Fetched f = Fetch([&] {
    Request();
    Link.Peer.Write(Chunk("WRESP", {}, Pattern(Large, 8)));
    ASSERT_EQ(Tag(Link.Peer.ReadChunk()), "RETRY");
    Link.Peer.Write(Chunk("RDATA", {}, Pattern(Large, 9)));
  });
  EXPECT_EQ(f.Result, 0);
  EXPECT_TRUE(f.Data == Pattern(Large, 9));
}

TEST_F(LargeReplies, UnwritableDestinationGives998WithNothingWritten) {
  VELMORA_SKIP_UNLESS_GUARDED_COPIES_SEE_FAULTS();
  velmora::testing::GuardPages pages;
  ASSERT_TRUE(pages.Valid());
  std::memset(pages.Usable(), 0x11, pages.PageSize());
  std::int32_t timeCount = 8, dataCount = std::int32_t(Large);
  char time[8] = {};
  std::int32_t result = -1;
  std::thread caller([&] {
    // The data room claims more than the one writable page before no-access memory.
    result = device::GetAllPackets(Link.Handle, &timeCount, time, &dataCount, pages.Usable());
  });
  Request();
  Link.Peer.Write(Chunk("RDATA", {{"Time", "abcdefgh"}}, Pattern(Large, 10)));
  caller.join();
  EXPECT_EQ(result, 998);
  EXPECT_EQ(dataCount, 0);
  EXPECT_EQ(timeCount, 0);
  EXPECT_EQ(std::string(time, 8), std::string(8, '\0'));
  EXPECT_EQ(std::string(pages.Usable(), pages.PageSize()), std::string(pages.PageSize(), '\x11'));
}

TEST_F(LargeReplies, ATrickleLongerThanTheTimeoutStillCompletesAndASilenceEndsIt) {
  // Blocks of a large frame wake the caller only once the frame is whole;
  // pieces 100 ms apart over more than a whole 300 ms time-out still count
  // as arrivals.
  ASSERT_EQ(device::SetTimeout(Link.Handle, 300), 0);
  const std::string frame = Chunk("RDATA", {}, Pattern(Large, 11));
  const std::size_t piece = frame.size() / 8 + 1;
  Fetched f = Fetch([&] {
    Request();
    for (std::size_t at = 0; at < frame.size(); at += piece) {
      Link.Peer.Write(frame.substr(at, piece));
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  EXPECT_EQ(f.Result, 0);
  EXPECT_TRUE(f.Data == Pattern(Large, 11));
  // Half a frame, then silence: one time-out after the last piece.
  const std::string next = Chunk("RDATA", {}, Pattern(Large, 12));
  const auto start = std::chrono::steady_clock::now();
  Fetched g = Fetch([&] {
    Request();
    for (int i = 0; i < 4; ++i) {
      Link.Peer.Write(next.substr(std::size_t(i) * piece, piece));
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(g.Result, 1460);
  EXPECT_GE(took, std::chrono::milliseconds(300 + 300));
  EXPECT_LT(took, std::chrono::milliseconds(300 + 300 + 1500));
}
