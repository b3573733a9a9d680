#include "acquisition.h"

#include <algorithm>
#include <memory>
#include <string>

#include "device.h"

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

std::string ProgressText(const AcquireStats& s, double elapsed, double limit) {
  std::string text = "acquiring  " + Grouped(s.Packets) + " packets  " + FormatBytes(double(s.Bytes)) +
                     "  " + FormatRate(elapsed > 0 ? s.Bytes / elapsed : 0) + "  ";
  char t[48];
  if (limit > 0)
    std::snprintf(t, sizeof t, "%.1f s / %.1f s", elapsed, limit);
  else
    std::snprintf(t, sizeof t, "%.1f s", elapsed);
  return text + t;
}

}  // namespace

void Acquire(NDX_HANDLE h, const AcquireSettings& settings, AcquireListener& listener,
             ProgressLine& progress, AcquireStats& stats) {
  const StreamFormat& format = settings.Format;
  const std::uint64_t block = static_cast<std::uint64_t>(format.BlockBytes);
  std::unique_ptr<unsigned char[]> data(new unsigned char[ReplyCapacity]);
  unsigned char time[16];

  if (!settings.Attach) Configure(h, settings);
  StopAtEnd stop(h, !settings.Attach && !settings.KeepRunning);

  const int pollMs = settings.PollMs > 0 ? settings.PollMs : settings.Latest ? 100 : 20;
  const double start = NowSeconds();
  std::uint64_t expected = 0;  // the packet that would follow the last reply
  for (;;) {
    const double elapsed = NowSeconds() - start;
    stats.Seconds = elapsed;
    if (Interrupted()) {
      stats.Interrupted = true;
      break;
    }
    if (settings.Seconds > 0 && elapsed >= settings.Seconds) break;
    if (settings.Packets > 0 && stats.Packets >= settings.Packets) break;

    std::int32_t timeCount = sizeof time, dataCount = ReplyCapacity;
    const std::int32_t result =
        settings.Latest ? NDX_GetLatestPacketAndDiscard(h, &timeCount, time, &dataCount, data.get())
                        : NDX_GetAllPackets(h, &timeCount, time, &dataCount, data.get());
    if (result == NDX_ERROR_BAD_NET_RESP && LibraryLastError() == 2) {
      ++stats.IdlePolls;
    } else {
      const char* call = settings.Latest ? "NDX_GetLatestPacketAndDiscard" : "NDX_GetAllPackets";
      if (result == NDX_ERROR_BAD_DEV_TYPE)
        throw Failure(std::string(call) + " (acquisition in fault: started with settings the device does not take)",
                      result);
      Check(result, call);
      if (dataCount == ReplyCapacity) ++stats.Truncated;
      std::uint64_t stamp = 0;
      for (int i = std::min<std::int32_t>(timeCount, 8) - 1; i >= 0; --i) stamp = (stamp << 8) | time[i];
      // Without a time stamp the reply can only be taken as the next one.
      const std::uint64_t packet = timeCount > 0 ? LocatePacket(stamp, expected, format) : expected;
      if (packet > expected) stats.Skipped += packet - expected;
      std::uint64_t length = static_cast<std::uint64_t>(dataCount);
      std::uint64_t packets = (length + block - 1) / block;
      if (settings.Packets > 0 && stats.Packets + packets > settings.Packets) {
        packets = settings.Packets - stats.Packets;
        length = std::min(length, packets * block);
      }
      if (stats.Replies == 0) stats.FirstTimeUs = stamp;
      stats.LastTimeUs = stamp;
      ++stats.Replies;
      stats.Packets += packets;
      stats.Bytes += length;
      listener.Reply(stamp, packet, packet * block, data.get(), static_cast<std::size_t>(length));
      expected = packet + packets;
    }
    progress.Show(ProgressText(stats, NowSeconds() - start, settings.Seconds));
    if (settings.Packets > 0 && stats.Packets >= settings.Packets) continue;
    double pause = pollMs / 1000.0;
    if (settings.Seconds > 0) pause = std::min(pause, settings.Seconds - (NowSeconds() - start));
    if (pause > 0) SleepMs(static_cast<int>(pause * 1000 + 0.5));
  }
  progress.Show(ProgressText(stats, stats.Seconds, settings.Seconds), true);
}

}  // namespace velmora::cli
