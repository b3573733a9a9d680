// The calling thread's own send in QueueSend: bytes keep their order and are
// never repeated or lost when the socket takes only part of a string, and a
// connection that is gone is never written through a reused descriptor.
// Addresses 127.0.14.20 to 127.0.14.29 belong to this file.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "support/sock_link.h"
#include "support/test_address.h"
#include "transport/client_sock.h"

using velmora::testing::TestAddress;

using velmora::testing::Eventually;
using velmora::testing::LoopbackPeer;
using velmora::transport::TDClientSock;

namespace {

constexpr std::uint16_t Port = 0xED01;

std::string Pattern(std::size_t size, unsigned salt) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i) s[i] = char(i * 131 + (i >> 11) + salt);
  return s;
}

struct Link : velmora::testing::SockLink {
  explicit Link(const char* address) : SockLink(address, Port) {}
};

}  // namespace

TEST(CallerSend, PartlyTakenStringIsFinishedByTheWriterBeforeLaterOnes) {
  // The peer reads nothing at first, so the socket takes only the start of
  // the large string; the rest, and every string after it, must follow in
  // order once the peer reads, with no byte repeated or skipped.
  Link link(TestAddress(14, 20));
  ASSERT_EQ(link.Result, 0);
  ASSERT_TRUE(link.Accepted);
  const std::string big = Pattern(std::size_t(24) << 20, 7);
  std::string expected = big;
  link.Sock.QueueSend(big);
  for (unsigned i = 0; i < 50; ++i) {
    const std::string small = Pattern(1 + i * 37, i);
    expected += small;
    link.Sock.QueueSend(small);
  }
  EXPECT_FALSE(link.Sock.WaitUntilSent(50));  // the peer holds everything back
  const std::string got = link.Peer.Read(expected.size(), 30000);
  ASSERT_EQ(got.size(), expected.size());
  EXPECT_TRUE(got == expected);
  EXPECT_TRUE(link.Sock.WaitUntilSent(5000));
}

TEST(CallerSend, SmallStringsAloneAndBehindABusyWriterKeepTheirOrder) {
  Link link(TestAddress(14, 21));
  ASSERT_EQ(link.Result, 0);
  std::string expected;
  for (unsigned round = 0; round < 20; ++round) {
    // Alone: sent by the caller; then a string large enough to keep the
    // writer busy, with small ones queued behind it.
    const std::string alone = Pattern(16, round);
    const std::string large = Pattern(std::size_t(3) << 20, round + 1);
    const std::string behind = Pattern(100 + round, round + 2);
    for (const std::string* s : {&alone, &large, &behind, &alone}) {
      link.Sock.QueueSend(*s);
      expected += *s;
    }
    const std::string got = link.Peer.Read(expected.size(), 20000);
    ASSERT_TRUE(got == expected) << "round " << round;
    expected.clear();
    ASSERT_TRUE(link.Sock.WaitUntilSent(5000));
  }
}

TEST(CallerSend, DeadConnectionNeverWritesThroughAReusedDescriptor) {
  auto dead = std::make_unique<Link>(TestAddress(14, 22));
  ASSERT_EQ(dead->Result, 0);
  dead->Peer.DropConnection();
  ASSERT_TRUE(Eventually([&] { return !dead->Sock.Connected; }));
  // Let the writer give up the socket, which closes its descriptor; the next
  // connection is then likely to get the same number.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  Link next(TestAddress(14, 23));
  ASSERT_EQ(next.Result, 0);
  dead->Sock.QueueSend("stray bytes of a closed connection");
  EXPECT_FALSE(dead->Sock.WaitUntilSent(50));
  EXPECT_EQ(next.Peer.Read(1, 300), "");
  next.Sock.QueueSend("own");
  EXPECT_EQ(next.Peer.Read(3), "own");
}

TEST(CallerSend, SendWithoutWaitingReturnsWhenThePeerStopsReading) {
  LoopbackPeer peer(TestAddress(14, 24), Port);
  ASSERT_TRUE(peer.Listening());
  peer.AcceptAsync();
  namespace platform = velmora::platform;
  const platform::Socket s = platform::SocketCreateTcp();
  ASSERT_NE(s, platform::InvalidSocket);
  ASSERT_TRUE(platform::SocketConnect(s, velmora::testing::Ipv4(TestAddress(14, 24)),
                                      velmora::testing::PortNet(Port), 2000));
  ASSERT_TRUE(peer.WaitAccepted());
  const std::string block(65536, 'x');
  const auto start = std::chrono::steady_clock::now();
  long last = -2;
  std::size_t total = 0;
  for (int i = 0; i < 4096 && last != 0; ++i) {
    last = platform::SocketSendNoWait(s, block.data(), block.size());
    ASSERT_GE(last, 0);
    ASSERT_LE(std::size_t(last), block.size());
    total += std::size_t(last);
  }
  EXPECT_EQ(last, 0);  // a full buffer: nothing taken, and no wait
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(peer.Read(total, 20000).size(), total);
  platform::SocketShutdownBoth(s);
  platform::SocketClose(s);
}
