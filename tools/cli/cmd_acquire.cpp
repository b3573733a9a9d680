// acquire: configure, start, fetch packets for a time or a count, stop; the
// raw payload to a file, optionally the samples as CSV and an SVG plot.
#include <cstdio>
#include <string>

#include "acquire_output.h"
#include "acquisition.h"
#include "commands.h"
#include "device.h"
#include "json.h"
#include "terminal.h"

namespace velmora::cli {
namespace {

const char Help[] =
    "usage: velmora acquire [OPTIONS] [FILE]\n"
    "Configures a device channel, starts it afresh, fetches packets for a time\n"
    "or a number of packets, and stops it. The raw payload goes to FILE (- for\n"
    "standard output); the samples can also go to CSV and an SVG plot.\n"
    "  -t, --seconds S        acquire for S seconds (default 1 unless -n is given)\n"
    "  -n, --packets N        stop after N packets\n"
    "  -L, --latest           fetch only the latest packet each time, discarding\n"
    "                         older ones (default: every packet)\n"
    "  -i, --interval MS      pause between requests (default 20, with -L 100)\n"
    "  -f, --freq HZ          sample rate, 1-40000000 (default 1000)\n"
    "  -b, --bits BITS        packet bits, 1-64 (default 16)\n"
    "  -B, --block BYTES      packet size, 1-16M (default 256)\n"
    "  -l, --line N=on|off    digital line N (0-31); may be repeated\n"
    "  -z, --azero on|off     auto-zero (digital line 0)\n"
    "  -A, --attach           join an acquisition already running: send no settings,\n"
    "                         neither start nor stop it (give -f -b -B as it runs)\n"
    "  -k, --keep-running     leave the acquisition running at the end\n"
    "      --csv FILE         samples as CSV: time_s,sample,value\n"
    "      --svg FILE         plot of the samples against time\n"
    "      --stamps FILE      each reply's time stamp as CSV:\n"
    "                         reply,time_us,packet,offset,bytes\n"
    "  -q, --quiet            no progress line\n"
    "      --json             print the summary as JSON\n"
    "  -h, --help             this text\n";

std::string SettingsText(const AcquireSettings& s) {
  return Grouped(static_cast<std::uint64_t>(s.Format.FrequencyHz)) + " Hz, " + std::to_string(s.PacketBits) +
         "-bit samples in " + std::to_string(s.Format.BlockBytes) + "-byte packets";
}

}  // namespace

int RunAcquire(int argc, char** argv) {
  ArgReader args(argc, argv);
  DeviceOptions d;
  AcquireSettings s;
  OutputPaths paths;
  bool json = false, quiet = false, haveFile = false;
  std::string v;
  while (!args.Done()) {
    if (args.Flag('h', "help")) {
      std::string text = Help;
      return ShowHelp(text.insert(text.find("  -q, --quiet"), DeviceOptionsHelp).c_str());
    }
    if (ReadDeviceOption(args, d)) continue;
    if (args.Flag(0, "json")) {
      json = JsonRequested = true;
    } else if (args.Flag('q', "quiet")) {
      quiet = true;
    } else if (args.Value('t', "seconds", v)) {
      s.Seconds = ParseSeconds(v, "--seconds");
    } else if (args.Value('n', "packets", v)) {
      s.Packets = static_cast<std::uint64_t>(ParseBytes(v, "--packets", 1, std::int64_t(1) << 40));
    } else if (args.Flag('L', "latest")) {
      s.Latest = true;
    } else if (args.Value('i', "interval", v)) {
      s.PollMs = ParseInt32(v, "--interval", 1, 60000);
    } else if (args.Value('f', "freq", v)) {
      s.Format.FrequencyHz = ParseInt32(v, "--freq", 1, 40000000);
    } else if (args.Value('b', "bits", v)) {
      s.PacketBits = ParseInt32(v, "--bits", 1, 64);
    } else if (args.Value('B', "block", v)) {
      s.Format.BlockBytes = static_cast<std::int32_t>(ParseBytes(v, "--block", 1, 16 << 20));
    } else if (args.Value('z', "azero", v)) {
      s.AZero = ParseOnOff(v, "--azero") ? 1 : 0;
    } else if (args.Value('l', "line", v)) {
      const std::size_t eq = v.find('=');
      if (eq == std::string::npos) throw UsageError("--line takes N=on or N=off: " + v);
      s.Lines.emplace_back(static_cast<std::uint32_t>(ParseInt32(v.substr(0, eq), "--line", 0, 31)),
                           ParseOnOff(v.substr(eq + 1), "--line"));
    } else if (args.Flag('A', "attach")) {
      s.Attach = true;
    } else if (args.Flag('k', "keep-running")) {
      s.KeepRunning = true;
    } else if (args.Value(0, "csv", v)) {
      paths.Csv = v;
    } else if (args.Value(0, "svg", v)) {
      paths.Svg = v;
    } else if (args.Value(0, "stamps", v)) {
      paths.Stamps = v;
    } else if (!haveFile && args.Positional(v)) {
      paths.Raw = v;
      haveFile = true;
    } else {
      args.Unknown();
    }
  }
  if (s.Seconds <= 0 && s.Packets == 0) s.Seconds = 1;
  if (s.Attach && (s.AZero >= 0 || !s.Lines.empty()))
    throw UsageError("--attach sends no settings: --line and --azero do not apply");
  if (paths.Raw == "-" && IsTerminal(stdout))
    throw UsageError("not writing raw data to a terminal; give a file or redirect standard output");
  s.Format.SampleBytes = SampleBytesFor(s.PacketBits);
  // With the raw data on standard output the results go to standard error.
  std::FILE* out = paths.Raw == "-" ? stderr : stdout;

  Device dev(d, true);
  AcquireOutput output(paths, s.Format);
  ProgressLine progress(!quiet);
  CatchInterrupt();
  AcquireStats stats;
  std::string subtitle = d.Host + " channel " + std::to_string(d.Channel) + " \xC2\xB7 " + SettingsText(s);
  try {
    Acquire(dev.Handle(), s, output, progress, stats);
  } catch (const Failure&) {
    progress.Clear();
    // What was fetched before the failure is still written.
    output.Finish("Samples against time", subtitle);
    throw;
  }
  progress.Clear();
  output.Finish("Samples against time", subtitle);
  dev.Close();

  const double rate = stats.Seconds > 0 ? stats.Bytes / stats.Seconds : 0;
  const char* mode = s.Latest ? "latest" : "all";
  if (json) {
    JsonWriter j;
    j.BeginObject().Bool("ok", true).Str("command", "acquire");
    j.BeginObject("device").Str("host", d.Host).Int("channel", d.Channel).Int("port", dev.Port()).EndObject();
    j.BeginObject("settings")
        .Int("frequency_hz", s.Format.FrequencyHz)
        .Int("packet_bits", s.PacketBits)
        .Int("sample_bytes", s.Format.SampleBytes)
        .Int("block_bytes", s.Format.BlockBytes)
        .Bool("attach", s.Attach)
        .EndObject();
    j.Str("mode", mode)
        .Num("seconds", stats.Seconds)
        .UInt("replies", stats.Replies)
        .UInt("packets", stats.Packets)
        .UInt("bytes", stats.Bytes)
        .UInt("samples", output.Samples())
        .UInt("skipped_packets", stats.Skipped)
        .UInt("idle_polls", stats.IdlePolls)
        .UInt("truncated_replies", stats.Truncated)
        .UInt("first_time_us", stats.FirstTimeUs)
        .UInt("last_time_us", stats.LastTimeUs)
        .Num("bytes_per_second", rate)
        .Num("packets_per_second", stats.Seconds > 0 ? stats.Packets / stats.Seconds : 0)
        .Bool("interrupted", stats.Interrupted);
    j.BeginObject("files");
    if (!paths.Raw.empty()) j.Str("raw", paths.Raw);
    if (!paths.Csv.empty()) j.Str("csv", paths.Csv);
    if (!paths.Svg.empty()) j.Str("svg", paths.Svg);
    if (!paths.Stamps.empty()) j.Str("stamps", paths.Stamps);
    j.EndObject().EndObject();
    std::fprintf(out, "%s\n", j.Text().c_str());
    return 0;
  }
  std::fprintf(out, "acquired %.2f s from %s%s, %s packets\n", stats.Seconds, dev.Name().c_str(),
               stats.Interrupted ? " (interrupted)" : "", s.Latest ? "latest" : "all");
  std::fprintf(out, "  settings  %s\n", SettingsText(s).c_str());
  std::fprintf(out, "  packets   %s in %s replies, %s skipped\n", Grouped(stats.Packets).c_str(),
               Grouped(stats.Replies).c_str(), Grouped(stats.Skipped).c_str());
  std::fprintf(out, "  bytes     %s (%s)\n", Grouped(stats.Bytes).c_str(), FormatRate(rate).c_str());
  if (output.Samples() > 0)
    std::fprintf(out, "  samples   %s, index %s to %s\n", Grouped(output.Samples()).c_str(),
                 Grouped(output.FirstSample()).c_str(), Grouped(output.LastSample()).c_str());
  if (stats.Replies > 0)
    std::fprintf(out, "  stamps    %s us to %s us\n", Grouped(stats.FirstTimeUs).c_str(),
                 Grouped(stats.LastTimeUs).c_str());
  if (stats.Truncated > 0)
    std::fprintf(out, "  warning   %s replies filled the whole buffer and may have been cut\n",
                 Grouped(stats.Truncated).c_str());
  for (const std::string* p : {&paths.Raw, &paths.Csv, &paths.Svg, &paths.Stamps})
    if (!p->empty() && *p != "-") std::fprintf(out, "  wrote     %s\n", p->c_str());
  return 0;
}

}  // namespace velmora::cli
