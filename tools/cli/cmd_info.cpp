// info: can the device be reached on a channel's two ports, how fast, and
// (with --probe) is it acquiring.
#include <cstdio>
#include <memory>
#include <string>

#include "commands.h"
#include "device.h"
#include "json.h"
#include "results.h"
#include "terminal.h"

namespace velmora::cli {
namespace {

const char Help[] =
    "usage: velmora info [OPTIONS]\n"
    "Connects to both ports of a device channel (input and output) and shows the\n"
    "ports and how long each connection took.\n"
    "  -p, --probe            also ask for the latest packet to see whether the\n"
    "                         channel is acquiring (older unfetched packets are\n"
    "                         discarded, as with any such request)\n"
    "      --json             print the result as JSON\n"
    "  -h, --help             this text\n";

struct PortResult {
  bool Input;
  std::uint16_t Port;
  bool Connected = false;
  double Ms = 0;
  std::int32_t Result = 0;
};

}  // namespace

int RunInfo(int argc, char** argv) {
  ArgReader args(argc, argv);
  DeviceOptions d;
  bool json = false, probe = false;
  while (!args.Done()) {
    if (args.Flag('h', "help")) {
      std::string text = Help;
      return ShowHelp(text.insert(text.find("  -p, --probe"), DeviceOptionsHelp).c_str());
    }
    if (ReadDeviceOption(args, d)) continue;
    if (args.Flag(0, "json"))
      json = JsonRequested = true;
    else if (args.Flag('p', "probe"))
      probe = true;
    else
      args.Unknown();
  }

  PortResult ports[2] = {{true, DevicePort(d.Channel, true)}, {false, DevicePort(d.Channel, false)}};
  std::unique_ptr<Failure> firstFailure;
  std::unique_ptr<Device> input;
  for (PortResult& p : ports) {
    try {
      std::unique_ptr<Device> dev(new Device(d, p.Input));
      p.Connected = true;
      p.Ms = dev->ConnectSeconds() * 1000;
      if (p.Input) input = std::move(dev);
    } catch (const Failure& f) {
      p.Result = f.Result;
      if (!firstFailure) firstFailure.reset(new Failure(f));
    }
  }

  std::string state = "not probed";
  std::int32_t probeResult = -1, probeStatus = 0;
  std::uint64_t stamp = 0;
  std::int32_t bytes = 0;
  if (probe && input) {
    std::unique_ptr<unsigned char[]> data(new unsigned char[(16 << 20) + 1]);
    unsigned char time[16];
    std::int32_t timeCount = sizeof time, dataCount = (16 << 20) + 1;
    probeResult = NDX_GetLatestPacketAndDiscard(input->Handle(), &timeCount, time, &dataCount, data.get());
    if (probeResult == NDX_ERROR_SUCCESS) {
      for (int i = std::min<std::int32_t>(timeCount, 8) - 1; i >= 0; --i) stamp = (stamp << 8) | time[i];
      bytes = dataCount;
      state = "acquiring: latest packet at " + Grouped(stamp) + " us, " +
              Grouped(static_cast<std::uint64_t>(bytes)) + " bytes";
    } else if (probeResult == NDX_ERROR_BAD_NET_RESP) {
      probeStatus = LibraryLastError();
      state = probeStatus == 2 ? "acquiring, no new packet yet"
                               : (DeviceStatusMeaning(probeStatus) ? DeviceStatusMeaning(probeStatus)
                                                                    : "not acquiring");
      state += " (NOWRK status " + std::to_string(probeStatus) + ")";
    } else if (probeResult == NDX_ERROR_BAD_DEV_TYPE) {
      state = "in fault: it was started with settings out of range (IOERR)";
    } else {
      state = "probe failed: " + DescribeResult(probeResult);
      if (!firstFailure) firstFailure.reset(new Failure("NDX_GetLatestPacketAndDiscard", probeResult));
    }
  }
  if (input) input->Close();

  if (json) {
    JsonWriter j;
    j.BeginObject().Bool("ok", !firstFailure).Str("command", "info").Str("host", d.Host).Int("channel", d.Channel);
    j.BeginArray("ports");
    for (const PortResult& p : ports) {
      j.BeginObject().Str("direction", p.Input ? "input" : "output").Int("port", p.Port).Bool("connected", p.Connected);
      if (p.Connected) j.Num("connect_ms", p.Ms);
      else j.Int("result", p.Result).Str("result_name", FindResult(p.Result) ? FindResult(p.Result)->Name : "");
      j.EndObject();
    }
    j.EndArray();
    if (probe) {
      j.BeginObject("probe").Int("result", probeResult);
      if (probeResult == NDX_ERROR_BAD_NET_RESP) j.Int("device_status", probeStatus);
      if (probeResult == NDX_ERROR_SUCCESS) j.UInt("time_us", stamp).Int("bytes", bytes);
      j.Str("state", state).EndObject();
    }
    j.EndObject();
    std::printf("%s\n", j.Text().c_str());
  } else {
    std::printf("device       %s, channel %d\n", d.Host.c_str(), d.Channel);
    for (const PortResult& p : ports) {
      std::printf("%-12s port 0x%04X (%u)  ", p.Input ? "input" : "output", p.Port, p.Port);
      if (p.Connected)
        std::printf("connected in %.3f ms\n", p.Ms);
      else
        std::printf("not reachable: %s\n", DescribeResult(p.Result).c_str());
    }
    std::printf("acquisition  %s\n", state.c_str());
  }
  if (firstFailure) {
    JsonRequested = false;  // the object above already reports it
    throw *firstFailure;
  }
  return 0;
}

}  // namespace velmora::cli
