// The reference client must read exactly one frame however the bytes arrive,
// and refuse a frame it cannot hold: every ratio in the table rests on it.
// A scripted peer on 127.0.14.1 (this file's own address) answers each
// 4-byte request with the pieces it is given.
#include "raw_reference.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "diff/diff_tags.h"
#include "support/test_address.h"

using velmora::testing::TestAddress;

namespace velmora::bench {
namespace {

const char* const Address = TestAddress(14, 1);
constexpr std::uint16_t Port = 60672;

std::string Frame(const std::string& tag4, const std::string& body) {
  std::string f = tag4 + std::string(4, '\0') + body;
  diff::WriteU32(&f[4], std::uint32_t(body.size()));
  return f;
}

// Accepts one connection, then for each script entry reads a 4-byte request
// and sends the entry's pieces with a pause between them; closes after the
// last. Every wait is bounded.
class ScriptedPeer {
 public:
  explicit ScriptedPeer(std::vector<std::vector<std::string>> script)
      : Script(std::move(script)) {
    Listener = socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    setsockopt(Listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(Port);
    inet_pton(AF_INET, Address, &a.sin_addr);
    Ok = bind(Listener, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(Listener, 1) == 0;
    if (Ok) T = std::thread([this] { Serve(); });
  }
  ~ScriptedPeer() {
    Wait();
    close(Listener);
  }
  void Wait() {
    if (T.joinable()) T.join();
  }
  bool Ok = false;
  std::string Requests;  // what arrived, read after the peer is done

 private:
  void Serve() {
    pollfd p{Listener, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) return;
    const int s = accept(Listener, nullptr, nullptr);
    if (s < 0) return;
    timeval tv{5, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    for (const auto& pieces : Script) {
      char request[4];
      std::size_t have = 0;
      while (have < sizeof request) {
        const ssize_t n = recv(s, request + have, sizeof request - have, 0);
        if (n <= 0) break;
        have += std::size_t(n);
      }
      Requests.append(request, have);
      for (const std::string& piece : pieces) {
        send(s, piece.data(), piece.size(), MSG_NOSIGNAL);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    }
    close(s);
  }
  std::vector<std::vector<std::string>> Script;
  int Listener = -1;
  std::thread T;
};

TEST(BenchRawReference, ReadsOneFrameHoweverItIsCut) {
  const std::string f = Frame("RDAT", std::string(40, 'b'));
  const std::string second = Frame("ACKN", "");
  ScriptedPeer peer({{f.substr(0, 3), f.substr(3, 5), f.substr(8, 10), f.substr(18)},
                     {second}});
  ASSERT_TRUE(peer.Ok);
  {
    RawReference r;
    ASSERT_TRUE(r.Open(Address, Port, true, 64));
    ASSERT_TRUE(r.Send("req1"));
    ASSERT_TRUE(r.ReadFrame());
    EXPECT_EQ(std::string(r.Frame(), r.FrameLength()), f);
    ASSERT_TRUE(r.Send("req2"));
    ASSERT_TRUE(r.ReadFrame());  // an empty body ends at its header
    EXPECT_EQ(std::string(r.Frame(), r.FrameLength()), second);
  }
  peer.Wait();
  EXPECT_EQ(peer.Requests, "req1req2");
}

TEST(BenchRawReference, RefusesAFrameLargerThanItsBufferOrCutShort) {
  {
    ScriptedPeer peer({{Frame("RDAT", std::string(100, 'x'))}});
    ASSERT_TRUE(peer.Ok);
    RawReference r;
    ASSERT_TRUE(r.Open(Address, Port, true, 64));
    ASSERT_TRUE(r.Send("big!"));
    EXPECT_FALSE(r.ReadFrame()) << "a 108-byte frame cannot fit a 64-byte buffer";
  }
  {
    ScriptedPeer peer({{Frame("RDAT", std::string(30, 'y')).substr(0, 20)}});
    ASSERT_TRUE(peer.Ok);
    RawReference r;
    ASSERT_TRUE(r.Open(Address, Port, true, 64));
    ASSERT_TRUE(r.Send("cut!"));
    EXPECT_FALSE(r.ReadFrame()) << "the peer closed 18 bytes short";
  }
}

}  // namespace
}  // namespace velmora::bench
