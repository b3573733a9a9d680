// The simulated device's channel state: each channel's settings, its
// acquisition and the clock it runs on, and its data store.
//
// One lock guards all of it. It is never held while another lock of the
// device is taken, and no other lock is held while it is taken, so the
// rooms of the device cannot deadlock through it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "sim/simulated_device.h"

namespace velmora::sim {

// What a packet request finds on a channel.
struct PacketFetch {
  enum class Outcome { Data, NotStarted, NothingNew, Fault };
  Outcome Result = Outcome::NotStarted;
  std::string Payload;       // whole packets, for Data
  std::uint64_t TimeUs = 0;  // of the first packet
  std::uint64_t First = 0;   // number of the first packet
};

class ChannelBank {
 public:
  // Channels outside 0..15 are masked to 4 bits.
  ChannelConfig Config(int channel) const;
  AcquisitionState State(int channel) const;
  // Changes the settings; they take effect at the next start.
  void Configure(int channel, const std::function<void(ChannelConfig&)>& change);
  // Starts acquisition with the current settings ("GOCLR"); with `restart`
  // false a running acquisition goes on untouched ("GOGO.").
  void Go(int channel, bool restart);
  void Clear(int channel);  // "CLEAR"
  // The packets completed and not yet fetched (latestOnly: only the newest
  // one, the rest discarded), at most MaxPacketReplyBytes of them.
  PacketFetch FetchPackets(int channel, bool latestOnly);

  std::size_t StoredBytes(int channel) const;
  // Appends as "WDATA" would; returns the count taken.
  std::size_t Store(int channel, std::string bytes);
  // Up to `wanted` bytes off the front of the store; nothing when it is empty.
  std::optional<std::string> Take(int channel, std::size_t wanted);
  std::size_t DiscardStore(int channel);  // returns the count dropped

  void SetManualClock(bool on);
  void AdvanceClock(std::uint64_t microseconds);

 private:
  struct Channel {
    ChannelConfig Config;

    AcquisitionState Mode = AcquisitionState::Idle;
    // Settings taken when the acquisition started; later commands wait for
    // the next start.
    std::uint64_t Hz = 0;
    std::uint64_t Width = 0;
    std::uint64_t Block = 0;
    std::uint64_t StartUs = 0;
    std::uint64_t NextPacket = 0;  // first packet not yet fetched

    std::deque<std::string> Store;
    std::size_t StoreFront = 0;  // bytes of Store.front() already read
    std::size_t StoreSize = 0;
  };

  Channel& At(int channel) { return Channels[channel & 0x0F]; }
  const Channel& At(int channel) const { return Channels[channel & 0x0F]; }
  std::uint64_t RealUs() const;
  std::uint64_t NowUs() const;  // with M held
  void Begin(Channel& ch);      // with M held
  static std::string TakeLocked(Channel& ch, std::size_t n);

  mutable std::mutex M;
  bool ManualClock = false;
  std::uint64_t ManualUs = 0;
  const std::chrono::steady_clock::time_point Epoch = std::chrono::steady_clock::now();
  Channel Channels[ChannelCount];
};

}  // namespace velmora::sim
