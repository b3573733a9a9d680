// A bare TCP client for talking to a device without the library: connect,
// send bytes as given, and take replies off with a time limit. Tests use it
// to check the simulated device itself and to play a misbehaving host.
//
// A background thread receives everything the peer sends into a buffer, so
// the peer never blocks on us unless the test asks for that (AutoRead off).
// Every wait is bounded by its time-out. One test thread at a time.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "platform/platform.h"

namespace velmora::sim {

class RawClient {
 public:
  RawClient() = default;
  ~RawClient();  // Close()
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  // `autoRead` false: nothing is received until Close, so the peer's sends
  // back up.
  bool Connect(const std::string& address, std::uint16_t port, bool autoRead = true);
  // Sends every byte (blocking). False when the connection fails.
  bool Send(std::string_view bytes);
  // The next complete chunk's framed bytes, or nothing when none completes
  // within the time-out or the connection ended first.
  std::optional<std::string> ReadChunk(int timeoutMs);
  // Waits until `count` bytes are buffered (or the time-out, or the end of
  // the connection) and takes up to `count` of them.
  std::string ReadBytes(std::size_t count, int timeoutMs);
  // True once the peer has closed the connection and every byte it sent
  // before has been buffered.
  bool WaitForClose(int timeoutMs);
  std::size_t Buffered() const;
  // Shuts the socket down, ends the receiving thread and closes it.
  void Close();
  platform::Socket Handle() const { return Sock; }

 private:
  void ReceiveLoop();

  platform::Socket Sock = platform::InvalidSocket;
  std::thread Receiver;
  mutable std::mutex M;
  std::condition_variable Arrived;
  std::string Buffer;
  bool Ended = false;
};

}  // namespace velmora::sim
