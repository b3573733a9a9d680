#include "support/raw_client.h"

#include <chrono>
#include <cstring>

#include "diff/diff_tags.h"

namespace velmora::sim {

namespace {

std::uint16_t ToNetworkOrder(std::uint16_t port) {
  const unsigned char b[2] = {std::uint8_t(port >> 8), std::uint8_t(port & 0xFF)};
  std::uint16_t out;
  std::memcpy(&out, b, 2);
  return out;
}

}  // namespace

RawClient::~RawClient() { Close(); }

bool RawClient::Connect(const std::string& address, std::uint16_t port, bool autoRead) {
  Close();
  const std::uint32_t ip = platform::ParseDottedAddress(address.c_str());
  if (ip == 0xFFFFFFFFu) return false;
  Sock = platform::SocketCreateTcp();
  if (Sock == platform::InvalidSocket) return false;
  if (!platform::SocketConnect(Sock, ip, ToNetworkOrder(port))) {
    platform::SocketClose(Sock);
    Sock = platform::InvalidSocket;
    return false;
  }
  platform::SocketSetNoDelay(Sock);
  {
    std::lock_guard<std::mutex> l(M);
    Buffer.clear();
    Ended = false;
  }
  if (autoRead) Receiver = std::thread([this] { ReceiveLoop(); });
  return true;
}

void RawClient::ReceiveLoop() {
  std::string block(256u << 10, '\0');
  for (;;) {
    const long n = platform::SocketRecv(Sock, block.data(), block.size());
    std::lock_guard<std::mutex> l(M);
    if (n <= 0) {
      Ended = true;
      Arrived.notify_all();
      return;
    }
    Buffer.append(block.data(), std::size_t(n));
    Arrived.notify_all();
  }
}

bool RawClient::Send(std::string_view bytes) {
  if (Sock == platform::InvalidSocket) return false;
  return platform::SocketSendAll(Sock, bytes.data(), bytes.size());
}

std::optional<std::string> RawClient::ReadChunk(int timeoutMs) {
  std::unique_lock<std::mutex> l(M);
  std::size_t frame = 0;
  Arrived.wait_for(l, std::chrono::milliseconds(timeoutMs), [&] {
    frame = diff::CompleteFrameLength(Buffer);
    return frame != 0 || Ended;
  });
  if (frame == 0) frame = diff::CompleteFrameLength(Buffer);
  if (frame == 0) return std::nullopt;
  std::string chunk = Buffer.substr(0, frame);
  Buffer.erase(0, frame);
  return chunk;
}

std::string RawClient::ReadBytes(std::size_t count, int timeoutMs) {
  std::unique_lock<std::mutex> l(M);
  Arrived.wait_for(l, std::chrono::milliseconds(timeoutMs),
                   [&] { return Buffer.size() >= count || Ended; });
  std::string out = Buffer.substr(0, count);
  Buffer.erase(0, out.size());
  return out;
}

bool RawClient::WaitForClose(int timeoutMs) {
  std::unique_lock<std::mutex> l(M);
  return Arrived.wait_for(l, std::chrono::milliseconds(timeoutMs), [&] { return Ended; });
}

std::size_t RawClient::Buffered() const {
  std::lock_guard<std::mutex> l(M);
  return Buffer.size();
}

void RawClient::Close() {
  if (Sock == platform::InvalidSocket) return;
  platform::SocketShutdownBoth(Sock);
  if (Receiver.joinable()) Receiver.join();
  platform::SocketClose(Sock);
  Sock = platform::InvalidSocket;
}

}  // namespace velmora::sim
