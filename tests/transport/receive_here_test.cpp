// ReceiveHere: the calling thread receives in the reader's place once the
// reader has stepped aside. Bytes must come out in arrival order whoever
// received them, the reader must come back once calls stop (so unasked bytes
// and a dropped link are still seen), and an end seen by the caller must
// tear the connection down as the reader's own would.
// Addresses 127.0.32.20 to 127.0.32.29 belong to this file.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "support/sock_link.h"
#include "support/test_address.h"
#include "transport/client_sock.h"

using velmora::testing::Eventually;
using velmora::testing::TestAddress;
using velmora::transport::TDClientSock;
using velmora::transport::TDClientSockEvent;
using Here = TDClientSock::HereResult;

namespace {

constexpr std::uint16_t Port = 0xED02;

struct Counts {
  std::atomic<int> Received{0};
  std::atomic<int> Disconnected{0};
};
void CountReceive(void* user, TDClientSock*) { ++static_cast<Counts*>(user)->Received; }
void CountDisconnect(void* user, TDClientSock*) { ++static_cast<Counts*>(user)->Disconnected; }

struct Link : velmora::testing::SockLink {
  explicit Link(const char* address, Counts& counts)
      : SockLink(address, Port, TDClientSockEvent{&CountReceive, &counts},
                 TDClientSockEvent{&CountDisconnect, &counts}) {}
};

// Receives on the calling thread until `count` bytes were taken. The reader
// stays aside throughout unless this thread was held off the CPU for
// ReaderAsideMs (a loaded machine): the reader then delivers the rest.
std::string ReceiveHereUntil(TDClientSock& sock, std::size_t count) {
  std::string got;
  bool readerBack = false;
  for (int i = 0; i < 1000 && got.size() < count; ++i) {
    const Here here = readerBack ? Here::Quiet : sock.ReceiveHere(1000);
    EXPECT_NE(here, Here::Ended);
    if (here == Here::ReaderReceives) readerBack = true;
    if (readerBack) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    got += sock.TakeReceived();
  }
  return got;
}

// Asks the reader to step aside and waits until it has; "first" arrives
// meanwhile, for whichever side receives it.
void PutReaderAside(Link& link, std::string& expected) {
  ASSERT_EQ(link.Result, 0);
  ASSERT_EQ(link.Sock.ReceiveHere(0), Here::ReaderReceives);
  ASSERT_TRUE(link.Peer.Write("first"));
  expected += "first";
  // Asked often enough that the reader, once aside, stays there.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  Here here = Here::ReaderReceives;
  while (here == Here::ReaderReceives && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::microseconds(100));
    here = link.Sock.ReceiveHere(0);
  }
  ASSERT_TRUE(here == Here::Received || here == Here::Quiet);
}

}  // namespace

TEST(ReceiveHere, BytesStayInOrderAndTheReaderComesBackOnceCallsStop) {
  Counts counts;
  Link link(TestAddress(32, 20), counts);
  std::string expected;
  ASSERT_NO_FATAL_FAILURE(PutReaderAside(link, expected));

  // Larger than one receive block, written while this thread receives.
  std::string big(300000, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = char(i * 131 + (i >> 9));
  std::thread writer([&] { link.Peer.Write(big); });
  expected += big;
  std::string got = link.Sock.TakeReceived();
  got += ReceiveHereUntil(link.Sock, expected.size() - got.size());
  writer.join();
  EXPECT_EQ(got, expected);

  // No receive here for a while: the reader receives, and notifies, again.
  std::this_thread::sleep_for(std::chrono::milliseconds(3 * TDClientSock::ReaderAsideMs));
  const int notified = counts.Received;
  ASSERT_TRUE(link.Peer.Write("unasked"));
  EXPECT_TRUE(Eventually([&] { return counts.Received > notified; }));
  EXPECT_EQ(link.Sock.TakeReceived(), "unasked");
}

TEST(ReceiveHere, AnEndSeenHereTearsTheConnectionDownOnce) {
  Counts counts;
  Link link(TestAddress(32, 21), counts);
  std::string expected;
  ASSERT_NO_FATAL_FAILURE(PutReaderAside(link, expected));
  link.Peer.DropConnection();
  std::string got = link.Sock.TakeReceived();
  Here here = Here::Quiet;
  for (int i = 0; i < 100 && (here == Here::Quiet || here == Here::Received); ++i) {
    here = link.Sock.ReceiveHere(1000);
    got += link.Sock.TakeReceived();
  }
  // ReaderReceives only when this thread was held off the CPU long enough
  // for the reader to step back in and find the end itself.
  EXPECT_TRUE(here == Here::Ended || here == Here::ReaderReceives);
  EXPECT_EQ(link.Sock.ReadThread->WaitFor(), 2250u);
  EXPECT_FALSE(link.Sock.Connected);
  EXPECT_EQ(counts.Disconnected, 1);
  EXPECT_EQ(link.Sock.ReceiveHere(0), Here::ReaderReceives);  // the reader ended it; nothing here
  EXPECT_EQ(got, expected);
}
