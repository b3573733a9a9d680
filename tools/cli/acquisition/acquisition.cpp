#include "acquisition/acquisition.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <memory>
#include <string>

#include "device/device.h"

namespace velmora::cli {
namespace {

void Configure(NDX_HANDLE h, const AcquireSettings& s) {
  Check(NDX_SetFreq(h, s.Format.FrequencyHz), "NDX_SetFreq");
  Check(NDX_SetPacketBits(h, s.PacketBits), "NDX_SetPacketBits");
  Check(NDX_SetBlockSize(h, s.Format.BlockBytes), "NDX_SetBlockSize");
  if (s.AZero >= 0) Check(NDX_SetAZero(h, s.AZero), "NDX_SetAZero");
  for (const auto& line : s.Lines) Check(NDX_SetMDIO1(h, line.first, line.second ? 1 : 0), "NDX_SetMDIO1");
  // A fresh start: sample 0 at time 0, so the stream offsets below hold.
  Check(NDX_GoClear(h), "NDX_GoClear");
}

// Stops the acquisition however the run ends. The request after the clear
// confirms the device took it before the run reports success; once stopped,
// the device has nothing left to discard.
class StopAtEnd {
 public:
  StopAtEnd(NDX_HANDLE h, bool active) : H(h), Active(active) {}
  ~StopAtEnd() {
    if (!Active || NDX_Clear(H) != 0) return;
    std::int32_t timeCount = 8, dataCount = 1;
    unsigned char time[8], data[1];
    NDX_GetLatestPacketAndDiscard(H, &timeCount, time, &dataCount, data);
  }

 private:
  NDX_HANDLE H;
  bool Active;
};

// Short enough for a narrow terminal once cut at its width: the most useful
// figures first.
std::string ProgressText(const AcquireStats& s, double elapsed, double limit) {
  char t[48];
  if (limit > 0)
    std::snprintf(t, sizeof t, "%.1f/%.1f s", elapsed, limit);
  else
    std::snprintf(t, sizeof t, "%.1f s", elapsed);
  std::string text = std::string(t) + "  " + FormatBytes(double(s.Bytes)) + "  " +
                     FormatRate(elapsed > 0 ? s.Bytes / elapsed : 0) + "  " + Grouped(s.Packets) + " packets";
  if (s.LostSamples > 0) text += "  lost " + Grouped(s.LostSamples) + " samples";
  return text;
}

// One run: where the stream stands, where it ends, and what has been lost.
class Run {
 public:
  Run(NDX_HANDLE h, const AcquireSettings& s, AcquireListener& listener, AcquireStats& stats)
      : H(h), S(s), Listener(listener), Stats(stats), Width(static_cast<std::uint64_t>(s.Format.SampleBytes)),
        Block(static_cast<std::uint64_t>(s.Format.BlockBytes)), Data(new unsigned char[ReplyCapacity]) {}

  // The stream position where the run ends; fixed once the first byte's
  // place is known (at once for a fresh start, at the first reply when
  // attaching).
  void SetOrigin(std::uint64_t offset) {
    Next = offset;
    HaveOrigin = true;
    const std::uint64_t firstSample = (offset + Width - 1) / Width;
    Stats.FirstSample = firstSample;
    if (S.Seconds > 0) {
      Stats.TargetSamples = static_cast<std::uint64_t>(S.Seconds * S.Format.FrequencyHz + 0.5);
      End = (firstSample + Stats.TargetSamples) * Width;
    }
    if (S.Packets > 0 && !S.Latest) End = std::min(End, (offset / Block + S.Packets) * Block);
  }

  bool Reached() const {
    if (S.Latest && S.Packets > 0) return Stats.Packets >= S.Packets;
    return HaveOrigin && Next >= End;
  }

  // One request; false when the device had nothing new.
  bool Fetch(std::size_t& length) {
    unsigned char time[16];
    std::int32_t timeCount = sizeof time, dataCount = ReplyCapacity;
    const std::int32_t result = S.Latest ? NDX_GetLatestPacketAndDiscard(H, &timeCount, time, &dataCount, Data.get())
                                         : NDX_GetAllPackets(H, &timeCount, time, &dataCount, Data.get());
    length = 0;
    if (result == NDX_ERROR_BAD_NET_RESP && LibraryLastError() == 2) {
      ++Stats.IdlePolls;
      return false;
    }
    const char* call = S.Latest ? "NDX_GetLatestPacketAndDiscard" : "NDX_GetAllPackets";
    if (result == NDX_ERROR_BAD_DEV_TYPE)
      throw Failure(std::string(call) + " (acquisition in fault: started with settings the device does not take)",
                    result);
    Check(result, call);
    if (dataCount == ReplyCapacity) ++Stats.Truncated;
    std::uint64_t stamp = 0;
    for (int i = std::min<std::int32_t>(timeCount, 8) - 1; i >= 0; --i) stamp = (stamp << 8) | time[i];
    // Without a time stamp the reply can only be taken as the next one.
    const std::uint64_t hint = HaveOrigin ? Next / Block : 0;
    const std::uint64_t packet = timeCount > 0 ? LocatePacket(stamp, hint, S.Format) : hint;
    const std::uint64_t offset = packet * Block;
    if (!HaveOrigin) SetOrigin(offset);
    length = static_cast<std::size_t>(dataCount);
    Place(stamp, packet, offset, static_cast<std::uint64_t>(dataCount));
    return true;
  }

  bool StoppedOnLoss() const { return Stats.StoppedOnLoss; }
  std::uint64_t Remaining() const { return End > Next ? End - Next : 0; }

  std::function<void(const std::string&)> Warn;

 private:
  void Place(std::uint64_t stamp, std::uint64_t packet, std::uint64_t offset, std::uint64_t length) {
    if (offset > Next) {
      Stats.Skipped += packet - Next / Block;
      if (!S.Latest) Lose(Next, offset);
    }
    if (offset >= End) {
      // The device overwrote the last packets of the run: it is over, and
      // what was lost is counted up to its end.
      Next = End;
      return;
    }
    if (offset < Next) {
      // A reply that overlaps what we have (only when time stamps are
      // coarser than packets): keep the new part.
      const std::uint64_t seen = std::min(length, Next - offset);
      offset += seen, length -= seen;
    }
    if (offset + length > End) length = End > offset ? End - offset : 0;
    if (Stats.Replies == 0) Stats.FirstTimeUs = stamp;
    Stats.LastTimeUs = stamp;
    ++Stats.Replies;
    Stats.Packets += (length + Block - 1) / Block;
    if (length == 0) return;
    Listener.Reply(stamp, packet, offset, Data.get() + (offset - packet * Block), static_cast<std::size_t>(length));
    Stats.Bytes += length;
    Next = offset + length;
  }

  // Stream bytes [from, to) never arrived: every sample they touch is lost.
  void Lose(std::uint64_t from, std::uint64_t to) {
    to = std::min(to, End);
    std::uint64_t first = std::max(from / Width, Stats.FirstSample);
    const std::uint64_t end = (to + Width - 1) / Width;
    first = std::max(first, LostUpTo);  // a sample between two close gaps counts once
    if (end <= first) return;
    LossGap gap;
    gap.FirstSample = first;
    gap.Samples = end - first;
    gap.RecordedBytes = Stats.Bytes;
    gap.TimeS = double(first) / S.Format.FrequencyHz;
    LostUpTo = end;
    Stats.LostSamples += gap.Samples;
    ++Stats.GapCount;
    if (Stats.Gaps.size() < MaxKeptGaps) Stats.Gaps.push_back(gap);
    Listener.Lost(gap);
    if (S.OnLoss == LossPolicy::Stop) Stats.StoppedOnLoss = true;
    else if (Warn) Warn(DescribeGap(gap));
  }

  NDX_HANDLE H;
  const AcquireSettings& S;
  AcquireListener& Listener;
  AcquireStats& Stats;
  const std::uint64_t Width, Block;
  std::unique_ptr<unsigned char[]> Data;
  bool HaveOrigin = false;
  std::uint64_t Next = 0;                 // stream offset the next reply should start at
  std::uint64_t End = ~std::uint64_t(0);  // stream offset the run ends at
  std::uint64_t LostUpTo = 0;             // samples below this are already counted as lost
};

}  // namespace

std::string DescribeGap(const LossGap& gap) {
  char t[32];
  std::snprintf(t, sizeof t, "%.6f", gap.TimeS);
  return "lost " + Grouped(gap.Samples) + " samples at sample " + Grouped(gap.FirstSample) + " (" + t + " s)";
}


void Acquire(NDX_HANDLE h, const AcquireSettings& settings, AcquireListener& listener, ProgressLine& progress,
             AcquireStats& stats, const std::function<void(const std::string&)>& warn) {
  Run run(h, settings, listener, stats);
  run.Warn = warn;
  if (!settings.Attach) Configure(h, settings);
  stats.StartUtc = UtcNow();
  StopAtEnd stop(h, !settings.Attach && !settings.KeepRunning);
  if (!settings.Attach) run.SetOrigin(0);
  listener.Started(stats);

  const int pollMs = settings.PollMs > 0 ? settings.PollMs : settings.Latest ? 100 : 20;
  const StreamFormat& f = settings.Format;
  // Once the time is up, how long the device may answer "nothing new"
  // before the run counts as ended early: the last packet has had time to
  // complete. Only the device's own answers count. A tool that was starved
  // or stopped is merely behind: the device still holds the run's end, or
  // has overwritten it, which the next reply shows and counts as lost.
  const double packetSeconds = double(f.BlockBytes) / f.SampleBytes / f.FrequencyHz;
  const double grace = 2 + 2 * packetSeconds;
  const double start = NowSeconds();
  double idleSince = -1;  // when the current run of "nothing new" answers began; -1: none
  for (;;) {
    const double elapsed = NowSeconds() - start;
    stats.Seconds = elapsed;
    if (Interrupted()) {
      stats.Interrupted = true;
      break;
    }
    if (settings.Between && settings.Between()) break;
    if (listener.Ended()) break;
    if (run.Reached() || run.StoppedOnLoss()) break;
    if (settings.Latest && settings.Seconds > 0 && elapsed >= settings.Seconds) break;
    std::size_t length = 0;
    const double asked = NowSeconds() - start;
    if (run.Fetch(length)) {
      idleSince = -1;
    } else {
      if (idleSince < 0) idleSince = asked;
      if (!settings.Latest && settings.Seconds > 0 && asked - std::max(idleSince, settings.Seconds) >= grace) {
        stats.EndedEarly = true;
        break;
      }
    }
    progress.Show(ProgressText(stats, NowSeconds() - start, settings.Seconds));
    if (run.Reached() || run.StoppedOnLoss()) continue;
    // A reply of more than half the largest one: the device is ahead, ask again at once.
    if (length > static_cast<std::size_t>(ReplyCapacity / 2)) continue;
    double pause = pollMs / 1000.0;
    const double now = NowSeconds() - start;
    if (settings.Seconds > 0 && now < settings.Seconds) pause = std::min(pause, settings.Seconds - now);
    // Near the end only the last packet is missing: look for it more often.
    if (settings.Seconds > 0 && now >= settings.Seconds) pause = std::min(pause, std::max(0.001, packetSeconds / 4));
    if (pause > 0) SleepMs(std::max(1, static_cast<int>(pause * 1000 + 0.5)));
  }
  stats.Seconds = NowSeconds() - start;
  progress.Show(ProgressText(stats, stats.Seconds, settings.Seconds), true);
}

}  // namespace velmora::cli
