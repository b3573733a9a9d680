// Turning the device's packet stream back into samples.
//
// The device packs samples of ceil(bits/8) bytes little-endian back to back;
// packet k is bytes [k*B, (k+1)*B) of that stream, so a packet need not start
// or end on a sample boundary. A reply's "Time" is the time of the sample its
// first byte belongs to, in whole microseconds from the start, which is how a
// reply that does not follow the previous one (only the latest packet, or
// packets the device overwrote) is placed in the stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace velmora::cli {

struct StreamFormat {
  std::int32_t FrequencyHz = 1000;
  int SampleBytes = 2;  // 1..8
  std::int32_t BlockBytes = 256;
};

int SampleBytesFor(std::int32_t packetBits);  // ceil(bits / 8), 1..8

// Microseconds from the start to sample n, rounded down.
std::uint64_t SampleTimeUs(std::uint64_t sample, std::int32_t frequencyHz);
// The time stamp of packet k: that of the sample holding its first byte.
std::uint64_t PacketTimeUs(std::uint64_t packet, const StreamFormat& format);
// The packet whose time stamp is `timeUs`: `hint` when it fits (packets
// that share a time stamp are told apart only that way), else the first
// packet with that time stamp, else the first one after it.
std::uint64_t LocatePacket(std::uint64_t timeUs, std::uint64_t hint, const StreamFormat& format);

// Feeds stream bytes, with the stream offset of their first byte, and calls
// back once per complete sample with its index and value. A sample split
// across two contiguous feeds is joined; one cut by a jump is dropped.
class SampleDecoder {
 public:
  using Sink = std::function<void(std::uint64_t index, std::uint64_t value)>;
  SampleDecoder(int sampleBytes, Sink sink);
  void Feed(std::uint64_t offset, const unsigned char* bytes, std::size_t length);

 private:
  int Width;
  Sink Out;
  std::uint64_t Next = ~std::uint64_t(0);  // offset the next contiguous feed starts at
  std::uint64_t Partial = 0;               // bytes of the current sample seen so far
  int PartialBytes = 0;
  bool PartialValid = false;
};

}  // namespace velmora::cli
