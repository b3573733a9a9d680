// info: can the device be reached on a channel's two ports, how fast, and
// (with --probe) is it acquiring; or, given a FILE, what a recording holds.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

#include "acquisition/acquisition.h"
#include "commands/command.h"
#include "device/device.h"
#include "recordings/h5_recording.h"
#include "output/json_value.h"
#include "options/options.h"
#include "output/printable.h"
#include "recordings/recording.h"
#include "device/results.h"
#include "output/terminal.h"

namespace velmora::cli {
namespace {

struct PortResult {
  bool Input;
  std::uint16_t Port;
  bool Connected = false;
  double Ms = 0;
  std::int32_t Result = 0;
};

struct Probe {
  std::string State = "not probed";
  std::int32_t Result = -1, Status = 0;
  std::uint64_t TimeUs = 0;
  std::int32_t Bytes = 0;
};

// A raw recording's description from its side file (FILE.json beside it, or
// the side file named directly).
RecordingInfo ReadSideFileOf(const std::string& path, std::string& kind) {
  std::string side = path;
  std::ifstream in(side, std::ios::binary);
  const bool isJson = in && in.peek() == '{';
  if (!isJson) {
    in.close();
    side = SideFilePath(path);
    in.open(side, std::ios::binary);
    if (!in) {
      std::ifstream raw(path, std::ios::binary);
      throw Failure(raw ? path + " has no side file " + side + ": its settings are unknown" : "cannot open " + path);
    }
  }
  // One byte past the largest side file is enough to refuse a larger one.
  std::string text(MaxSideFileBytes + 1, '\0');
  in.read(&text[0], static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  if (in.bad()) throw Failure("cannot read " + side);
  kind = "raw with side file " + side;
  return ParseSideFile(text, side);
}

// Every text of the file is escaped: it reaches the terminal.
void PrintRecording(const std::string& path, const std::string& kind, const RecordingInfo& r) {
  const std::uint64_t expected = r.TargetSamples;
  std::printf("recording    %s (%s)\n", Printable(path).c_str(), Printable(kind).c_str());
  std::printf("device       %s, channel %d\n", Printable(r.Host).c_str(), r.Channel);
  std::printf("started      %s\n", r.StartUtc.empty() ? "unknown" : Printable(r.StartUtc).c_str());
  std::printf("settings     %s Hz, %d-bit samples (%d bytes) in %s-byte packets\n",
              Grouped(static_cast<std::uint64_t>(r.FrequencyHz)).c_str(), r.PacketBits, r.SampleBytes,
              Grouped(static_cast<std::uint64_t>(r.BlockBytes)).c_str());
  std::printf("lines        auto-zero %s%s%s\n", AZeroText(r.AZero).c_str(), r.Lines.empty() ? "" : ", ",
              LinesText(r.Lines).c_str());
  std::printf("mode         %s packets%s\n", Printable(r.Mode).c_str(), r.Attach ? ", attached to a running acquisition" : "");
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.6f", r.FrequencyHz > 0 ? double(r.Samples) / r.FrequencyHz : 0.0);
  std::printf("samples      %s (%s s), from sample %s%s\n", Grouped(r.Samples).c_str(), seconds,
              Grouped(r.FirstSample).c_str(), expected > 0 ? (" of " + Grouped(expected) + " asked").c_str() : "");
  std::printf("lost         %s samples\n", Grouped(r.LostSamples).c_str());
  for (std::size_t i = 0; i < r.Gaps.size() && i < 10; ++i) std::printf("             %s\n", DescribeGap(r.Gaps[i]).c_str());
  std::printf("ended        %s\n", r.Ended.empty() ? "unknown" : Printable(r.Ended).c_str());
  std::printf("versions     tool %s, library %s\n", Printable(r.ToolVersion).c_str(), Printable(r.LibraryVersion).c_str());
}

class InfoCommand : public Command {
 public:
  void Define(OptionSet& app) override {
    app.description(
        "Connects to both ports of a device channel (input and output) and shows the\n"
        "ports and how long each connection took. Given a FILE, describes that\n"
        "recording instead: an HDF5 file, or a raw file with its FILE.json.");
    app.add_option("file", File, "a recording to describe");
    app.add_flag("-p,--probe", DoProbe,
                 "also ask for the latest packet to see whether the\nchannel is acquiring (older unfetched packets are\n"
                 "discarded, as with any such request)");
    AddCommonOptions(app, Common);
  }
  bool Json() const override { return Common.Json && !ReportedAsJson; }

  int Run() override { return File.empty() ? RunDevice() : RunFile(); }

 private:
  int RunFile() {
    std::string kind = "HDF5";
    RecordingInfo r;
    if (LooksLikeHdf5(File)) {
      const H5Contents c = ReadH5File(File);
      if (c.Group) return PrintGroup(c);
      r = c.Devices.front();
    } else {
      r = ReadSideFileOf(File, kind);
    }
    if (Common.Json) {
      JsonValue j = ToJson(r);
      PrintJson(stdout, {{"ok", true}, {"command", "info"}, {"file", File}, {"kind", kind}, {"recording", j}});
    } else {
      PrintRecording(File, kind, r);
    }
    return 0;
  }

  // A group file: its spread, then each device as a recording of its own.
  int PrintGroup(const H5Contents& c) const {
    if (Common.Json) {
      JsonValue devices = JsonValue::array();
      for (const RecordingInfo& r : c.Devices) devices.push_back(ToJson(r));
      PrintJson(stdout, {{"ok", true}, {"command", "info"}, {"file", File}, {"kind", "HDF5 group"},
                         {"start_spread_s", c.StartSpreadS}, {"devices", devices}});
      return 0;
    }
    std::printf("group        %s devices, started within %.6f s of each other\n", Grouped(c.Devices.size()).c_str(),
                c.StartSpreadS);
    for (std::size_t i = 0; i < c.Devices.size(); ++i) {
      std::printf("\n");
      PrintRecording(File, "HDF5 group, device " + std::to_string(i), c.Devices[i]);
    }
    return 0;
  }

  int RunDevice() {
    const DeviceOptions& d = Common.Device;
    PortResult ports[2] = {{true, wire::DevicePort(true, d.Channel)}, {false, wire::DevicePort(false, d.Channel)}};
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
    Probe probe;
    if (DoProbe && input) probe = ProbeAcquisition(input->Handle(), firstFailure);
    if (input) input->Close();
    PrintDevice(ports, probe, firstFailure != nullptr);
    if (firstFailure) {
      ReportedAsJson = true;  // the object above already reports it
      throw *firstFailure;
    }
    return 0;
  }

  static Probe ProbeAcquisition(NDX_HANDLE h, std::unique_ptr<Failure>& firstFailure) {
    Probe p;
    std::unique_ptr<unsigned char[]> data(new unsigned char[ReplyCapacity]);
    unsigned char time[16];
    std::int32_t timeCount = sizeof time, dataCount = ReplyCapacity;
    p.Result = NDX_GetLatestPacketAndDiscard(h, &timeCount, time, &dataCount, data.get());
    if (p.Result == NDX_ERROR_SUCCESS) {
      for (int i = std::min<std::int32_t>(timeCount, 8) - 1; i >= 0; --i) p.TimeUs = (p.TimeUs << 8) | time[i];
      p.Bytes = dataCount;
      p.State = "acquiring: latest packet at " + Grouped(p.TimeUs) + " us, " +
                Grouped(static_cast<std::uint64_t>(p.Bytes)) + " bytes";
    } else if (p.Result == NDX_ERROR_BAD_NET_RESP) {
      p.Status = LibraryLastError();
      const char* meaning = DeviceStatusMeaning(p.Status);
      p.State = p.Status == 2 ? "acquiring, no new packet yet" : (meaning ? meaning : "not acquiring");
      p.State += " (NOWRK status " + std::to_string(p.Status) + ")";
    } else if (p.Result == NDX_ERROR_BAD_DEV_TYPE) {
      p.State = "in fault: it was started with settings out of range (IOERR)";
    } else {
      p.State = "probe failed: " + DescribeResult(p.Result);
      if (!firstFailure) firstFailure.reset(new Failure("NDX_GetLatestPacketAndDiscard", p.Result));
    }
    return p;
  }

  void PrintDevice(const PortResult (&ports)[2], const Probe& probe, bool failed) const {
    const DeviceOptions& d = Common.Device;
    if (Common.Json) {
      JsonValue list = JsonValue::array();
      for (const PortResult& p : ports) {
        JsonValue port = {{"direction", p.Input ? "input" : "output"}, {"port", p.Port}, {"connected", p.Connected}};
        if (p.Connected) {
          port["connect_ms"] = p.Ms;
        } else {
          port["result"] = p.Result;
          port["result_name"] = FindResult(p.Result) ? FindResult(p.Result)->Name : "";
        }
        list.push_back(port);
      }
      JsonValue j = {{"ok", !failed}, {"command", "info"}, {"host", d.Host}, {"channel", d.Channel}, {"ports", list}};
      if (DoProbe) {
        JsonValue p = {{"result", probe.Result}};
        if (probe.Result == NDX_ERROR_BAD_NET_RESP) p["device_status"] = probe.Status;
        if (probe.Result == NDX_ERROR_SUCCESS) p["time_us"] = probe.TimeUs, p["bytes"] = probe.Bytes;
        p["state"] = probe.State;
        j["probe"] = p;
      }
      PrintJson(stdout, j);
      return;
    }
    std::printf("device       %s, channel %d\n", d.Host.c_str(), d.Channel);
    for (const PortResult& p : ports) {
      std::printf("%-12s port 0x%04X (%u)  ", p.Input ? "input" : "output", p.Port, p.Port);
      if (p.Connected)
        std::printf("connected in %.3f ms\n", p.Ms);
      else
        std::printf("not reachable: %s\n", DescribeResult(p.Result).c_str());
    }
    std::printf("acquisition  %s\n", probe.State.c_str());
  }

  CommonOptions Common;
  std::string File;
  bool DoProbe = false;
  bool ReportedAsJson = false;
};

}  // namespace

std::unique_ptr<Command> MakeInfoCommand() { return std::make_unique<InfoCommand>(); }

}  // namespace velmora::cli
