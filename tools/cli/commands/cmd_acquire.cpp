// acquire: configure, start, fetch packets for a time or a count, stop; the
// raw payload to a file with its side file, optionally HDF5, CSV and SVG.
#include <cstdio>
#include <functional>
#include <string>

#include "acquisition/acquire_output.h"
#include "acquisition/acquisition.h"
#include "commands/command.h"
#include "device/device.h"
#include "acquisition/group_acquisition.h"
#include "output/json_value.h"
#include "options/options.h"
#include "output/terminal.h"

namespace velmora::cli {
namespace {

std::string SettingsText(const AcquireSettings& s) {
  return Grouped(static_cast<std::uint64_t>(s.Format.FrequencyHz)) + " Hz, " + std::to_string(s.PacketBits) +
         "-bit samples in " + std::to_string(s.Format.BlockBytes) + "-byte packets";
}

// How a run ended, in the words the summary, the side file and HDF5 use.
std::string Ending(const AcquireStats& stats) {
  if (stats.StoppedOnLoss) return "stopped on loss";
  if (stats.Interrupted) return "interrupted";
  if (stats.EndedEarly) return "ended early";
  return "complete";
}

class AcquireCommand : public Command {
 public:
  void Define(OptionSet& app) override {
    app.description(
        "Configures a device channel, starts it afresh, fetches packets for a time\n"
        "or a number of packets, and stops it. The raw payload goes to FILE (- for\n"
        "standard output) with its settings in FILE.json; the samples can also go to\n"
        "HDF5, CSV and an SVG plot. -t S records exactly S x frequency samples.");
    app.add_option("file", Paths.Raw, "raw payload");
    SecondsOption = app.add_option("-t,--seconds", Settings.Seconds, "acquire for S seconds (default 1 unless -n is given)")
                        ->type_name("S")
                        ->check(Seconds);
    PacketsOption = app.add_option("-n,--packets", Settings.Packets, "stop after N packets")
                        ->type_name("N")
                        ->transform(ByteCount(1, std::int64_t(1) << 40));
    app.add_flag("-L,--latest", Settings.Latest,
                 "fetch only the latest packet each time, discarding\nolder ones (default: every packet)");
    app.add_option("-i,--interval", Settings.PollMs, "pause between requests (default 20, with -L 100)")
        ->type_name("MS")
        ->check(Whole(1, 60000));
    AddSettingsOptions(app, Given, "yes");
    app.add_flag("-A,--attach", Settings.Attach,
                 "join an acquisition already running: send no settings,\nneither start nor stop it (give -f -b -B as it runs)");
    app.add_flag("-k,--keep-running", Settings.KeepRunning, "leave the acquisition running at the end");
    app.add_option("--on-loss", LossText, "when samples are lost: warn (default) or stop")
        ->type_name("stop|warn")
        ->check(OneOf({"stop", "warn"}));
    if (H5Recording::Available())
      app.add_option("--h5", Paths.H5, "HDF5 recording: samples, stamps, every setting")->type_name("FILE");
    else
      app.footer("--h5 (HDF5 recordings) is not available: this build has no HDF5 library.");
    app.add_option("--csv", Paths.Csv, "samples as CSV: time_s,sample,value")->type_name("FILE");
    app.add_option("--svg", Paths.Svg, "plot of the samples against time")->type_name("FILE");
    app.add_option("--stamps", Paths.Stamps, "each reply's time stamp as CSV:\nreply,time_us,packet,offset,bytes")
        ->type_name("FILE");
    app.add_flag("--no-side-file", NoSideFile, "no FILE.json beside the raw FILE");
    app.add_flag("-q,--quiet", Quiet, "no progress line");
    AddCommonOptions(app, Common);
    HostOption = app.option("--host");
    // A group of devices (group_acquisition.h).
    app.add_option("--hosts", Group.Hosts, "record these devices together into one group\n(HOST,HOST,... or repeated)")
        ->type_name("HOSTS")
        ->delimiter(',');
    app.add_flag("--reconnect", Group.Reconnect, "with --hosts: reconnect a device whose link drops");
    app.add_option("--reconnect-timeout", Group.ReconnectTimeoutS, "give up on a device away longer (default 30)")
        ->type_name("S")
        ->check(Seconds);
  }
  bool Json() const override { return Common.Json; }

  int Run() override {
    Resolve();
    if (!Group.Hosts.empty()) return RunGroup();
    if (Group.Reconnect) throw UsageError("--reconnect applies to a group: give --hosts (one host is a group too)");
    Device dev(Common.Device, true);
    AcquireOutput output(Paths, DescribeRun(Common.Device.Host, Common.Device.Channel, Settings));
    AcquireStats stats;
    Act(dev, output, stats);
    dev.Close();
    Print(dev, output, stats);
    if (stats.StoppedOnLoss)
      throw Failure("stopped on loss (--on-loss stop): " + DescribeGap(stats.Gaps.front()));
    return 0;
  }

 private:
  int RunGroup() {
    // A -H beside a list would be dropped without a word: the user meant one of the two.
    if (HostOption->count() > 0)
      throw UsageError("-H/--host names one device and --hosts a group: use one or the other");
    if (Settings.Attach && Group.Reconnect)
      throw UsageError("--reconnect restarts a device, which --attach never does: give one of them");
    Group.Device = Common.Device;
    Group.Settings = Settings;
    Group.Paths = Paths;
    Group.Json = Common.Json;
    Group.Quiet = Quiet;
    return RunGroupAcquisition(Group);
  }

  // Turns the options into settings; usage mistakes end here.
  void Resolve() {
    ResolveLines(Given);
    StreamFormat& f = Settings.Format;
    if (Given.FrequencyHz >= 0) f.FrequencyHz = static_cast<std::int32_t>(Given.FrequencyHz);
    if (Given.PacketBits >= 0) Settings.PacketBits = static_cast<std::int32_t>(Given.PacketBits);
    if (Given.BlockBytes >= 0) f.BlockBytes = static_cast<std::int32_t>(Given.BlockBytes);
    f.SampleBytes = SampleBytesFor(Settings.PacketBits);
    Settings.AZero = Given.AZero;
    Settings.Lines = Given.Lines;
    Settings.OnLoss = LossText == "stop" ? LossPolicy::Stop : LossPolicy::Warn;
    CheckLength();
    if (Settings.Attach && (Settings.AZero >= 0 || !Settings.Lines.empty()))
      throw UsageError("--attach sends no settings: --line and --azero do not apply");
    Paths.SideFile = !NoSideFile;
    Paths.Check();
    if (Paths.AnyOnStdout() && IsTerminal(stdout))
      throw UsageError("not writing data to a terminal; give a file or redirect standard output");
    // With data on standard output the results go to standard error.
    Out = Paths.AnyOnStdout() ? stderr : stdout;
  }

  // -t or -n, each a length a run can have: at least one sample, and
  // stream positions (64-bit byte counts) that cannot overflow.
  void CheckLength() {
    const bool timed = SecondsOption->count() > 0, counted = PacketsOption->count() > 0;
    if (timed && counted) throw UsageError("-t/--seconds and -n/--packets both say when to stop: give one of them");
    if (!timed && !counted) Settings.Seconds = 1;
    const StreamFormat& f = Settings.Format;
    const double limit = double(std::uint64_t(1) << 62);
    if (timed) {
      char given[64];
      std::snprintf(given, sizeof given, "%g s at %s Hz", Settings.Seconds,
                    Grouped(static_cast<std::uint64_t>(f.FrequencyHz)).c_str());
      if (Settings.Seconds <= 0)
        throw UsageError("-t/--seconds must be more than 0 (without -t or -n a run takes 1 s)");
      const double samples = Settings.Seconds * f.FrequencyHz;
      if (samples < 0.5) throw UsageError(std::string("-t/--seconds: ") + given + " is less than one sample");
      if (samples * f.SampleBytes >= limit)
        throw UsageError(std::string("-t/--seconds: ") + given + " is more samples than a run can count");
    }
    if (counted && double(Settings.Packets) * f.BlockBytes >= limit)
      throw UsageError("-n/--packets: " + Grouped(Settings.Packets) + " packets of " +
                       Grouped(static_cast<std::uint64_t>(f.BlockBytes)) + " bytes are more than a run can count");
  }

  void Act(Device& dev, AcquireOutput& output, AcquireStats& stats) {
    ProgressLine progress(!Quiet);
    CatchInterrupt();
    const std::string subtitle = Common.Device.Host + " channel " + std::to_string(Common.Device.Channel) +
                                 " \xC2\xB7 " + SettingsText(Settings);
    auto warn = [&](const std::string& text) { progress.Note("velmora acquire: warning: " + text); };
    WarnIfSlowStart(warn);
    try {
      Acquire(dev.Handle(), Settings, output, progress, stats, warn);
    } catch (const Failure& f) {
      progress.Clear();
      // What was fetched before the failure is still written, and said.
      try {
        output.Finish(stats, std::string("failed: ") + f.what(), "Samples against time", subtitle);
      } catch (const Failure&) {
      }
      Account(output, stats, "failed");
      throw;
    }
    progress.Clear();
    // A reader that closed its pipe has seen enough: the run ends as if
    // interrupted, and every other file keeps what was received.
    if (output.ReaderGone()) stats.Interrupted = true;
    try {
      output.Finish(stats, Ending(stats), "Samples against time", subtitle);
    } catch (const Failure&) {
      Account(output, stats, "failed");
      throw;
    }
    if (stats.Interrupted || stats.StoppedOnLoss || stats.EndedEarly) Account(output, stats, Ending(stats).c_str());
  }

  // Nothing arrives before the first packet completes: a run whose first
  // packet takes hours would otherwise just sit there.
  void WarnIfSlowStart(const std::function<void(const std::string&)>& warn) const {
    const StreamFormat& f = Settings.Format;
    const double first = double(f.BlockBytes) / f.SampleBytes / f.FrequencyHz;
    if (first <= 60 && (Settings.Seconds <= 0 || first <= Settings.Seconds)) return;
    char asked[64] = "";
    if (Settings.Seconds > 0) std::snprintf(asked, sizeof asked, " (the run asked for %g s)", Settings.Seconds);
    char text[320];
    std::snprintf(text, sizeof text,
                  "a packet of %s bytes holds %.6g samples: at %s Hz the first one completes %.6g s after the "
                  "start, and nothing arrives before then%s; a smaller block size (-B) or a higher frequency "
                  "(-f) gives data sooner",
                  Grouped(static_cast<std::uint64_t>(f.BlockBytes)).c_str(), double(f.BlockBytes) / f.SampleBytes,
                  Grouped(static_cast<std::uint64_t>(f.FrequencyHz)).c_str(), first, asked);
    warn(text);
  }

  // What an unfinished run leaves on standard error: the samples received,
  // the files that hold all of them, and each file that does not, with why.
  void Account(const AcquireOutput& output, const AcquireStats& stats, const std::string& how) const {
    std::string saved, unsaved;
    for (const std::string& f : output.Written()) saved += (saved.empty() ? "" : ", ") + f;
    for (const std::string& f : output.NotWritten()) unsaved += (unsaved.empty() ? "" : "; ") + f;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", double(output.Samples()) / Settings.Format.FrequencyHz);
    const std::string figures = Grouped(output.Samples()) + " samples (" + seconds + " s of signal, " +
                                Grouped(stats.Bytes) + " bytes)";
    if (!saved.empty() || unsaved.empty())
      std::fprintf(stderr, "velmora acquire: %s; saved %s%s%s\n", how.c_str(), figures.c_str(),
                   saved.empty() ? "" : " in ", saved.c_str());
    else
      std::fprintf(stderr, "velmora acquire: %s; received %s, saved in no file\n", how.c_str(), figures.c_str());
    if (!unsaved.empty()) std::fprintf(stderr, "velmora acquire: not complete: %s\n", unsaved.c_str());
  }

  void Print(const Device& dev, const AcquireOutput& output, const AcquireStats& stats) const {
    const double rate = stats.Seconds > 0 ? stats.Bytes / stats.Seconds : 0;
    if (Common.Json) {
      JsonValue gaps = JsonValue::array(), files = JsonValue::object();
      for (const LossGap& g : stats.Gaps)
        gaps.push_back(GapJson(g));
      JsonValue incomplete = JsonValue::object();
      for (const OutputState* o : output.Outputs())
        (o->Problem.empty() ? files[o->Kind] : incomplete[o->Kind]) = o->Problem.empty() ? o->Path : o->Problem;
      JsonValue settings = SettingsJson(Settings.Format.FrequencyHz, Settings.PacketBits,
                                        Settings.Format.SampleBytes, Settings.Format.BlockBytes);
      settings["attach"] = Settings.Attach;
      PrintJson(Out, {{"ok", !stats.StoppedOnLoss},
                      {"command", "acquire"},
                      {"device", dev.ToJson()},
                      {"settings", settings},
                      {"mode", Settings.Latest ? "latest" : "all"},
                      {"start_time_utc", stats.StartUtc},
                      {"ended", Ending(stats)},
                      {"seconds", stats.Seconds},
                      {"replies", stats.Replies},
                      {"packets", stats.Packets},
                      {"bytes", stats.Bytes},
                      {"samples", output.Samples()},
                      {"first_sample", stats.FirstSample},
                      {"target_samples", stats.TargetSamples},
                      {"lost_samples", stats.LostSamples},
                      {"gap_count", stats.GapCount},
                      {"gaps", gaps},
                      {"skipped_packets", stats.Skipped},
                      {"idle_polls", stats.IdlePolls},
                      {"truncated_replies", stats.Truncated},
                      {"first_time_us", stats.FirstTimeUs},
                      {"last_time_us", stats.LastTimeUs},
                      {"bytes_per_second", rate},
                      {"packets_per_second", stats.Seconds > 0 ? stats.Packets / stats.Seconds : 0},
                      {"interrupted", stats.Interrupted},
                      {"files", files},
                      {"incomplete_files", incomplete}});
      return;
    }
    std::fprintf(Out, "acquired %.2f s from %s%s, %s packets\n", stats.Seconds, dev.Name().c_str(),
                 stats.Interrupted ? " (interrupted)" : "", Settings.Latest ? "latest" : "all");
    std::fprintf(Out, "  settings  %s\n", SettingsText(Settings).c_str());
    std::fprintf(Out, "  packets   %s in %s replies, %s skipped\n", Grouped(stats.Packets).c_str(),
                 Grouped(stats.Replies).c_str(), Grouped(stats.Skipped).c_str());
    std::fprintf(Out, "  bytes     %s (%s)\n", Grouped(stats.Bytes).c_str(), FormatRate(rate).c_str());
    if (output.Samples() > 0)
      std::fprintf(Out, "  samples   %s, index %s to %s%s\n", Grouped(output.Samples()).c_str(),
                   Grouped(output.FirstSample()).c_str(), Grouped(output.LastSample()).c_str(),
                   stats.TargetSamples > 0 ? (" of " + Grouped(stats.TargetSamples) + " asked").c_str() : "");
    if (!Settings.Latest)
      std::fprintf(Out, "  lost      %s samples%s\n", Grouped(stats.LostSamples).c_str(),
                   stats.GapCount > 0 ? (" in " + Grouped(stats.GapCount) + " gaps").c_str() : "");
    for (std::size_t i = 0; i < stats.Gaps.size() && i < 10; ++i)
      std::fprintf(Out, "            %s\n", DescribeGap(stats.Gaps[i]).c_str());
    if (stats.GapCount > 10) std::fprintf(Out, "            ... (all gaps in --json and the recordings)\n");
    if (stats.Replies > 0)
      std::fprintf(Out, "  stamps    %s us to %s us\n", Grouped(stats.FirstTimeUs).c_str(),
                   Grouped(stats.LastTimeUs).c_str());
    if (stats.Truncated > 0)
      std::fprintf(Out, "  warning   %s replies filled the whole buffer and may have been cut\n",
                   Grouped(stats.Truncated).c_str());
    for (const std::string& f : output.Written())
      if (f != "standard output") std::fprintf(Out, "  wrote     %s\n", f.c_str());
    for (const std::string& f : output.NotWritten()) std::fprintf(Out, "  incomplete %s\n", f.c_str());
  }

  CommonOptions Common;
  GroupRequest Group;
  OptionRef SecondsOption;
  OptionRef HostOption;
  OptionRef PacketsOption;
  AcquireSettings Settings;
  DeviceSettings Given;
  OutputPaths Paths;
  std::string LossText = "warn";
  bool NoSideFile = false;
  bool Quiet = false;
  std::FILE* Out = stdout;
};

}  // namespace

std::unique_ptr<Command> MakeAcquireCommand() { return std::make_unique<AcquireCommand>(); }

}  // namespace velmora::cli
