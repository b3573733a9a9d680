// An acquisition run on an input handle: configure and start the device,
// fetch replies until the time or packet count is reached, stop it again.
// Shared by the `acquire` subcommand and the demonstration.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "samples.h"
#include "terminal.h"
#include "velmora.h"

namespace velmora::cli {

struct AcquireSettings {
  StreamFormat Format;      // sent to the device unless attaching
  std::int32_t PacketBits = 16;
  bool Latest = false;      // NDX_GetLatestPacketAndDiscard instead of NDX_GetAllPackets
  // Attach to an acquisition that is already running: send no settings, do
  // not start or stop it. Format must then match what the device was given.
  bool Attach = false;
  bool KeepRunning = false;  // do not stop the acquisition at the end
  double Seconds = 0;        // 0: no time limit
  std::uint64_t Packets = 0; // 0: no packet limit
  int PollMs = 0;            // pause between requests; 0: 20 ms, or 100 ms with Latest
  int AZero = -1;            // -1: not sent
  std::vector<std::pair<std::uint32_t, bool>> Lines;
};

struct AcquireStats {
  std::uint64_t Replies = 0;
  std::uint64_t Packets = 0;
  std::uint64_t Bytes = 0;
  std::uint64_t Skipped = 0;    // packets never fetched: discarded (Latest) or overwritten
  std::uint64_t IdlePolls = 0;  // "NOWRK" with status 2: nothing new yet
  std::uint64_t Truncated = 0;  // replies that filled the whole buffer
  std::uint64_t FirstTimeUs = 0, LastTimeUs = 0;
  double Seconds = 0;
  bool Interrupted = false;
};

class AcquireListener {
 public:
  virtual ~AcquireListener() = default;
  // One reply: its "Time" value, the index of its first packet, and the
  // stream offset of its first byte (packet x block size).
  virtual void Reply(std::uint64_t timeUs, std::uint64_t packet, std::uint64_t offset,
                     const unsigned char* data, std::size_t length) = 0;
};

// The largest reply the device sends is 16 MiB; one byte more tells a full
// reply from one the library had to cut.
constexpr std::int32_t ReplyCapacity = (16 << 20) + 1;

// Runs the acquisition; `stats` holds what was fetched even when a library
// call fails (Failure is thrown after the device has been told to stop).
void Acquire(NDX_HANDLE handle, const AcquireSettings& settings, AcquireListener& listener,
             ProgressLine& progress, AcquireStats& stats);

}  // namespace velmora::cli
