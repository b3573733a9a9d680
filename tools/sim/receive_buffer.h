// The simulated device's receive side of one connection: bytes as they
// arrive, with whole frames cut off the front.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

#include "diff/diff_chunk.h"
#include "sim/simulated_device.h"

namespace velmora::sim {

// Received bytes, with whole frames cut off the front. A frame whose header
// has arrived gets room for all of it, so large bodies arrive in large
// receives straight into place and are never moved.
class ReceiveBuffer {
 public:
  // Smallest receive offered to the OS.
  static constexpr std::size_t MinReceive = 256u << 10;

  // Space for the next receive.
  std::pair<char*, std::size_t> Room() {
    const std::size_t have = End - Begin;
    std::size_t want = have + MinReceive;
    const std::uint64_t frame = Claimed();
    if (frame != 0 && frame <= 8 + MaxFrameBodyBytes) want = std::max<std::size_t>(want, frame);
    if (Capacity - Begin < want) {
      if (Capacity < want) {
        const std::size_t capacity = std::max(want, std::min(Capacity * 2, want + (4u << 20)));
        std::unique_ptr<char[]> bigger(new char[capacity]);
        if (have > 0) std::memcpy(bigger.get(), Data.get() + Begin, have);
        Data = std::move(bigger);
        Capacity = capacity;
      } else if (have > 0) {
        std::memmove(Data.get(), Data.get() + Begin, have);
      }
      Begin = 0;
      End = have;
    }
    return {Data.get() + End, Capacity - End};
  }
  void Commit(std::size_t n) { End += n; }

  // The complete frame at the front, or empty.
  std::string_view Front() const {
    const std::uint64_t frame = Claimed();
    if (frame == 0 || frame > End - Begin) return {};
    return std::string_view(Data.get() + Begin, std::size_t(frame));
  }
  void Pop(std::size_t n) {
    Begin += n;
    if (Begin == End) Begin = End = 0;
  }
  // A frame that claims more than the device can hold.
  bool Oversized() const { return Claimed() > 8 + std::uint64_t(MaxFrameBodyBytes); }

 private:
  std::uint64_t Claimed() const {
    if (End - Begin < 8) return 0;
    return 8 + std::uint64_t(diff::ReadU32(Data.get() + Begin + 4));
  }

  std::unique_ptr<char[]> Data;
  std::size_t Capacity = 0;
  std::size_t Begin = 0;
  std::size_t End = 0;
};

}  // namespace velmora::sim
