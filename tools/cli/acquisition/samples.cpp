#include "acquisition/samples.h"

namespace velmora::cli {

int SampleBytesFor(std::int32_t packetBits) {
  if (packetBits < 1) return 1;
  if (packetBits > 64) return 8;
  return (packetBits + 7) / 8;
}

std::uint64_t SampleTimeUs(std::uint64_t sample, std::int32_t frequencyHz) {
  if (frequencyHz <= 0) return 0;
  const std::uint64_t hz = static_cast<std::uint64_t>(frequencyHz);
  // Split so that sample * 10^6 cannot overflow on long runs.
  return (sample / hz) * 1000000u + (sample % hz) * 1000000u / hz;
}

std::uint64_t PacketTimeUs(std::uint64_t packet, const StreamFormat& format) {
  const std::uint64_t firstByte = packet * static_cast<std::uint64_t>(format.BlockBytes);
  return SampleTimeUs(firstByte / static_cast<std::uint64_t>(format.SampleBytes),
                      format.FrequencyHz);
}

std::uint64_t LocatePacket(std::uint64_t timeUs, std::uint64_t hint, const StreamFormat& format) {
  if (PacketTimeUs(hint, format) == timeUs) return hint;
  const std::uint64_t hz = static_cast<std::uint64_t>(format.FrequencyHz > 0 ? format.FrequencyHz : 1);
  // The first sample whose time stamp is timeUs: ceil(timeUs * hz / 10^6).
  const std::uint64_t sample =
      (timeUs / 1000000u) * hz + ((timeUs % 1000000u) * hz + 999999u) / 1000000u;
  const std::uint64_t width = static_cast<std::uint64_t>(format.SampleBytes);
  const std::uint64_t block = static_cast<std::uint64_t>(format.BlockBytes);
  std::uint64_t k = (sample * width + block - 1) / block;
  // Rounding in both divisions leaves k at most a step or two off.
  for (int i = 0; i < 4 && k > 0 && PacketTimeUs(k - 1, format) >= timeUs; ++i) --k;
  for (int i = 0; i < 4 && PacketTimeUs(k, format) < timeUs; ++i) ++k;
  return k;
}

SampleDecoder::SampleDecoder(int sampleBytes, Sink sink) : Width(sampleBytes), Out(std::move(sink)) {}

void SampleDecoder::Feed(std::uint64_t offset, const unsigned char* bytes, std::size_t length) {
  const std::uint64_t width = static_cast<std::uint64_t>(Width);
  if (offset != Next) {
    // A jump: the sample in progress is lost, and the new bytes start
    // inside a sample unless the offset falls on a boundary.
    PartialBytes = static_cast<int>(offset % width);
    PartialValid = PartialBytes == 0;
    Partial = 0;
  }
  std::uint64_t index = offset / width;
  std::size_t i = 0;
  while (i < length) {
    if (PartialBytes == 0 && length - i >= width) {
      // Whole samples: the common case, without per-byte bookkeeping.
      std::uint64_t v = 0;
      for (int b = Width - 1; b >= 0; --b) v = (v << 8) | bytes[i + b];
      Out(index, v);
      ++index;
      i += Width;
      continue;
    }
    if (PartialValid) Partial |= static_cast<std::uint64_t>(bytes[i]) << (8 * PartialBytes);
    ++i;
    if (++PartialBytes == Width) {
      if (PartialValid) Out(index, Partial);
      ++index;
      PartialBytes = 0;
      PartialValid = true;
      Partial = 0;
    }
  }
  Next = offset + length;
}

}  // namespace velmora::cli
