// The reference client: one thread, one socket, blocking send and recv, no
// queue, no locks, no chunk objects. It sends the very request bytes the
// library would send and reads the whole reply frame into a buffer it keeps,
// so it is the fastest honest client of the same device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace velmora::bench {

class RawReference {
 public:
  RawReference() = default;
  ~RawReference();
  RawReference(const RawReference&) = delete;
  RawReference& operator=(const RawReference&) = delete;

  // `noDelay` false leaves Nagle's algorithm on, to show what it costs.
  // `maxFrame` sizes the reply buffer once, touched up front.
  bool Open(const char* address, std::uint16_t port, bool noDelay, std::size_t maxFrame);
  bool Send(std::string_view bytes);
  // Reads exactly one reply frame; false when the link failed or the frame
  // does not fit the buffer.
  bool ReadFrame();
  std::size_t FrameLength() const { return Length; }
  const char* Frame() const { return Buffer.data(); }

 private:
  platform::Socket Sock = platform::InvalidSocket;
  std::vector<char> Buffer;
  std::size_t Length = 0;
};

}  // namespace velmora::bench
