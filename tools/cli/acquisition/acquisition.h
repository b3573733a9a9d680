// An acquisition run on an input handle: configure and start the device,
// fetch replies until the time or packet count is reached, stop it again.
// Shared by the `acquire` subcommand and the demonstration.
//
// Durations are exact: -t S takes exactly S x frequency samples, counted from
// the first sample of the run, and keeps fetching after S seconds until the
// device has completed the packet that holds the last of them. Bytes past
// the end are not handed on. Packets the device overwrote before they were
// fetched show as a jump in the replies' time stamps; every such gap is
// reported as lost samples, with where it happened.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "acquisition/samples.h"
#include "output/terminal.h"
#include "velmora.h"

namespace velmora::cli {

enum class LossPolicy { Warn, Stop };

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
  LossPolicy OnLoss = LossPolicy::Warn;
  // Called on every turn of the fetch loop, on the fetching thread, so a
  // caller can run other requests between fetches; true ends the run.
  std::function<bool()> Between;
};

// Samples that never arrived: [FirstSample, FirstSample + Samples) of the
// stream. `RecordedBytes` is how many payload bytes were handed on before
// the gap, which places it in a raw recording.
struct LossGap {
  std::uint64_t FirstSample = 0;
  std::uint64_t Samples = 0;
  std::uint64_t RecordedBytes = 0;
  double TimeS = 0;  // time of FirstSample from the start
};

struct AcquireStats {
  std::uint64_t Replies = 0;
  std::uint64_t Packets = 0;
  std::uint64_t Bytes = 0;
  std::uint64_t Skipped = 0;    // packets never fetched: discarded (Latest) or overwritten
  std::uint64_t IdlePolls = 0;  // "NOWRK" with status 2: nothing new yet
  std::uint64_t Truncated = 0;  // replies that filled the whole buffer
  std::uint64_t FirstTimeUs = 0, LastTimeUs = 0;
  std::uint64_t FirstSample = 0;    // the run's first sample (0 unless attaching)
  std::uint64_t TargetSamples = 0;  // with a time limit: exactly this many; else 0
  std::uint64_t LostSamples = 0;    // in every gap, not only the kept ones
  std::uint64_t GapCount = 0;
  std::vector<LossGap> Gaps;        // the first MaxKeptGaps of them
  std::string StartUtc;             // ISO 8601, when the run started
  double Seconds = 0;
  bool Interrupted = false;
  bool StoppedOnLoss = false;
  bool EndedEarly = false;  // the device stopped producing before the end
};

constexpr std::size_t MaxKeptGaps = 1000;

class AcquireListener {
 public:
  virtual ~AcquireListener() = default;
  // Once, when the run has started (the start time is known).
  virtual void Started(const AcquireStats&) {}
  // One reply: its "Time" value, the index of its first packet, and the
  // stream offset of its first byte (packet x block size).
  virtual void Reply(std::uint64_t timeUs, std::uint64_t packet, std::uint64_t offset,
                     const unsigned char* data, std::size_t length) = 0;
  virtual void Lost(const LossGap&) {}
  // True when the listener can take nothing more (a file it writes has
  // failed): the run then ends at once, the device stopped as usual.
  virtual bool Ended() const { return false; }
};

// The largest reply the device sends is 16 MiB; one byte more tells a full
// reply from one the library had to cut.
constexpr std::int32_t ReplyCapacity = (16 << 20) + 1;

// Runs the acquisition; `stats` holds what was fetched even when a library
// call fails (Failure is thrown after the device has been told to stop).
// `warn` receives a line for each loss when the policy is Warn.
void Acquire(NDX_HANDLE handle, const AcquireSettings& settings, AcquireListener& listener,
             ProgressLine& progress, AcquireStats& stats,
             const std::function<void(const std::string&)>& warn = nullptr);

// "lost 1,234 samples at sample 5,678 (0.0568 s)"
std::string DescribeGap(const LossGap& gap);

}  // namespace velmora::cli
