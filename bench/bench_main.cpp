// velmora-bench: the library against a raw socket client, both talking to the
// simulated device started inside this program on 127.<net>.0.200, where
// <net> is VELMORA_TEST_NET (0 when unset), as in the tests.
//
//   velmora-bench            full run (make bench)
//   velmora-bench --smoke    a few seconds, for CI (make bench-smoke)
//   velmora-bench --reps N   N repetitions of every measure (default 5)
//   velmora-bench --only a,b run only these groups: small, command, bulk,
//                            rate, many, codec, memory
//   velmora-bench --loop W N one side of one operation N times, nothing
//                            else, for profilers (see profile_loop.cpp)
//   velmora-bench --stream-raw ADDRESS SECONDS HZ BITS BLOCK
//                            the raw client of bench/stream_cpu.py
//
// Every figure is a ratio to a reference measured in the same run: on a
// shared 2-core machine absolute times drift from run to run, ratios much
// less. The exit status is 0 whether or not targets are met; 2 when a call
// failed.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "device/device_api.h"
#include "measures.h"

using namespace velmora;
using namespace velmora::bench;

namespace {

std::string SelfPath() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return std::string();
  path[n] = '\0';
  return path;
}

bool Wanted(const std::string& only, const char* group) {
  if (only.empty()) return true;
  return ("," + only + ",").find("," + std::string(group) + ",") != std::string::npos;
}

}  // namespace

int main(int argc, char** argv) {
  Settings s;
  std::string only, loop;
  int loopCount = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--memory-child" && i + 2 < argc) {
      return MemoryChild(argv[i + 1], std::strcmp(argv[i + 2], "library") == 0);
    } else if (a == "--stream-raw" && i + 5 < argc) {
      return StreamRaw(argv[i + 1], std::atof(argv[i + 2]), std::atoi(argv[i + 3]),
                       std::atoi(argv[i + 4]), std::atoi(argv[i + 5]));
    } else if (a == "--smoke") {
      s.Smoke = true;
    } else if (a == "--reps" && i + 1 < argc) {
      s.Reps = std::atoi(argv[++i]);
    } else if (a == "--loop" && i + 2 < argc) {
      loop = argv[++i];
      loopCount = std::atoi(argv[++i]);
    } else if (a == "--only" && i + 1 < argc) {
      only = argv[++i];
    } else {
      std::fprintf(stderr, "usage: %s [--smoke] [--reps N] [--only groups] [--loop what N]\n",
                   argv[0]);
      return 1;
    }
  }
  if (s.Smoke) s.Reps = 1;
  if (s.Reps < 1 || s.Reps > 1000) s.Reps = 5;
  s.SelfPath = SelfPath();

  sim::SimulatedDevice device(s.Address);
  if (!device.Start()) {
    std::fprintf(stderr, "velmora-bench: cannot listen on %s\n", s.Address.c_str());
    return 2;
  }
  device.SetRecording(false);  // keeping every chunk would grow without bound

  Links l;
  l.Device = &device;
  l.In = device::Connect(s.Address.c_str(), 1, 0);
  l.Out = device::Connect(s.Address.c_str(), 0, 0);
  const std::size_t maxFrame = (16u << 20) + 64;
  if (l.In == nullptr || l.Out == nullptr ||
      !l.RawIn.Open(s.Address.c_str(), sim::InputPort(0), true, maxFrame) ||
      !l.RawOut.Open(s.Address.c_str(), sim::OutputPort(0), true, 64) ||
      !l.RawNagle.Open(s.Address.c_str(), sim::InputPort(0), false, 64)) {
    std::fprintf(stderr, "velmora-bench: cannot connect to the simulated device\n");
    return 2;
  }
  std::int32_t timeoutMs = 10000;  // a 16 MiB reply on a busy machine
  device::SetTimeout(l.In, timeoutMs);
  device::SetTimeout(l.Out, timeoutMs);

  if (!loop.empty()) {
    const int rc = ProfileLoop(l, loop, loopCount);
    device::Close(l.In);
    device::Close(l.Out);
    device.Stop();
    return rc;
  }

  const auto started = std::chrono::steady_clock::now();
  std::vector<Comparison> rows;
  if (Wanted(only, "small")) SmallRoundTrips(s, l, rows);
  if (Wanted(only, "command")) CommandThenRequest(s, l, rows);
  if (Wanted(only, "bulk")) BulkTransfers(s, l, rows);
  if (Wanted(only, "rate")) CommandRate(s, l, rows);
  if (Wanted(only, "many")) ManyHandles(s, l, rows);
  if (Wanted(only, "codec")) Codec(s, rows);
  if (Wanted(only, "memory") && !s.SelfPath.empty()) Memory(s, l, rows);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  device::Close(l.In);
  device::Close(l.Out);
  device.Stop();

  int met = 0, targets = 0;
  for (const Comparison& c : rows) {
    if (c.Target.empty()) continue;
    ++targets;
    if (Met(c)) ++met;
  }
  char title[200];
  std::snprintf(title, sizeof title,
                "velmora-bench%s: %d repetitions, %.0f s; targets met: %d of %d",
                s.Smoke ? " (smoke run)" : "", s.Reps, seconds, met, targets);
  std::vector<std::string> names;
  std::printf("\nThread placements, the library and the reference alike:\n");
  for (std::size_t p = 0; p < s.Where.size(); ++p) {
    names.push_back(s.Where[p].Name);
    std::printf("- %s\n", Describe(s.Where[p], s.Seen[p]).c_str());
  }
  PrintTable(rows, names, title);
  return 0;
}
