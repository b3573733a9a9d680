#include "raw_reference.h"

#include <cstring>

#include "diff/diff_tags.h"

namespace velmora::bench {

RawReference::~RawReference() {
  if (Sock != platform::InvalidSocket) {
    platform::SocketShutdownBoth(Sock);
    platform::SocketClose(Sock);
  }
}

bool RawReference::Open(const char* address, std::uint16_t port, bool noDelay,
                        std::size_t maxFrame) {
  Buffer.assign(maxFrame, '\0');
  Sock = platform::SocketCreateTcp();
  if (Sock == platform::InvalidSocket) return false;
  const std::uint16_t portNet = platform::PortToNetwork(port);
  if (!platform::SocketConnect(Sock, platform::ParseDottedAddress(address), portNet)) return false;
  return !noDelay || platform::SocketSetNoDelay(Sock);
}

bool RawReference::Send(std::string_view bytes) {
  return platform::SocketSendAll(Sock, bytes.data(), bytes.size());
}

bool RawReference::ReadFrame() {
  // The device sends one reply per request, so reading past the frame's end
  // cannot take bytes of another reply.
  std::size_t have = 0;
  std::size_t want = 8;
  while (have < want) {
    const long n = platform::SocketRecv(Sock, Buffer.data() + have, Buffer.size() - have);
    if (n <= 0) return false;
    have += std::size_t(n);
    if (want == 8 && have >= 8) {
      want = 8 + std::size_t(diff::ReadU32(Buffer.data() + 4));
      if (want > Buffer.size()) return false;
    }
  }
  Length = want;
  return have == want;
}

}  // namespace velmora::bench
