// demo: the whole tool at work against a simulated device that runs inside
// this process, with nothing to set up. The simulated device is only the
// far end of the sockets: every step talks to it through the library's
// public functions, exactly as the other subcommands do.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "acquisition/acquire_output.h"
#include "acquisition/acquisition.h"
#include "commands/command.h"
#include "device/device.h"
#include "options/options.h"
#include "recordings/recording.h"
#include "sim/simulated_device.h"
#include "output/terminal.h"

namespace velmora::cli {
namespace {

void Step(int n, const char* title) { std::printf("\n[%d/6] %s\n", n, title); }
void ByHand(const std::string& command) { std::printf("      by hand: %s\n", command.c_str()); }

struct RoundTrips {
  double Median = 0, Min = 0, P99 = 0;
};

struct AcquireResult {
  AcquireStats Stats;
  std::uint64_t Samples = 0;
  bool InSequence = false;
  double Rate = 0;
};

struct BlockResult {
  bool Intact = true;
  double BestPut = 0, BestGet = 0;
};

class DemoCommand : public Command {
 public:
  void Define(OptionSet& app) override {
    app.description(
        "Starts a simulated device on a loopback address inside this process and\n"
        "shows the tool at work: connect, round trips, configure, acquire with live\n"
        "progress into raw, CSV and SVG files, write a data block and read it back,\n"
        "and a summary with the measured rates. Needs no device and no set-up.");
    app.add_option("-a,--address", Address,
                   "loopback address for the simulated device\n(default: the first free of 127.0.0.1-127.0.0.5)")
        ->type_name("ADDRESS");
    app.add_option("-o,--output", Dir, "folder for the files (default velmora-demo)")->type_name("DIR");
    app.add_option("-t,--seconds", Seconds_, "how long to acquire (default 4)")->type_name("S")->check(Seconds);
    app.add_flag("-q,--quiet", Quiet, "no progress line");
  }

  int Run() override {
    if (Seconds_ <= 0) throw UsageError("--seconds must be more than 0");
    const double began = NowSeconds();
    std::error_code ec;
    std::filesystem::create_directories(Dir, ec);
    if (ec) throw Failure("cannot create " + Dir + ": " + ec.message());
    Folder = Dir + "/";

    Step(1, "simulated device");
    StartDevice();
    Step(2, "connect an input and an output handle to channel 0");
    DeviceOptions d;
    d.Host = Address;
    Device input(d, true);
    Device output(d, false);
    std::printf("      %s: connected in %.3f ms\n", input.Name().c_str(), input.ConnectSeconds() * 1000);
    std::printf("      %s: connected in %.3f ms\n", output.Name().c_str(), output.ConnectSeconds() * 1000);
    const RoundTrips rtt = MeasureRoundTrips(input.Handle());
    Step(3, "configure: 50 kHz, 16-bit samples, 1000-byte packets, auto-zero off; start afresh");
    const AcquireSettings s = DemoSettings();
    char title[96];
    std::snprintf(title, sizeof title, "acquire for %g s, every packet, with time stamps", Seconds_);
    Step(4, title);
    const AcquireResult acq = AcquireStep(input.Handle(), s);
    Step(5, "write an 8 MiB data block, read it back, compare (three rounds)");
    const BlockResult block = BlockStep(input.Handle(), output.Handle());
    input.Close();
    output.Close();
    Sim->Stop();
    Step(6, "summary");
    return Summary(rtt, acq, block, NowSeconds() - began);
  }

 private:
  void StartDevice() {
    std::vector<std::string> candidates;
    if (!Address.empty()) candidates.push_back(Address);
    else
      for (int i = 1; i <= 5; ++i) candidates.push_back("127.0.0." + std::to_string(i));
    for (const std::string& a : candidates) {
      Sim.reset(new velmora::sim::SimulatedDevice(a));
      Sim->SetRecording(false);
      if (Sim->Start()) {
        Address = a;
        break;
      }
      Sim.reset();
    }
    if (!Sim) throw Failure("cannot listen on " + candidates.front() + " (ports 0xED00-0xED1F in use?)");
    std::printf("      listening on %s, ports 0xED00-0xED1F, inside this process\n", Address.c_str());
    ByHand("velmora sim -a " + Address);
  }

  // The device is idle, so packet requests take nothing away: each is a
  // plain round trip answered "NOWRK" status 1.
  RoundTrips MeasureRoundTrips(NDX_HANDLE h) {
    std::vector<double> rtts;
    for (int i = 0; i < 200; ++i) {
      std::int32_t timeCount = 8, dataCount = 1;
      unsigned char time[8], data[1];
      const double t = NowSeconds();
      const std::int32_t r = NDX_GetLatestPacketAndDiscard(h, &timeCount, time, &dataCount, data);
      rtts.push_back((NowSeconds() - t) * 1000);
      if (r != NDX_ERROR_BAD_NET_RESP) Check(r, "NDX_GetLatestPacketAndDiscard");
    }
    std::sort(rtts.begin(), rtts.end());
    RoundTrips r{rtts[rtts.size() / 2], rtts.front(), rtts[rtts.size() * 99 / 100]};
    std::printf("      200 round trips: median %.3f ms, min %.3f ms, p99 %.3f ms\n", r.Median, r.Min, r.P99);
    ByHand("velmora ping -H " + Address + " -n 200 -i 0");
    return r;
  }

  AcquireSettings DemoSettings() const {
    AcquireSettings s;
    s.Format.FrequencyHz = 50000;
    s.PacketBits = 16;
    s.Format.SampleBytes = SampleBytesFor(s.PacketBits);
    s.Format.BlockBytes = 1000;
    s.AZero = 0;
    s.Seconds = Seconds_;
    std::printf("      NDX_SetFreq, NDX_SetPacketBits, NDX_SetBlockSize, NDX_SetAZero, NDX_GoClear\n");
    ByHand("velmora config -H " + Address + " -f 50000 -b 16 -B 1000 -z off && velmora start -H " + Address +
           " --clear");
    return s;
  }

  AcquireResult AcquireStep(NDX_HANDLE h, const AcquireSettings& s) {
    OutputPaths paths;
    paths.Raw = Folder + "acquire.bin";
    paths.H5 = H5Recording::Available() ? Folder + "acquire.h5" : "";
    paths.Csv = Folder + "acquire.csv";
    paths.Svg = Folder + "acquire.svg";
    paths.Stamps = Folder + "stamps.csv";
    AcquireOutput files(paths, DescribeRun(Address, 0, s));
    // The simulated device sends sample n as the value n, cut to 16 bits.
    std::uint64_t outOfSequence = 0, expectedIndex = 0;
    files.OnSample = [&](std::uint64_t index, std::uint64_t value) {
      if (index != expectedIndex || value != (index & 0xFFFF)) ++outOfSequence;
      expectedIndex = index + 1;
    };
    AcquireResult r;
    {
      ProgressLine progress(!Quiet);
      CatchInterrupt();
      Acquire(h, s, files, progress, r.Stats);
    }
    files.Finish(r.Stats, r.Stats.Interrupted ? "interrupted" : "complete", "Samples against time",
                 "simulated device " + Address + " \xC2\xB7 50,000 Hz \xC2\xB7 16-bit samples in 1000-byte packets");
    r.Samples = files.Samples();
    r.InSequence = outOfSequence == 0 && r.Samples > 0;
    r.Rate = r.Stats.Seconds > 0 ? r.Stats.Bytes / r.Stats.Seconds : 0;
    std::printf("      %s packets in %s replies, %s samples (%s asked), %s lost, %s bytes in %.2f s (%s)\n",
                Grouped(r.Stats.Packets).c_str(), Grouped(r.Stats.Replies).c_str(), Grouped(r.Samples).c_str(),
                Grouped(r.Stats.TargetSamples).c_str(), Grouped(r.Stats.LostSamples).c_str(),
                Grouped(r.Stats.Bytes).c_str(), r.Stats.Seconds, FormatRate(r.Rate).c_str());
    std::printf("      samples %s\n", r.InSequence ? "in sequence: sample n has the value n (16 bits)" : "OUT OF SEQUENCE");
    std::string written;
    for (const std::string& f : files.Written()) written += (written.empty() ? "" : ", ") + f;
    std::printf("      wrote %s\n", written.c_str());
    if (std::FILE* csv = std::fopen(paths.Csv.c_str(), "rb")) {
      char line[128];
      std::printf("      %s begins:\n", paths.Csv.c_str());
      for (int i = 0; i < 4 && std::fgets(line, sizeof line, csv); ++i) std::printf("        %s", line);
      std::fclose(csv);
    }
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g", Seconds_);
    ByHand("velmora acquire -H " + Address + " -f 50000 -b 16 -B 1000 -t " + seconds +
           (paths.H5.empty() ? "" : " --h5 " + paths.H5) + " --csv " + paths.Csv + " --svg " + paths.Svg + " " +
           paths.Raw);
    return r;
  }

  BlockResult BlockStep(NDX_HANDLE in, NDX_HANDLE out) {
    const std::int32_t blockBytes = 8 << 20;
    std::vector<unsigned char> block(static_cast<std::size_t>(blockBytes));
    std::uint32_t x = 0x2545F491u;  // start of the pattern
    for (unsigned char& b : block) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      b = static_cast<unsigned char>(x);
    }
    // Three rounds: the first also pays for growing the library's and the
    // device's buffers into fresh memory, the later ones show the steady rate.
    std::vector<unsigned char> back(static_cast<std::size_t>(blockBytes));
    BlockResult r;
    for (int round = 1; round <= 3; ++round) {
      std::int32_t taken = blockBytes;
      double t = NowSeconds();
      Check(NDX_PutData(out, &taken, block.data()), "NDX_PutData");
      const double putSeconds = NowSeconds() - t;
      std::fill(back.begin(), back.end(), 0);
      std::int32_t got = blockBytes;
      t = NowSeconds();
      Check(NDX_GetData(in, &got, back.data()), "NDX_GetData");
      const double getSeconds = NowSeconds() - t;
      const bool same = taken == blockBytes && got == blockBytes && back == block;
      r.Intact = r.Intact && same;
      r.BestPut = std::max(r.BestPut, blockBytes / putSeconds);
      r.BestGet = std::max(r.BestGet, got / getSeconds);
      std::printf("      round %d: NDX_PutData sent %s bytes, the device took %s (%.1f ms, %s);\n"
                  "               NDX_GetData got %s bytes back (%.1f ms, %s): %s\n",
                  round, Grouped(blockBytes).c_str(), Grouped(static_cast<std::uint64_t>(taken)).c_str(),
                  putSeconds * 1000, FormatRate(blockBytes / putSeconds).c_str(),
                  Grouped(static_cast<std::uint64_t>(got)).c_str(), getSeconds * 1000,
                  FormatRate(got / getSeconds).c_str(), same ? "identical" : "DIFFERENT");
    }
    Save(Folder + "block.bin", block);
    Save(Folder + "block-read.bin", back);
    ByHand("velmora write -H " + Address + " " + Folder + "block.bin && velmora read -H " + Address + " -n 8M " +
           Folder + "block-read.bin && cmp " + Folder + "block.bin " + Folder + "block-read.bin");
    return r;
  }

  static void Save(const std::string& path, const std::vector<unsigned char>& bytes) {
    OutputFile f(path);
    f.Write(bytes.data(), bytes.size());
    f.Close();
  }

  int Summary(const RoundTrips& rtt, const AcquireResult& acq, const BlockResult& block, double took) const {
    const bool ok = block.Intact && acq.InSequence && acq.Stats.LostSamples == 0;
    const double seconds = acq.Stats.Seconds > 0 ? acq.Stats.Seconds : 1;
    std::printf("      simulated device  %s, channel 0 (input port 0x%04X, output port 0x%04X)\n", Address.c_str(),
                wire::DevicePort(true, 0), wire::DevicePort(false, 0));
    std::printf("      round trip        median %.3f ms (min %.3f, p99 %.3f) over 200 requests\n", rtt.Median, rtt.Min,
                rtt.P99);
    std::printf("      acquisition       %.2f s: %s packets/s, %s samples/s, %s\n", acq.Stats.Seconds,
                Grouped(static_cast<std::uint64_t>(acq.Stats.Packets / seconds + 0.5)).c_str(),
                Grouped(static_cast<std::uint64_t>(acq.Samples / seconds + 0.5)).c_str(), FormatRate(acq.Rate).c_str());
    std::printf("      data block        8 MiB, best of 3: written at %s, read back at %s, %s\n",
                FormatRate(block.BestPut).c_str(), FormatRate(block.BestGet).c_str(),
                block.Intact ? "intact" : "NOT INTACT");
    std::printf("      files             %s\n", Dir.c_str());
    std::printf("      took              %.1f s\n", took);
    std::printf("\n%s\n", ok ? "demo finished: every check passed" : "demo finished: A CHECK FAILED");
    return ok ? 0 : 1;
  }

  std::string Address, Dir = "velmora-demo", Folder;
  double Seconds_ = 4;
  bool Quiet = false;
  std::unique_ptr<velmora::sim::SimulatedDevice> Sim;
};

}  // namespace

std::unique_ptr<Command> MakeDemoCommand() { return std::make_unique<DemoCommand>(); }

}  // namespace velmora::cli
