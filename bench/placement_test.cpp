// Pinning must reach every thread of the process, or the two placements
// measure the same thing under different names.
#include "placement.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <atomic>
#include <thread>

namespace velmora::bench {
namespace {

// A thread that keeps waking until told, like the device's and the
// library's threads during a measure.
struct Spinner {
  std::atomic<bool> Stop{false};
  std::atomic<int> Cpu{-1};
  std::thread T{[this] {
    for (int i = 0; i < 1000000 && !Stop.load(); ++i) {
      Cpu = sched_getcpu();
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
  }};
  ~Spinner() {
    Stop = true;
    T.join();
  }
};

// Waits (bounded) until the spinner reports `cpu`.
bool SeenOn(const Spinner& s, int cpu) {
  for (int i = 0; i < 2000; ++i) {
    if (s.Cpu.load() == cpu) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

TEST(BenchPinning, EveryOtherThreadFollowsThePlacement) {
  const std::vector<Placement> where = Placements();
  ASSERT_FALSE(where.empty());
  if (where.size() < 2) GTEST_SKIP() << "one CPU: nothing to pin";
  Spinner other;
  for (const Placement& p : where) {
    if (p.CallerCpu < 0) continue;  // unpinned: nothing to check but Unpin below
    Apply(p);
    other.Cpu = -1;  // it must report again, from after the move
    EXPECT_EQ(sched_getcpu(), p.CallerCpu) << p.Name;
    EXPECT_TRUE(SeenOn(other, p.OthersCpu)) << p.Name;
    Seen seen;
    Observe(seen);
    EXPECT_EQ(seen.Caller, std::set<int>{p.CallerCpu}) << p.Name;
    EXPECT_EQ(seen.Others, std::set<int>{p.OthersCpu}) << p.Name;
    EXPECT_NE(Describe(p, seen).find(p.Name), std::string::npos);
  }
  Unpin();
  cpu_set_t mask;
  ASSERT_EQ(sched_getaffinity(0, sizeof mask, &mask), 0);
  EXPECT_GE(CPU_COUNT(&mask), 2);
}

}  // namespace
}  // namespace velmora::bench
