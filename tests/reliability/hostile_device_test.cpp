// A device (or an address) that works against the host: a connection attempt
// nobody answers, data pushed unasked, a frame claiming gigabytes. The host
// must give up in bounded time and hold bounded memory, and lose nothing a
// legitimate device sends.
// Addresses 127.0.22.1 to 127.0.22.9 belong to this file.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "diff/diff_tags.h"
#include "support/device_link.h"
#include "support/process_census.h"
#include "support/test_address.h"

using velmora::testing::TestAddress;

using namespace velmora;
using velmora::testing::Chunk;
using velmora::testing::DeviceLink;
using velmora::testing::Ipv4;
using velmora::testing::PortNet;

// AddressSanitizer keeps freed memory (256 MiB of it by default) before
// reuse; the receive blocks a flood goes through would fill that and show as
// growth that a host without the sanitizer never sees.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=16"; }

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint64_t MiB = std::uint64_t(1) << 20;

long long Ms(Clock::duration d) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
}

// Writes `head`, then `fillerBytes` filler bytes, then `tail` to the device
// side of `link` on a thread of its own, counting what the host's socket
// accepted. TCP flow control may block it for as long as the host takes
// nothing; closing the handle (done first by the destructor) ends it.
class Pusher {
 public:
  Pusher(DeviceLink& link, std::string head, std::uint64_t fillerBytes, std::string tail = {})
      : Link(link) {
    Worker = std::thread([this, head = std::move(head), fillerBytes, tail = std::move(tail)] {
      const std::string filler(256 * 1024, '\xEE');
      if (!Send(head)) return;
      for (std::uint64_t left = fillerBytes; left > 0;) {
        const std::size_t n = std::size_t(std::min<std::uint64_t>(left, filler.size()));
        if (!Send(std::string_view(filler).substr(0, n))) return;
        left -= n;
      }
      if (Send(tail)) Finished = true;
    });
  }
  ~Pusher() {
    if (Link.Handle != nullptr) device::Close(Link.Handle);
    Link.Handle = nullptr;
    Worker.join();
  }

  std::uint64_t Sent() const { return SentBytes; }
  bool Done() const { return Finished; }

  // True once the count has not moved for 600 ms (or everything went out),
  // within 30 s.
  bool WaitUntilStalled() {
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    std::uint64_t last = ~std::uint64_t(0);
    int still = 0;
    while (Clock::now() < deadline) {
      if (Finished) return true;
      const std::uint64_t now = SentBytes;
      still = now == last ? still + 1 : 0;
      if (still == 3) return true;
      last = now;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return false;
  }

 private:
  bool Send(std::string_view bytes) {
    constexpr std::size_t PieceBytes = 256 * 1024;
    for (std::size_t at = 0; at < bytes.size(); at += PieceBytes) {
      Piece.assign(bytes.substr(at, PieceBytes));
      if (!Link.Peer.Write(Piece)) return false;
      SentBytes += Piece.size();
    }
    return true;
  }

  DeviceLink& Link;
  std::string Piece;  // reused, so the pusher's own memory stays flat
  std::atomic<std::uint64_t> SentBytes{0};
  std::atomic<bool> Finished{false};
  std::thread Worker;
};

// Peak memory growth since Start, in bytes; -1 where it cannot be measured.
class PeakGrowth {
 public:
  PeakGrowth() : Known(velmora::testing::ResetPeakMemory()), Base(velmora::testing::PeakMemoryBytes()) {}
  long long Bytes() const {
    const long long peak = velmora::testing::PeakMemoryBytes();
    return Known && Base >= 0 && peak >= 0 ? peak - Base : -1;
  }
  std::string Text() const {
    const long long bytes = Bytes();
    return bytes < 0 ? "not measured here" : std::to_string(bytes / 1024) + " KiB";
  }

 private:
  bool Known;
  long long Base;
};

// A frame header whose body length is `body`; nothing of the body follows.
std::string FrameHeaderClaiming(std::uint32_t body) {
  std::string header(8, '\0');
  diff::WriteU32(header.data(), diff::PackTag(wire::tag::Data, false, false));
  diff::WriteU32(header.data() + 4, body);
  return header;
}

// What a host under attack may hold beyond its resting size: the undelivered
// cap and the blocks the reader keeps, with room for sanitizer overhead.
constexpr long long MemoryBound = 96 * MiB;

// On a link that is up, a read that meets a frame claiming `claim` body bytes
// gives 30, the frame does not parse, and the count is cleared.
void ExpectClaimRefused(DeviceLink& link, std::uint32_t claim, std::vector<char>& buffer) {
  ASSERT_NE(link.Handle, nullptr);
  ASSERT_TRUE(link.Accepted);
  ASSERT_TRUE(link.Peer.Write(FrameHeaderClaiming(claim)));
  std::int32_t count = std::int32_t(buffer.size());
  EXPECT_EQ(device::GetData(link.Handle, &count, buffer.data()), 30);
  EXPECT_EQ(count, 0);
}

}  // namespace

TEST(HostileDevice, ConnectToAListenerWhoseQueueIsFullGivesUpAfter2sWith1203) {
  const std::uint32_t address = Ipv4(TestAddress(22, 1));
  const std::uint16_t port = 0xED10;
  const platform::Socket listener = platform::SocketListen(address, PortNet(port), 0);
  ASSERT_NE(listener, platform::InvalidSocket);
  // Nobody accepts: once the queue is full the kernel drops further attempts
  // unanswered, as a black-holed address would.
  std::vector<platform::Socket> queued;
  bool full = false;
  for (int i = 0; i < 16 && !full; ++i) {
    const platform::Socket s = platform::SocketCreateTcp();
    ASSERT_NE(s, platform::InvalidSocket);
    if (platform::SocketConnect(s, address, PortNet(port), 300)) {
      queued.push_back(s);
    } else {
      platform::SocketClose(s);
      full = true;
    }
  }
  struct CloseAll {
    std::vector<platform::Socket>& Sockets;
    platform::Socket Listener;
    ~CloseAll() {
      for (platform::Socket s : Sockets) platform::SocketClose(s);
      platform::SocketClose(Listener);
    }
  } closeAll{queued, listener};
  if (!full) GTEST_SKIP() << "this system answers connection attempts beyond the queue";

  const long threads = velmora::testing::ThreadCount();
  const long descriptors = velmora::testing::DescriptorCount();
  const auto start = Clock::now();
  NDX_HANDLE h = device::Connect(TestAddress(22, 1), 1, 0);
  const long long took = Ms(Clock::now() - start);
  const std::uint32_t error = platform::GetLastError();
  std::printf("connect to a full queue gave up after %lld ms\n", took);
  EXPECT_EQ(h, nullptr);
  EXPECT_EQ(error, 1203u);
  EXPECT_GE(took, 1900);  // the attempt had its whole bound, it was not refused
  EXPECT_LT(took, 3500);
  EXPECT_EQ(velmora::testing::ThreadCount(), threads);
  EXPECT_EQ(velmora::testing::DescriptorCount(), descriptors);
}

TEST(HostileDevice, DataPushedUnaskedIsHeldBackByFlowControlInBoundedMemory) {
  DeviceLink link(TestAddress(22, 2), true);
  ASSERT_NE(link.Handle, nullptr);
  ASSERT_TRUE(link.Accepted);
  const PeakGrowth growth;
  const std::uint64_t attack = 512 * MiB;
  Pusher push(link, {}, attack);
  ASSERT_TRUE(push.WaitUntilStalled());
  std::printf("512 MiB pushed unasked: %llu MiB left the device, peak memory growth %s\n",
              static_cast<unsigned long long>(push.Sent() / MiB), growth.Text().c_str());
  EXPECT_FALSE(push.Done());
  EXPECT_LT(push.Sent(), 128 * MiB);
  EXPECT_LT(growth.Bytes(), MemoryBound);
}

TEST(HostileDevice, HugeClaimFollowedByFillerGives30AndTheFillerIsSkippedInBoundedMemory) {
  DeviceLink link(TestAddress(22, 3), true);
  const PeakGrowth growth;
  std::vector<char> buffer(64);
  ASSERT_NO_FATAL_FAILURE(ExpectClaimRefused(link, 0xFFFFFFF0u, buffer));
  // 256 MiB of the claimed 4 GiB arrive; each byte is dropped as it is taken,
  // and the frame is still not over when the device falls silent.
  Pusher push(link, {}, 256 * MiB);
  ASSERT_EQ(device::SetTimeout(link.Handle, 1000), 0);
  std::int32_t count = 64;
  EXPECT_EQ(device::GetData(link.Handle, &count, buffer.data()), 1460);
  EXPECT_TRUE(push.Done());
  std::printf("0xFFFFFFF0 claim and 256 MiB filler: peak memory growth %s\n",
              growth.Text().c_str());
  EXPECT_LT(growth.Bytes(), MemoryBound);
}

TEST(HostileDevice, AfterAnOversizedFrameTheNextCallReadsTheFrameBehindIt) {
  DeviceLink link(TestAddress(22, 4), true);
  const PeakGrowth growth;
  const std::uint32_t claim = wire::LargestFrameBody + 1;
  std::vector<char> buffer(64);
  ASSERT_NO_FATAL_FAILURE(ExpectClaimRefused(link, claim, buffer));
  Pusher push(link, {}, claim, Chunk(wire::tag::Data, {}, "behind the refused frame"));
  std::int32_t count = 64;
  ASSERT_EQ(device::GetData(link.Handle, &count, buffer.data()), 0);
  EXPECT_EQ(std::string(buffer.data(), std::size_t(count)), "behind the refused frame");
  std::printf("256 MiB + 1 claim with its body: peak memory growth %s\n", growth.Text().c_str());
  EXPECT_LT(growth.Bytes(), MemoryBound);
}

TEST(HostileDevice, AStreamPushedAheadArrivesIntactOnceCallsTakeIt) {
  DeviceLink link(TestAddress(22, 5), true);
  ASSERT_NE(link.Handle, nullptr);
  ASSERT_TRUE(link.Accepted);
  // Far more than the host holds unasked, in replies of uneven sizes so that
  // frames straddle the reader's blocks and the pauses.
  std::vector<std::string> payloads;
  std::string stream;
  for (int i = 0; i < 40; ++i) {
    std::string payload(std::size_t(MiB + 4099 * i), '\0');
    for (std::size_t j = 0; j < payload.size(); ++j) payload[j] = char((i * 31 + j * 7) & 0xFF);
    stream += Chunk("RDATA", {}, payload);
    payloads.push_back(std::move(payload));
  }
  Pusher push(link, stream, 0);
  ASSERT_TRUE(push.WaitUntilStalled());
  EXPECT_FALSE(push.Done());  // the host held the device back
  std::vector<char> buffer(2 * MiB);
  for (std::size_t i = 0; i < payloads.size(); ++i) {
    std::int32_t count = std::int32_t(buffer.size());
    ASSERT_EQ(device::GetData(link.Handle, &count, buffer.data()), 0) << i;
    ASSERT_EQ(std::size_t(count), payloads[i].size()) << i;
    EXPECT_EQ(std::string(buffer.data(), payloads[i].size()), payloads[i]) << i;
  }
  EXPECT_TRUE(push.Done());
}

TEST(HostileDevice, RepliesLargerThanWhatIsHeldUnaskedStillFlow) {
  DeviceLink link(TestAddress(22, 6), true);
  ASSERT_NE(link.Handle, nullptr);
  ASSERT_TRUE(link.Accepted);
  // The peer builds each reply after the request has come; under a sanitizer
  // on a loaded machine that alone can outlast the default time-out.
  ASSERT_EQ(device::SetTimeout(link.Handle, 20000), 0);
  for (std::size_t size : {std::size_t(16 * MiB), std::size_t(40 * MiB)}) {
    const std::string payload(size, '\x5A');
    std::thread device([&] {
      if (link.Peer.ReadChunk().size() >= 8) link.Peer.Write(Chunk("RDATA", {}, payload));
    });
    std::vector<char> buffer(size);
    std::int32_t count = std::int32_t(size);
    const std::int32_t result = device::GetData(link.Handle, &count, buffer.data());
    device.join();
    ASSERT_EQ(result, 0) << size;
    EXPECT_EQ(std::size_t(count), size);
    EXPECT_EQ(std::string(buffer.data(), size), payload);
  }
}
