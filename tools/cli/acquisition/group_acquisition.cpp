#include "acquisition/group_acquisition.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

#include "device/device.h"
#include "recordings/h5_recording.h"
#include "output/json_value.h"
#include "recordings/recording.h"
#include "output/terminal.h"
#include "options/usage_error.h"

namespace velmora::cli {
namespace {

// One outage of a device's link and what it cost.
struct Outage {
  std::string BeginUtc, EndUtc;
  double BeginS = 0, EndS = 0;       // host clock, from the device's start
  std::uint64_t FirstSample = 0;     // the first sample not received
  std::uint64_t MissedSamples = 0;   // estimated from the host clock
  std::uint64_t ResumeSample = 0;    // index of the first sample after it
  bool Resumed = false;
};

// Lets every device start at once: each waits here once connected.
class StartLine {
 public:
  explicit StartLine(std::size_t count) : Waiting(count) {}
  void Arrive() {
    std::unique_lock<std::mutex> hold(Lock);
    if (--Waiting == 0) Go.notify_all();
    else Go.wait(hold, [&] { return Waiting == 0; });
  }

 private:
  std::mutex Lock;
  std::condition_variable Go;
  std::size_t Waiting;
};

std::mutex NoteLock;  // one warning line at a time on standard error

// One device of the group, run on its own thread.
class DeviceRun : public AcquireListener {
 public:
  DeviceRun(const GroupRequest& g, std::size_t index, H5GroupRecording* h5)
      : G(g), Index(index), Where(g.Device), Width(static_cast<std::uint64_t>(g.Settings.Format.SampleBytes)) {
    Where.Host = g.Hosts[index];
    OutputPaths paths = g.Paths;
    for (std::string* p : {&paths.Raw, &paths.Csv, &paths.Stamps, &paths.Svg}) *p = DevicePath(*p, index);
    paths.H5.clear();
    Info = DescribeRun(Where.Host, Where.Channel, g.Settings);
    Output.reset(new AcquireOutput(paths, Info));
    if (h5 != nullptr) Output->UseH5(h5->Add(static_cast<int>(index), Info), g.Paths.H5);
  }

  void Run(StartLine& line) {
    try {
      Dev.reset(new Device(Where, true));
    } catch (const Failure& f) {
      Error = f.what();
    }
    line.Arrive();
    if (!Error.empty()) return Finish();
    for (;;) {
      AcquireSettings s = G.Settings;
      if (!Segments.empty() && !Plan(s)) break;
      AcquireStats seg;
      ProgressLine quiet(false);
      try {
        Acquire(Dev->Handle(), s, *this, quiet, seg, [&](const std::string& t) { Note("warning: " + t); });
        Merge(seg);
        break;
      } catch (const Failure& f) {
        Merge(seg);
        const bool linkDown = f.Result == NDX_ERROR_NOT_CONNECTED || f.Result == NDX_ERROR_NO_NET_OR_BAD_PATH;
        if (!G.Reconnect || !linkDown || !Reconnect()) {
          Error = f.what();
          break;
        }
      }
    }
    Finish();
  }

  // AcquireListener, shifted to the recording's own sample indices.
  void Started(const AcquireStats& stats) override {
    if (Segments.empty()) {
      StartHost = NowSeconds();
      StartUtc = stats.StartUtc;
      Output->Started(stats);
    }
    Segments.push_back(Base);
    if (!Outages.empty() && !Outages.back().Resumed) Resume();
  }
  void Reply(std::uint64_t timeUs, std::uint64_t packet, std::uint64_t offset, const unsigned char* data,
             std::size_t length) override {
    const std::uint64_t at = offset + Base * Width;
    Output->Reply(timeUs, at / static_cast<std::uint64_t>(G.Settings.Format.BlockBytes), at, data, length);
    Next = std::max(Next, Base + (offset + length) / Width);
    (void)packet;
  }
  void Lost(const LossGap& gap) override {
    LossGap g = gap;
    g.FirstSample += Base;
    g.RecordedBytes += BytesBefore;
    g.TimeS = double(g.FirstSample) / G.Settings.Format.FrequencyHz;
    Next = std::max(Next, g.FirstSample + g.Samples);
    Output->Lost(g);
    Keep(g);
  }
  bool Ended() const override { return Output->Ended(); }

  const AcquireStats& Stats() const { return Total; }
  const AcquireOutput& Out() const { return *Output; }
  const std::vector<Outage>& AllOutages() const { return Outages; }
  const std::string& Host() const { return Where.Host; }
  const std::string& Failed() const { return Error; }
  std::string Ending() const {
    if (!Error.empty()) return "failed: " + Error;
    if (Total.Interrupted) return "interrupted";
    if (Total.StoppedOnLoss) return "stopped on loss";
    if (Total.EndedEarly) return "ended early";
    return "complete";
  }
  double StartHost = -1;
  std::string StartUtc;

 private:
  void Note(const std::string& text) const {
    std::lock_guard<std::mutex> hold(NoteLock);
    std::fprintf(stderr, "velmora acquire: %s: %s\n", Where.Host.c_str(), text.c_str());
  }

  void Keep(const LossGap& g) {
    if (Total.Gaps.size() < MaxKeptGaps) Total.Gaps.push_back(g);
  }

  // Adds a segment's figures; its gaps are already kept, shifted.
  void Merge(const AcquireStats& s) {
    if (Total.Replies == 0 && s.Replies > 0) Total.FirstTimeUs = s.FirstTimeUs;
    if (s.Replies > 0) Total.LastTimeUs = s.LastTimeUs;
    Total.Replies += s.Replies;
    Total.Packets += s.Packets;
    Total.Bytes += s.Bytes;
    Total.Skipped += s.Skipped;
    Total.IdlePolls += s.IdlePolls;
    Total.Truncated += s.Truncated;
    Total.LostSamples += s.LostSamples;
    Total.GapCount += s.GapCount;
    Total.Interrupted = s.Interrupted;
    Total.StoppedOnLoss = Total.StoppedOnLoss || s.StoppedOnLoss;
    Total.EndedEarly = s.EndedEarly;
    if (Segments.size() == 1 && s.TargetSamples > 0) Total.TargetSamples = s.TargetSamples;
    Total.StartUtc = StartUtc;
    BytesBefore = Total.Bytes;
    if (StartHost >= 0) Total.Seconds = NowSeconds() - StartHost;
  }

  // The settings of the run after an outage: what is left of its length.
  bool Plan(AcquireSettings& s) {
    if (Total.Interrupted || Total.StoppedOnLoss || Interrupted()) return false;
    // One reading of the clock: the rest of the run is counted from it.
    const std::uint64_t resume = Estimate();
    if (Total.TargetSamples > 0) {
      if (resume >= Total.TargetSamples) {
        // The outage ran past the end: the rest of the run is missed.
        Base = Total.TargetSamples;
        Resume();
        return false;
      }
      s.Seconds = double(Total.TargetSamples - resume) / s.Format.FrequencyHz;
    } else if (s.Packets > 0) {
      if (Total.Packets >= s.Packets) return false;
      s.Packets -= Total.Packets;
    }
    Base = resume;
    return true;
  }

  // Where the device's stream stands now on the host clock, never before
  // what was received.
  std::uint64_t Estimate() const {
    const double elapsed = NowSeconds() - StartHost;
    const auto byClock = static_cast<std::uint64_t>(std::llround(std::max(0.0, elapsed) * G.Settings.Format.FrequencyHz));
    return std::max(Next, byClock);
  }

  // The outage under way ends at sample Base.
  void Resume() {
    Outage& o = Outages.back();
    o.Resumed = true;
    o.EndS = NowSeconds() - StartHost;
    o.EndUtc = UtcNow();
    o.ResumeSample = Base;
    o.MissedSamples = Base > o.FirstSample ? Base - o.FirstSample : 0;
    Next = Base;
    if (o.MissedSamples == 0) return;
    LossGap g;
    g.FirstSample = o.FirstSample;
    g.Samples = o.MissedSamples;
    g.RecordedBytes = Total.Bytes;
    g.TimeS = double(g.FirstSample) / G.Settings.Format.FrequencyHz;
    Total.LostSamples += g.Samples;
    ++Total.GapCount;
    Keep(g);
    Output->Outage(g, o.BeginS, o.EndS);
  }

  // Closes the dead link and connects again, pausing longer each time,
  // until the reconnect time-out. False when the device stayed away.
  bool Reconnect() {
    // A link that drops again before the restart is the same outage.
    if (Outages.empty() || Outages.back().Resumed) {
      Outage o;
      // A link lost while the device was still being set up, before the run's
      // clock started, is an outage at its very beginning.
      o.BeginS = StartHost >= 0 ? NowSeconds() - StartHost : 0;
      o.BeginUtc = UtcNow();
      o.FirstSample = Next;
      Outages.push_back(o);
    }
    const Outage& o = Outages.back();
    Note("link lost at sample " + Grouped(Next) + "; reconnecting");
    try {
      Dev->Close();
    } catch (const Failure&) {
    }
    Dev.reset();
    const double deadline = NowSeconds() + G.ReconnectTimeoutS;
    double pause = 0.1;
    std::string last;
    while (!Interrupted()) {
      try {
        Dev.reset(new Device(Where, true));
        Note("reconnected after " + std::to_string(NowSeconds() - StartHost - o.BeginS) + " s");
        return true;
      } catch (const Failure& f) {
        last = f.what();
      }
      if (NowSeconds() + pause > deadline) break;
      SleepMs(static_cast<int>(pause * 1000));
      pause = std::min(pause * 2, 2.0);
    }
    Outages.back().EndS = NowSeconds() - StartHost;
    Outages.back().EndUtc = UtcNow();
    Error = "link lost and not back within " + std::to_string(static_cast<int>(G.ReconnectTimeoutS)) + " s" +
            (last.empty() ? "" : " (" + last + ")");
    return false;
  }

  void Finish() {
    if (Dev) {
      try {
        Dev->Close();
      } catch (const Failure&) {
      }
    }
    try {
      Output->Finish(Total, Ending(), "Samples against time", Where.Host);
    } catch (const Failure& f) {
      if (Error.empty()) Error = f.what();
    }
  }

  const GroupRequest& G;
  std::size_t Index;
  DeviceOptions Where;
  std::uint64_t Width;
  RecordingInfo Info;
  std::unique_ptr<AcquireOutput> Output;
  std::unique_ptr<Device> Dev;
  AcquireStats Total;
  std::vector<std::uint64_t> Segments;  // the base of each segment
  std::vector<Outage> Outages;
  std::uint64_t Base = 0;        // recording index of the current segment's sample 0
  std::uint64_t Next = 0;        // recording index of the next sample expected
  std::uint64_t BytesBefore = 0;  // payload handed on before the current segment
  std::string Error;
};

JsonValue OutageJson(const Outage& o) {
  return {{"begin_utc", o.BeginUtc}, {"end_utc", o.EndUtc},       {"begin_s", o.BeginS},
          {"end_s", o.EndS},         {"first_sample", o.FirstSample}, {"estimated_missed_samples", o.MissedSamples},
          {"resume_sample", o.ResumeSample}, {"resumed", o.Resumed}};
}

void Print(const GroupRequest& g, const std::vector<std::unique_ptr<DeviceRun>>& runs, double spread, bool ok) {
  std::FILE* out = stdout;
  if (g.Json) {
    JsonValue devices = JsonValue::array();
    for (std::size_t i = 0; i < runs.size(); ++i) {
      const DeviceRun& r = *runs[i];
      const AcquireStats& s = r.Stats();
      JsonValue gaps = JsonValue::array(), outages = JsonValue::array(), files = JsonValue::array();
      for (const LossGap& x : s.Gaps) gaps.push_back(GapJson(x));
      std::uint64_t missed = 0;
      for (const Outage& o : r.AllOutages()) outages.push_back(OutageJson(o)), missed += o.MissedSamples;
      for (const std::string& f : r.Out().Written())
        if (f != ShownPath(g.Paths.H5)) files.push_back(f);
      devices.push_back({{"index", i}, {"host", r.Host()}, {"channel", g.Device.Channel},
                         {"start_time_utc", r.StartUtc}, {"ended", r.Ending()}, {"samples", r.Out().Samples()},
                         {"target_samples", s.TargetSamples}, {"lost_samples", s.LostSamples},
                         {"estimated_missed_samples", missed}, {"gap_count", s.GapCount}, {"gaps", gaps},
                         {"outages", outages}, {"replies", s.Replies}, {"packets", s.Packets}, {"bytes", s.Bytes},
                         {"seconds", s.Seconds}, {"files", files}});
    }
    PrintJson(out, {{"ok", ok}, {"command", "acquire"}, {"group", true}, {"start_spread_s", spread},
                    {"h5", g.Paths.H5}, {"devices", devices}});
    return;
  }
  std::fprintf(out, "acquired a group of %zu devices, started within %.6f s of each other\n", runs.size(), spread);
  for (std::size_t i = 0; i < runs.size(); ++i) {
    const DeviceRun& r = *runs[i];
    const AcquireStats& s = r.Stats();
    std::fprintf(out, "  device %zu  %s channel %d: %s\n", i, r.Host().c_str(), g.Device.Channel, r.Ending().c_str());
    std::fprintf(out, "    samples   %s%s, lost %s in %s gaps\n", Grouped(r.Out().Samples()).c_str(),
                 s.TargetSamples > 0 ? (" of " + Grouped(s.TargetSamples) + " asked").c_str() : "",
                 Grouped(s.LostSamples).c_str(), Grouped(s.GapCount).c_str());
    for (const Outage& o : r.AllOutages())
      std::fprintf(out, "    outage    %s to %s: about %s samples missed from sample %s, resumed at %s\n",
                   o.BeginUtc.c_str(), o.EndUtc.c_str(), Grouped(o.MissedSamples).c_str(),
                   Grouped(o.FirstSample).c_str(), o.Resumed ? Grouped(o.ResumeSample).c_str() : "(not resumed)");
    for (std::size_t k = 0; k < s.Gaps.size() && k < 10; ++k)
      std::fprintf(out, "              %s\n", DescribeGap(s.Gaps[k]).c_str());
    for (const std::string& f : r.Out().Written())
      if (f != ShownPath(g.Paths.H5)) std::fprintf(out, "    wrote     %s\n", f.c_str());
  }
  if (!g.Paths.H5.empty()) std::fprintf(out, "  wrote     %s\n", ShownPath(g.Paths.H5).c_str());
}

}  // namespace

std::string DevicePath(const std::string& path, std::size_t index) {
  if (path.empty()) return path;
  const std::size_t slash = path.find_last_of('/');
  const std::size_t dot = path.find_last_of('.');
  const std::string tag = ".dev" + std::to_string(index);
  if (dot == std::string::npos || dot == 0 || (slash != std::string::npos && dot < slash + 2)) return path + tag;
  return path.substr(0, dot) + tag + path.substr(dot);
}

int RunGroupAcquisition(const GroupRequest& g) {
  if (g.Paths.AnyOnStdout())
    throw UsageError("a group (--hosts) writes one file per device: give files, not - (standard output)");
  CatchInterrupt();
  std::unique_ptr<H5GroupRecording> h5;
  if (!g.Paths.H5.empty()) h5.reset(new H5GroupRecording(g.Paths.H5, static_cast<int>(g.Hosts.size())));
  std::vector<std::unique_ptr<DeviceRun>> runs;
  try {
    for (std::size_t i = 0; i < g.Hosts.size(); ++i) runs.emplace_back(new DeviceRun(g, i, h5.get()));
  } catch (...) {
    runs.clear();
    if (h5) h5->Abandon();
    throw;
  }
  StartLine line(runs.size());
  std::vector<std::thread> threads;
  for (auto& r : runs) threads.emplace_back([&line, run = r.get()] { run->Run(line); });
  for (std::thread& t : threads) t.join();
  double first = -1, last = -1;
  std::string startUtc;
  for (const auto& r : runs) {
    if (r->StartHost < 0) continue;
    if (first < 0 || r->StartHost < first) first = r->StartHost, startUtc = r->StartUtc;
    last = std::max(last, r->StartHost);
  }
  const double spread = first >= 0 ? last - first : 0;
  bool ok = true;
  for (const auto& r : runs) ok = ok && r->Failed().empty() && r->Ending() == "complete";
  std::string h5Problem;
  if (h5) {
    try {
      h5->Finish(startUtc.empty() ? UtcNow() : startUtc, spread);
    } catch (const Failure& f) {
      h5Problem = f.what();
      ok = false;
    }
  }
  Print(g, runs, spread, ok);
  for (const auto& r : runs)
    if (!r->Failed().empty()) std::fprintf(stderr, "velmora acquire: %s: failed: %s\n", r->Host().c_str(), r->Failed().c_str());
  if (!h5Problem.empty()) std::fprintf(stderr, "velmora acquire: %s\n", h5Problem.c_str());
  return ok ? 0 : 1;
}

}  // namespace velmora::cli
