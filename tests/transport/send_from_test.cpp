// QueueSendFrom: a string made of a header and bytes that are read only
// during the call. Whatever the socket does not take at once must be copied
// before the call returns and leave in order; a copy that fails queues
// nothing, and one that fails after part went out ends the connection.
// Addresses 127.0.31.20 to 127.0.31.29 belong to this file.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "support/sock_link.h"
#include "support/test_address.h"
#include "transport/client_sock.h"

using velmora::testing::Eventually;
using velmora::testing::TestAddress;

namespace {

constexpr std::uint16_t Port = 0xED01;

// The peer listens, the object connects, the peer accepts.
struct Link : velmora::testing::SockLink {
  explicit Link(const char* address) : SockLink(address, Port) {}
};

std::string Pattern(std::size_t size, unsigned salt) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i) s[i] = char(i * 137 + (i >> 10) + salt);
  return s;
}

bool PlainCopy(void* to, const void* from, std::size_t n) {
  std::memcpy(to, from, n);
  return true;
}
bool FailingCopy(void*, const void*, std::size_t) { return false; }

}  // namespace

TEST(SendFrom, TheRestIsCopiedBeforeTheCallReturnsAndLeavesInOrder) {
  Link link(TestAddress(31, 20));
  ASSERT_EQ(link.Result, 0);
  ASSERT_TRUE(link.Accepted);
  // The peer reads nothing yet, so the socket takes only the start.
  std::string body = Pattern(std::size_t(24) << 20, 1);
  const std::string head = "HEAD1234", after = Pattern(999, 2);
  const std::string expected = head + body + after;
  ASSERT_TRUE(link.Sock.QueueSendFrom(head, body.data(), body.size(), &PlainCopy));
  std::memset(body.data(), 0, body.size());  // the caller's memory is its own again
  link.Sock.QueueSend(after);
  const std::string got = link.Peer.Read(expected.size(), 30000);
  ASSERT_EQ(got.size(), expected.size());
  EXPECT_TRUE(got == expected);
}

TEST(SendFrom, AFailedCopyWithNothingSentQueuesNothing) {
  Link link(TestAddress(31, 21));
  ASSERT_EQ(link.Result, 0);
  // A string the peer holds back keeps the queue busy, so the caller sends
  // nothing itself and everything would have to be copied.
  const std::string first = Pattern(std::size_t(24) << 20, 3), last = Pattern(77, 4);
  link.Sock.QueueSend(first);
  const std::string body = Pattern(5000, 5);
  EXPECT_FALSE(link.Sock.QueueSendFrom("HEAD", body.data(), body.size(), &FailingCopy));
  link.Sock.QueueSend(last);
  const std::string got = link.Peer.Read(first.size() + last.size(), 30000);
  EXPECT_TRUE(got == first + last);
  EXPECT_TRUE(link.Sock.Connected);
}

TEST(SendFrom, AFailedCopyAfterPartOfTheStringWentOutEndsTheConnection) {
  Link link(TestAddress(31, 22));
  ASSERT_EQ(link.Result, 0);
  const std::string body = Pattern(std::size_t(24) << 20, 6);
  EXPECT_FALSE(link.Sock.QueueSendFrom("HEAD", body.data(), body.size(), &FailingCopy));
  if (!Eventually([&] { return !link.Sock.Connected; }, 3000)) {
    // Where the calling thread never sends itself (Windows), nothing went
    // out, and the connection rightly stays: the peer has seen no byte.
    EXPECT_TRUE(link.Peer.Read(1, 300).empty());
  }
}

TEST(SendFrom, WhileThePeerReadsTheCallingThreadSendsEverythingInOrder) {
  Link link(TestAddress(31, 23));
  ASSERT_EQ(link.Result, 0);
  ASSERT_TRUE(link.Accepted);
  // A reading peer frees room as the call goes on, so the calling thread
  // sends the body in many pieces from where it lies, a head part first.
  const std::string body = Pattern(std::size_t(24) << 20, 7);
  const std::string head = "HEAD5678", after = Pattern(4321, 8);
  const std::string expected = head + body + after;
  std::string got;
  std::thread reader([&] { got = link.Peer.Read(expected.size(), 30000); });
  const bool queued = link.Sock.QueueSendFrom(head, body.data(), body.size(), &PlainCopy);
  link.Sock.QueueSend(after);
  reader.join();
  ASSERT_TRUE(queued);
  ASSERT_EQ(got.size(), expected.size());
  EXPECT_TRUE(got == expected);
}
