// A minimal TCP peer for transport tests: listens on one loopback address and
// port, accepts one connection, and lets the test read and write raw bytes.
// Every wait is bounded.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "diff/diff_tags.h"
#include "platform/platform.h"

namespace velmora::testing {

inline std::uint32_t Ipv4(const std::string& dotted) {
  return platform::ParseDottedAddress(dotted.c_str());
}

inline std::uint16_t PortNet(std::uint16_t port) { return platform::PortToNetwork(port); }

class LoopbackPeer {
 public:
  LoopbackPeer(const std::string& address, std::uint16_t port)
      : Listener(platform::SocketListen(Ipv4(address), PortNet(port), 4)) {}
  ~LoopbackPeer() {
    // Closing the listener ends a pending accept; the accepted socket is
    // only touched once the accepting thread is gone.
    if (Listener != platform::InvalidSocket) {
      platform::SocketShutdownBoth(Listener);
      platform::SocketClose(Listener);
    }
    if (AcceptThread.joinable()) AcceptThread.join();
    DropConnection();
  }

  bool Listening() const { return Listener != platform::InvalidSocket; }

  // Starts accepting one connection in the background.
  void AcceptAsync() {
    AcceptThread = std::thread([this] { Connection = platform::SocketAccept(Listener); });
  }
  bool WaitAccepted() {
    if (AcceptThread.joinable()) AcceptThread.join();
    return Connection != platform::InvalidSocket;
  }

  // Reads until `count` bytes arrived, the peer closed, or `timeoutMs` passed.
  std::string Read(std::size_t count, int timeoutMs = 5000) {
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char block[65536];
    while (got.size() < count) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || platform::SocketWaitReadable(Connection, std::uint32_t(left.count())) != 1) break;
      const std::size_t want = std::min(sizeof block, count - got.size());
      const long n = platform::SocketRecv(Connection, block, want);
      if (n <= 0) break;
      got.append(block, std::size_t(n));
    }
    return got;
  }

  // Reads one framed chunk (8-byte frame plus its body); empty on time-out.
  std::string ReadChunk(int timeoutMs = 5000) {
    std::string frame = Read(8, timeoutMs);
    if (frame.size() < 8) return std::string();
    return frame + Read(diff::ClaimedBodyLength(frame), timeoutMs);
  }

  // True when the other side closed (recv returns 0 or fails) within the time.
  bool WaitClosedByOtherSide(int timeoutMs = 5000) {
    char byte;
    if (platform::SocketWaitReadable(Connection, std::uint32_t(timeoutMs)) != 1) return false;
    return platform::SocketRecv(Connection, &byte, 1) <= 0;
  }

  bool Write(const std::string& bytes) {
    return platform::SocketSendAll(Connection, bytes.data(), bytes.size());
  }

  void DropConnection() {
    if (Connection == platform::InvalidSocket) return;
    platform::SocketShutdownBoth(Connection);
    platform::SocketClose(Connection);
    Connection = platform::InvalidSocket;
  }

 private:
  platform::Socket Listener;
  platform::Socket Connection = platform::InvalidSocket;
  std::thread AcceptThread;
};

// Polls `condition` until it holds or `timeoutMs` passes.
template <class Condition>
bool Eventually(Condition condition, int timeoutMs = 5000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace velmora::testing
