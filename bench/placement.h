// Where the benchmark's threads run. On a machine of two or more CPUs a
// request/reply costs very different amounts depending on whether the peer
// that answers runs on the caller's CPU (no cross-CPU wake-up) or not, so
// each measure runs in two pinned placements, the library and the reference
// alike, and the table compares each side in its faster one as well as the
// pooled median. A third placement pins nothing, as a host program runs, and
// its ratio counts for the targets too. Linux only, like the rest of the
// benchmark.
#pragma once

#include <set>
#include <string>
#include <vector>

namespace velmora::bench {

struct Placement {
  std::string Name;
  int CallerCpu = -1;  // the measuring thread; -1: not pinned
  int OthersCpu = -1;  // every other thread of this process (device, library)
};

// "one-cpu" (every thread on the first allowed CPU), "split" (the caller on
// the first, every other thread on the second) and "unpinned" (every thread
// free on every allowed CPU), or only "unpinned" when this process may use
// only one CPU.
std::vector<Placement> Placements();

// Pins the calling thread and every other thread of the process as `p` says.
// Threads started later inherit the affinity of the thread that starts them.
void Apply(const Placement& p);
// Lets every thread run on every CPU this process was allowed at start.
void Unpin();

// The CPUs the threads were seen on while a placement was applied: the
// caller's, and those of the other threads that ran since the last Apply
// (threads that slept throughout keep their old CPU until they wake).
struct Seen {
  std::set<int> Caller;
  std::set<int> Others;
};
void Observe(Seen& seen);
// "caller pinned to cpu 0, others to cpu 1; seen: caller on 0, others on 1".
std::string Describe(const Placement& p, const Seen& seen);

}  // namespace velmora::bench
