// The measures of the benchmark, each in the file named after it. Every
// measure adds its rows to the table; see turns.h for how samples are taken.
#pragma once

#include <string>
#include <vector>

#include "placement.h"
#include "raw_reference.h"
#include "sim/simulated_device.h"
#include "stats.h"
#include "support/test_address.h"
#include "velmora.h"

namespace velmora::bench {

struct Settings {
  bool Smoke = false;
  int Reps = 5;
  // 127.<VELMORA_TEST_NET>.0.200, so that runs on bases of their own never meet.
  std::string Address = testing::TestAddress(0, 200);
  std::string SelfPath;  // this program, for the memory measure's child processes
  std::vector<Placement> Where = Placements();
  // Where the threads were last seen in each placement, for the report;
  // written by the turns while the settings are otherwise fixed.
  mutable std::vector<bench::Seen> Seen = std::vector<bench::Seen>(Where.size());

  // Samples per repetition and placement: the full count, or a tenth of it
  // (at least 1) in the smoke run.
  int Samples(int full) const { return Smoke ? (full / 10 > 0 ? full / 10 : 1) : full; }
};

// Everything the measures talk through: the device, the library's two
// handles (input channel 0, output channel 0) and the reference clients.
struct Links {
  sim::SimulatedDevice* Device = nullptr;
  NDX_HANDLE In = nullptr;
  NDX_HANDLE Out = nullptr;
  RawReference RawIn;     // TCP_NODELAY, input port of channel 0
  RawReference RawOut;    // TCP_NODELAY, output port of channel 0
  RawReference RawNagle;  // Nagle left on, input port of channel 0
};

void SmallRoundTrips(const Settings& s, Links& l, std::vector<Comparison>& rows);
void CommandThenRequest(const Settings& s, Links& l, std::vector<Comparison>& rows);
void BulkTransfers(const Settings& s, Links& l, std::vector<Comparison>& rows);
void CommandRate(const Settings& s, Links& l, std::vector<Comparison>& rows);
void ManyHandles(const Settings& s, Links& l, std::vector<Comparison>& rows);
void Codec(const Settings& s, std::vector<Comparison>& rows);
void Memory(const Settings& s, Links& l, std::vector<Comparison>& rows);

// The child side of the memory measure: one 16 MiB read in a fresh process.
// Prints "result count baselineKiB peakKiB"; returns the exit status.
int MemoryChild(const std::string& address, bool library);

// The raw side of bench/stream_cpu.py: fetches every packet from the device
// at `address` for `seconds`, as a stream does, and prints one JSON line with
// the reply bytes received and the process's CPU seconds meanwhile.
int StreamRaw(const char* address, double seconds, std::int32_t hz, std::int32_t bits,
              std::int32_t block);

// One side of one operation in a loop, nothing else, for profilers and
// system-call counters: `what` is lib-small, raw-small, lib-16m or raw-16m.
int ProfileLoop(Links& l, const std::string& what, int count);

}  // namespace velmora::bench
