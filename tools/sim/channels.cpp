#include "sim/channels.h"

#include <algorithm>

namespace velmora::sim {

using Lock = std::lock_guard<std::mutex>;

int SampleBytesFor(std::int32_t packetBits) {
  if (packetBits < 1) return 1;
  if (packetBits > MaxPacketBits) return 8;
  return (packetBits + 7) / 8;
}

std::string AcquisitionBytes(int sampleBytes, std::uint64_t offset, std::size_t length) {
  const unsigned width = unsigned(std::clamp(sampleBytes, 1, 8));
  std::string out(length, '\0');
  std::uint64_t sample = offset / width;
  unsigned byte = unsigned(offset % width);
  char* p = out.data();
  char* const end = p + length;
  while (p != end) {
    for (; byte < width && p != end; ++byte) *p++ = char((sample >> (8 * byte)) & 0xFF);
    byte = 0;
    ++sample;
  }
  return out;
}

namespace {

// t * rate / 1e6 and s * 1e6 / rate without overflowing for any run length
// a test or benchmark can reach.
std::uint64_t SamplesBy(std::uint64_t elapsedUs, std::uint64_t hz) {
  return (elapsedUs / 1000000u) * hz + (elapsedUs % 1000000u) * hz / 1000000u;
}

std::uint64_t MicrosOfSample(std::uint64_t sample, std::uint64_t hz) {
  return (sample / hz) * 1000000u + (sample % hz) * 1000000u / hz;
}

}  // namespace

std::uint64_t PacketTimeUs(std::uint64_t packet, std::int32_t blockBytes, int sampleBytes,
                           std::int32_t frequencyHz) {
  if (blockBytes < 1 || frequencyHz < 1) return 0;
  const std::uint64_t firstSample =
      packet * std::uint64_t(blockBytes) / std::uint64_t(std::clamp(sampleBytes, 1, 8));
  return MicrosOfSample(firstSample, std::uint64_t(frequencyHz));
}

// ---- settings and acquisition

ChannelConfig ChannelBank::Config(int channel) const {
  Lock l(M);
  return At(channel).Config;
}

AcquisitionState ChannelBank::State(int channel) const {
  Lock l(M);
  return At(channel).Mode;
}

void ChannelBank::Configure(int channel, const std::function<void(ChannelConfig&)>& change) {
  Lock l(M);
  change(At(channel).Config);
}

void ChannelBank::Go(int channel, bool restart) {
  Lock l(M);
  Channel& ch = At(channel);
  if (restart || ch.Mode != AcquisitionState::Running) Begin(ch);
}

void ChannelBank::Clear(int channel) {
  Lock l(M);
  At(channel).Mode = AcquisitionState::Idle;
}

void ChannelBank::Begin(Channel& ch) {
  const ChannelConfig& k = ch.Config;
  const bool valid = k.FrequencyHz >= 1 && k.FrequencyHz <= MaxFrequencyHz && k.PacketBits >= 1 &&
                     k.PacketBits <= MaxPacketBits && k.BlockBytes >= 1 &&
                     k.BlockBytes <= MaxBlockBytes;
  if (!valid) {
    ch.Mode = AcquisitionState::Fault;
    return;
  }
  ch.Mode = AcquisitionState::Running;
  ch.Hz = std::uint64_t(k.FrequencyHz);
  ch.Width = std::uint64_t(SampleBytesFor(k.PacketBits));
  ch.Block = std::uint64_t(k.BlockBytes);
  ch.StartUs = NowUs();
  ch.NextPacket = 0;
}

PacketFetch ChannelBank::FetchPackets(int channel, bool latestOnly) {
  PacketFetch fetch;
  std::uint64_t count;
  std::uint64_t width, block, hz;
  {
    Lock l(M);
    Channel& ch = At(channel);
    if (ch.Mode == AcquisitionState::Idle) return fetch;
    if (ch.Mode == AcquisitionState::Fault) {
      fetch.Result = PacketFetch::Outcome::Fault;
      return fetch;
    }
    const std::uint64_t now = NowUs();
    const std::uint64_t elapsed = now > ch.StartUs ? now - ch.StartUs : 0;
    const std::uint64_t produced = SamplesBy(elapsed, ch.Hz) * ch.Width / ch.Block;
    const std::uint64_t kept = std::max<std::uint64_t>(1, PacketBufferBytes / ch.Block);
    if (produced - std::min(produced, ch.NextPacket) > kept) ch.NextPacket = produced - kept;
    if (produced <= ch.NextPacket) {
      fetch.Result = PacketFetch::Outcome::NothingNew;
      return fetch;
    }
    if (latestOnly) {
      fetch.First = produced - 1;
      count = 1;
    } else {
      fetch.First = ch.NextPacket;
      const std::uint64_t fits = std::max<std::uint64_t>(1, MaxPacketReplyBytes / ch.Block);
      count = std::min(produced - fetch.First, fits);
    }
    ch.NextPacket = fetch.First + count;
    width = ch.Width;
    block = ch.Block;
    hz = ch.Hz;
  }
  // The bytes are made outside the lock: a large reply must not hold up the
  // other channels.
  fetch.Result = PacketFetch::Outcome::Data;
  fetch.Payload = AcquisitionBytes(int(width), fetch.First * block, std::size_t(count * block));
  fetch.TimeUs = MicrosOfSample(fetch.First * block / width, hz);
  return fetch;
}

// ---- data store

std::size_t ChannelBank::StoredBytes(int channel) const {
  Lock l(M);
  return At(channel).StoreSize;
}

std::size_t ChannelBank::Store(int channel, std::string bytes) {
  Lock l(M);
  Channel& ch = At(channel);
  const std::size_t taken = std::min(bytes.size(), StoreCapacityBytes - ch.StoreSize);
  if (taken == 0) return 0;
  if (taken < bytes.size()) bytes.resize(taken);
  ch.Store.push_back(std::move(bytes));
  ch.StoreSize += taken;
  return taken;
}

std::optional<std::string> ChannelBank::Take(int channel, std::size_t wanted) {
  Lock l(M);
  Channel& ch = At(channel);
  if (ch.StoreSize == 0) return std::nullopt;
  return TakeLocked(ch, std::min(wanted, ch.StoreSize));
}

// n <= StoreSize.
std::string ChannelBank::TakeLocked(Channel& ch, std::size_t n) {
  ch.StoreSize -= n;
  if (ch.StoreFront == 0 && ch.Store.front().size() == n) {
    std::string whole = std::move(ch.Store.front());
    ch.Store.pop_front();
    return whole;
  }
  std::string out;
  out.reserve(n);
  while (out.size() < n) {
    const std::string& block = ch.Store.front();
    const std::size_t part = std::min(n - out.size(), block.size() - ch.StoreFront);
    out.append(block, ch.StoreFront, part);
    ch.StoreFront += part;
    if (ch.StoreFront == block.size()) {
      ch.Store.pop_front();
      ch.StoreFront = 0;
    }
  }
  return out;
}

std::size_t ChannelBank::DiscardStore(int channel) {
  std::deque<std::string> dropped;
  std::size_t size;
  {
    Lock l(M);
    Channel& ch = At(channel);
    dropped.swap(ch.Store);
    size = ch.StoreSize;
    ch.StoreSize = 0;
    ch.StoreFront = 0;
  }
  return size;  // the strings are freed here, outside the lock
}

// ---- clock

std::uint64_t ChannelBank::RealUs() const {
  return std::uint64_t(std::chrono::duration_cast<std::chrono::microseconds>(
                           std::chrono::steady_clock::now() - Epoch)
                           .count());
}

std::uint64_t ChannelBank::NowUs() const { return ManualClock ? ManualUs : RealUs(); }

void ChannelBank::SetManualClock(bool on) {
  Lock l(M);
  if (on && !ManualClock) ManualUs = RealUs();
  ManualClock = on;
}

void ChannelBank::AdvanceClock(std::uint64_t microseconds) {
  Lock l(M);
  ManualUs += microseconds;
}

}  // namespace velmora::sim
