// demo: the whole tool at work against a simulated device that runs inside
// this process, with nothing to set up. The simulated device is only the
// far end of the sockets: every step talks to it through the library's
// public functions, exactly as the other subcommands do.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "acquire_output.h"
#include "acquisition.h"
#include "commands.h"
#include "device.h"
#include "results.h"
#include "sim/simulated_device.h"
#include "terminal.h"

namespace velmora::cli {
namespace {

const char Help[] =
    "usage: velmora demo [OPTIONS]\n"
    "Starts a simulated device on a loopback address inside this process and\n"
    "shows the tool at work: connect, round trips, configure, acquire with live\n"
    "progress into raw, CSV and SVG files, write a data block and read it back,\n"
    "and a summary with the measured rates. Needs no device and no set-up.\n"
    "  -a, --address ADDRESS  loopback address for the simulated device\n"
    "                         (default: the first free of 127.0.0.1-127.0.0.5)\n"
    "  -o, --output DIR       folder for the files (default velmora-demo)\n"
    "  -t, --seconds S        how long to acquire (default 4)\n"
    "  -q, --quiet            no progress line\n"
    "  -h, --help             this text\n";

void Step(int n, const char* title) { std::printf("\n[%d/6] %s\n", n, title); }
void ByHand(const std::string& command) { std::printf("      by hand: %s\n", command.c_str()); }

}  // namespace

int RunDemo(int argc, char** argv) {
  ArgReader args(argc, argv);
  std::string address, dir = "velmora-demo", v;
  double seconds = 4;
  bool quiet = false;
  while (!args.Done()) {
    if (args.Flag('h', "help")) return ShowHelp(Help);
    if (args.Value('a', "address", v))
      address = v;
    else if (args.Value('o', "output", v))
      dir = v;
    else if (args.Value('t', "seconds", v))
      seconds = ParseSeconds(v, "--seconds");
    else if (args.Flag('q', "quiet"))
      quiet = true;
    else
      args.Unknown();
  }
  if (seconds <= 0) throw UsageError("--seconds must be more than 0");
  const double began = NowSeconds();
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) throw Failure("cannot create " + dir + ": " + ec.message());
  const std::string folder = dir + "/";

  Step(1, "simulated device");
  std::vector<std::string> candidates;
  if (!address.empty()) candidates.push_back(address);
  else
    for (int i = 1; i <= 5; ++i) candidates.push_back("127.0.0." + std::to_string(i));
  std::unique_ptr<velmora::sim::SimulatedDevice> sim;
  for (const std::string& a : candidates) {
    sim.reset(new velmora::sim::SimulatedDevice(a));
    sim->SetRecording(false);
    if (sim->Start()) {
      address = a;
      break;
    }
    sim.reset();
  }
  if (!sim) throw Failure("cannot listen on " + candidates.front() + " (ports 0xED00-0xED1F in use?)");
  std::printf("      listening on %s, ports 0xED00-0xED1F, inside this process\n", address.c_str());
  ByHand("velmora sim -a " + address);

  Step(2, "connect an input and an output handle to channel 0");
  DeviceOptions d;
  d.Host = address;
  Device input(d, true);
  Device output(d, false);
  std::printf("      %s: connected in %.3f ms\n", input.Name().c_str(), input.ConnectSeconds() * 1000);
  std::printf("      %s: connected in %.3f ms\n", output.Name().c_str(), output.ConnectSeconds() * 1000);
  // The device is idle, so packet requests take nothing away: each is a
  // plain round trip answered "NOWRK" status 1.
  std::vector<double> rtts;
  for (int i = 0; i < 200; ++i) {
    std::int32_t timeCount = 8, dataCount = 1;
    unsigned char time[8], data[1];
    const double t = NowSeconds();
    const std::int32_t r = NDX_GetLatestPacketAndDiscard(input.Handle(), &timeCount, time, &dataCount, data);
    rtts.push_back((NowSeconds() - t) * 1000);
    if (r != NDX_ERROR_BAD_NET_RESP) Check(r, "NDX_GetLatestPacketAndDiscard");
  }
  std::sort(rtts.begin(), rtts.end());
  const double rttMedian = rtts[rtts.size() / 2], rttMin = rtts.front(),
               rttP99 = rtts[rtts.size() * 99 / 100];
  std::printf("      200 round trips: median %.3f ms, min %.3f ms, p99 %.3f ms\n", rttMedian, rttMin, rttP99);
  ByHand("velmora ping -H " + address + " -n 200 -i 0");

  Step(3, "configure: 50 kHz, 16-bit samples, 1000-byte packets, auto-zero off; start afresh");
  AcquireSettings s;
  s.Format.FrequencyHz = 50000;
  s.PacketBits = 16;
  s.Format.SampleBytes = SampleBytesFor(s.PacketBits);
  s.Format.BlockBytes = 1000;
  s.AZero = 0;
  s.Seconds = seconds;
  std::printf("      NDX_SetFreq, NDX_SetPacketBits, NDX_SetBlockSize, NDX_SetAZero, NDX_GoClear\n");
  ByHand("velmora config -H " + address + " -f 50000 -b 16 -B 1000 -z off && velmora start -H " +
         address + " --clear");

  char title[96];
  std::snprintf(title, sizeof title, "acquire for %g s, every packet, with time stamps", seconds);
  Step(4, title);
  OutputPaths paths;
  paths.Raw = folder + "acquire.bin";
  paths.Csv = folder + "acquire.csv";
  paths.Svg = folder + "acquire.svg";
  paths.Stamps = folder + "stamps.csv";
  AcquireOutput files(paths, s.Format);
  // The simulated device sends sample n as the value n, cut to 16 bits.
  std::uint64_t outOfSequence = 0, expectedIndex = 0;
  files.OnSample = [&](std::uint64_t index, std::uint64_t value) {
    if (index != expectedIndex || value != (index & 0xFFFF)) ++outOfSequence;
    expectedIndex = index + 1;
  };
  AcquireStats stats;
  {
    ProgressLine progress(!quiet);
    CatchInterrupt();
    Acquire(input.Handle(), s, files, progress, stats);
  }
  files.Finish("Samples against time",
               "simulated device " + address + " \xC2\xB7 50,000 Hz \xC2\xB7 16-bit samples in 1000-byte packets");
  const double acqRate = stats.Seconds > 0 ? stats.Bytes / stats.Seconds : 0;
  std::printf("      %s packets in %s replies, %s samples, %s bytes in %.2f s (%s)\n",
              Grouped(stats.Packets).c_str(), Grouped(stats.Replies).c_str(),
              Grouped(files.Samples()).c_str(), Grouped(stats.Bytes).c_str(), stats.Seconds,
              FormatRate(acqRate).c_str());
  std::printf("      samples %s\n", outOfSequence == 0 && files.Samples() > 0
                                         ? "in sequence: sample n has the value n (16 bits)"
                                         : "OUT OF SEQUENCE");
  std::printf("      wrote %s, %s, %s, %s\n", paths.Raw.c_str(), paths.Csv.c_str(), paths.Svg.c_str(),
              paths.Stamps.c_str());
  if (std::FILE* csv = std::fopen(paths.Csv.c_str(), "rb")) {
    char line[128];
    std::printf("      %s begins:\n", paths.Csv.c_str());
    for (int i = 0; i < 4 && std::fgets(line, sizeof line, csv); ++i) std::printf("        %s", line);
    std::fclose(csv);
  }
  std::snprintf(title, sizeof title, "%g", seconds);
  ByHand("velmora acquire -H " + address + " -f 50000 -b 16 -B 1000 -t " + title + " --csv " +
         paths.Csv + " --svg " + paths.Svg + " " + paths.Raw);

  Step(5, "write an 8 MiB data block, read it back, compare (three rounds)");
  const std::int32_t blockBytes = 8 << 20;
  std::vector<unsigned char> block(static_cast<std::size_t>(blockBytes));
  std::uint32_t x = 0x2545F491u;  // salt for the pattern
  for (unsigned char& b : block) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<unsigned char>(x);
  }
  // Three rounds: the first also pays for growing the library's and the
  // device's buffers into fresh memory, the later ones show the steady rate.
  std::vector<unsigned char> back(static_cast<std::size_t>(blockBytes));
  bool intact = true;
  double bestPut = 0, bestGet = 0;
  for (int round = 1; round <= 3; ++round) {
    std::int32_t taken = blockBytes;
    double t = NowSeconds();
    Check(NDX_PutData(output.Handle(), &taken, block.data()), "NDX_PutData");
    const double putSeconds = NowSeconds() - t;
    std::fill(back.begin(), back.end(), 0);
    std::int32_t got = blockBytes;
    t = NowSeconds();
    Check(NDX_GetData(input.Handle(), &got, back.data()), "NDX_GetData");
    const double getSeconds = NowSeconds() - t;
    const bool same = taken == blockBytes && got == blockBytes && back == block;
    intact = intact && same;
    bestPut = std::max(bestPut, blockBytes / putSeconds);
    bestGet = std::max(bestGet, got / getSeconds);
    std::printf("      round %d: NDX_PutData sent %s bytes, the device took %s (%.1f ms, %s);\n"
                "               NDX_GetData got %s bytes back (%.1f ms, %s): %s\n",
                round, Grouped(blockBytes).c_str(), Grouped(static_cast<std::uint64_t>(taken)).c_str(),
                putSeconds * 1000, FormatRate(blockBytes / putSeconds).c_str(),
                Grouped(static_cast<std::uint64_t>(got)).c_str(), getSeconds * 1000,
                FormatRate(got / getSeconds).c_str(), same ? "identical" : "DIFFERENT");
  }
  auto save = [](const std::string& path, const std::vector<unsigned char>& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) throw Failure("cannot create " + path);
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (std::fclose(f) != 0 || !ok) throw Failure("cannot write " + path);
  };
  save(folder + "block.bin", block);
  save(folder + "block-read.bin", back);
  ByHand("velmora write -H " + address + " " + folder + "block.bin && velmora read -H " + address +
         " -n 8M " + folder + "block-read.bin && cmp " + folder + "block.bin " + folder + "block-read.bin");

  input.Close();
  output.Close();
  sim->Stop();

  Step(6, "summary");
  const bool ok = intact && outOfSequence == 0 && files.Samples() > 0;
  std::printf("      simulated device  %s, channel 0 (input port 0x%04X, output port 0x%04X)\n", address.c_str(),
              DevicePort(0, true), DevicePort(0, false));
  std::printf("      round trip        median %.3f ms (min %.3f, p99 %.3f) over 200 requests\n", rttMedian,
              rttMin, rttP99);
  std::printf("      acquisition       %.2f s: %s packets/s, %s samples/s, %s\n", stats.Seconds,
              Grouped(static_cast<std::uint64_t>(stats.Packets / stats.Seconds + 0.5)).c_str(),
              Grouped(static_cast<std::uint64_t>(files.Samples() / stats.Seconds + 0.5)).c_str(),
              FormatRate(acqRate).c_str());
  std::printf("      data block        8 MiB, best of 3: written at %s, read back at %s, %s\n",
              FormatRate(bestPut).c_str(), FormatRate(bestGet).c_str(), intact ? "intact" : "NOT INTACT");
  std::printf("      files             %s (the plot: %s)\n", dir.c_str(), paths.Svg.c_str());
  std::printf("      took              %.1f s\n", NowSeconds() - began);
  std::printf("\n%s\n", ok ? "demo finished: every check passed" : "demo finished: A CHECK FAILED");
  return ok ? 0 : 1;
}

}  // namespace velmora::cli
