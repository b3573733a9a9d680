// config, start and clear: the commands that only send. The device answers
// none of them, so success means the requests were handed over; settings
// are taken by the device when acquisition next starts.
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "commands.h"
#include "device.h"
#include "json.h"

namespace velmora::cli {
namespace {

const char ConfigHelp[] =
    "usage: velmora config [OPTIONS]\n"
    "Sends settings to a device channel. The device takes them when acquisition\n"
    "next starts (velmora start).\n"
    "  -f, --freq HZ          sample rate, 1-40000000\n"
    "  -b, --bits BITS        packet bits, 1-64 (a sample is ceil(BITS/8) bytes)\n"
    "  -B, --block BYTES      packet size in bytes, 1-16M (suffixes k, M)\n"
    "  -l, --line N=on|off    digital line N (0-31) on or off; may be repeated\n"
    "  -z, --azero on|off     auto-zero (digital line 0)\n"
    "      --json             print the result as JSON\n"
    "  -h, --help             this text\n";

const char StartHelp[] =
    "usage: velmora start [OPTIONS]\n"
    "Starts acquisition on a device channel; one already running goes on.\n"
    "  -C, --clear            discard everything and start afresh (sample 0, time 0)\n"
    "      --json             print the result as JSON\n"
    "  -h, --help             this text\n";

const char ClearHelp[] =
    "usage: velmora clear [OPTIONS]\n"
    "Stops acquisition on a device channel and discards its packets.\n"
    "      --json             print the result as JSON\n"
    "  -h, --help             this text\n";

std::string WithDeviceOptions(const char* help) {
  std::string text = help;
  const std::size_t at = text.find("      --json");
  return text.insert(at, DeviceOptionsHelp);
}

void DeviceJson(JsonWriter& j, const DeviceOptions& d, const Device& dev) {
  j.BeginObject("device")
      .Str("host", d.Host)
      .Int("channel", d.Channel)
      .Int("port", dev.Port())
      .Num("connect_ms", dev.ConnectSeconds() * 1000)
      .EndObject();
}

// Closes (which sends what is still queued first) and prints what was sent.
void Finish(Device& dev, const std::string& command, const DeviceOptions& d, bool json,
            const std::string& summary, const JsonWriter& sent) {
  dev.Close();
  if (json) {
    JsonWriter j;
    j.BeginObject().Bool("ok", true).Str("command", command);
    DeviceJson(j, d, dev);
    j.Raw("sent", sent.Text()).EndObject();
    std::printf("%s\n", j.Text().c_str());
  } else {
    std::printf("%s: sent %s\n", dev.Name().c_str(), summary.c_str());
  }
}

}  // namespace

int RunConfig(int argc, char** argv) {
  ArgReader args(argc, argv);
  DeviceOptions d;
  bool json = false;
  std::int64_t freq = -1, bits = -1, block = -1;
  int azero = -1;
  std::vector<std::pair<std::uint32_t, bool>> lines;
  std::string v;
  while (!args.Done()) {
    if (args.Flag('h', "help")) return ShowHelp(WithDeviceOptions(ConfigHelp).c_str());
    if (ReadDeviceOption(args, d)) continue;
    if (args.Flag(0, "json")) {
      json = JsonRequested = true;
    } else if (args.Value('f', "freq", v)) {
      freq = ParseInt32(v, "--freq", 1, 40000000);
    } else if (args.Value('b', "bits", v)) {
      bits = ParseInt32(v, "--bits", 1, 64);
    } else if (args.Value('B', "block", v)) {
      block = ParseBytes(v, "--block", 1, 16 << 20);
    } else if (args.Value('z', "azero", v)) {
      azero = ParseOnOff(v, "--azero") ? 1 : 0;
    } else if (args.Value('l', "line", v)) {
      const std::size_t eq = v.find('=');
      if (eq == std::string::npos) throw UsageError("--line takes N=on or N=off: " + v);
      lines.emplace_back(static_cast<std::uint32_t>(ParseInt32(v.substr(0, eq), "--line", 0, 31)),
                         ParseOnOff(v.substr(eq + 1), "--line"));
    } else {
      args.Unknown();
    }
  }
  if (freq < 0 && bits < 0 && block < 0 && azero < 0 && lines.empty())
    throw UsageError("nothing to send: give at least one setting");

  Device dev(d, true);
  const NDX_HANDLE h = dev.Handle();
  std::string summary;
  JsonWriter sent;
  sent.BeginObject();
  auto add = [&](const std::string& text) { summary += (summary.empty() ? "" : ", ") + text; };
  if (freq >= 0) {
    Check(NDX_SetFreq(h, static_cast<std::int32_t>(freq)), "NDX_SetFreq");
    add("frequency " + std::to_string(freq) + " Hz");
    sent.Int("frequency_hz", freq);
  }
  if (bits >= 0) {
    Check(NDX_SetPacketBits(h, static_cast<std::int32_t>(bits)), "NDX_SetPacketBits");
    add("packet bits " + std::to_string(bits));
    sent.Int("packet_bits", bits);
  }
  if (block >= 0) {
    Check(NDX_SetBlockSize(h, static_cast<std::int32_t>(block)), "NDX_SetBlockSize");
    add("block size " + std::to_string(block) + " bytes");
    sent.Int("block_bytes", block);
  }
  if (azero >= 0) {
    Check(NDX_SetAZero(h, azero), "NDX_SetAZero");
    add(std::string("auto-zero ") + (azero ? "on" : "off"));
    sent.Bool("azero", azero != 0);
  }
  if (!lines.empty()) {
    sent.BeginArray("lines");
    for (const auto& line : lines) {
      Check(NDX_SetMDIO1(h, line.first, line.second ? 1 : 0), "NDX_SetMDIO1");
      add("line " + std::to_string(line.first) + (line.second ? " on" : " off"));
      sent.BeginObject().UInt("line", line.first).Bool("on", line.second).EndObject();
    }
    sent.EndArray();
  }
  sent.EndObject();
  Finish(dev, "config", d, json, summary, sent);
  return 0;
}

int RunStart(int argc, char** argv) {
  ArgReader args(argc, argv);
  DeviceOptions d;
  bool json = false, clear = false;
  while (!args.Done()) {
    if (args.Flag('h', "help")) return ShowHelp(WithDeviceOptions(StartHelp).c_str());
    if (ReadDeviceOption(args, d)) continue;
    if (args.Flag(0, "json"))
      json = JsonRequested = true;
    else if (args.Flag('C', "clear"))
      clear = true;
    else
      args.Unknown();
  }
  Device dev(d, true);
  if (clear)
    Check(NDX_GoClear(dev.Handle()), "NDX_GoClear");
  else
    Check(NDX_Go(dev.Handle()), "NDX_Go");
  JsonWriter sent;
  sent.BeginObject().Str("request", clear ? "GOCLR" : "GOGO.").EndObject();
  Finish(dev, "start", d, json, clear ? "start, cleared (GOCLR)" : "start (GOGO.)", sent);
  return 0;
}

int RunClear(int argc, char** argv) {
  ArgReader args(argc, argv);
  DeviceOptions d;
  bool json = false;
  while (!args.Done()) {
    if (args.Flag('h', "help")) return ShowHelp(WithDeviceOptions(ClearHelp).c_str());
    if (ReadDeviceOption(args, d)) continue;
    if (args.Flag(0, "json"))
      json = JsonRequested = true;
    else
      args.Unknown();
  }
  Device dev(d, true);
  Check(NDX_Clear(dev.Handle()), "NDX_Clear");
  JsonWriter sent;
  sent.BeginObject().Str("request", "CLEAR").EndObject();
  Finish(dev, "clear", d, json, "clear (CLEAR)", sent);
  return 0;
}

}  // namespace velmora::cli
