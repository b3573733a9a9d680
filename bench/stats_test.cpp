// The arithmetic behind the table: which way a ratio points, which samples a
// per-repetition ratio covers, and when a target counts as met. A mistake
// here prints a kinder figure than the library earned.
#include "stats.h"

#include <gtest/gtest.h>

namespace velmora::bench {
namespace {

Comparison Latency(double limit) {
  Comparison c;
  c.Limit = limit;
  c.Target = "<= " + std::to_string(limit);
  return c;
}

// Samples of one placement, the library's and the reference's.
void Add(Comparison& c, int placement, std::initializer_list<double> lib,
         std::initializer_list<double> raw) {
  for (double v : lib) AddSample(c, true, placement, v);
  for (double v : raw) AddSample(c, false, placement, v);
}

TEST(BenchPercentile, NearestRankOverUnsortedSamples) {
  EXPECT_EQ(Percentile({}, 50), 0);
  EXPECT_EQ(Percentile({7}, 99), 7);
  EXPECT_EQ(Median({5, 1, 3}), 3);
  EXPECT_EQ(Median({4, 1, 3, 2}), 2);  // nearest rank: the lower middle
  EXPECT_EQ(Percentile({1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 99), 10);
  EXPECT_EQ(Percentile({3, 1, 2}, 0), 1);
}

TEST(BenchRatio, LatencyIsAMultipleAndThroughputAFractionOfTheReference) {
  Comparison latency;
  EXPECT_DOUBLE_EQ(Ratio(latency, 30, 20), 1.5);  // library slower: above 1

  Comparison throughput;
  throughput.Unit = Comparison::Kind::Throughput;
  throughput.Bytes = 1 << 20;
  // Samples are times: the library taking twice as long moves half the MB/s.
  EXPECT_DOUBLE_EQ(Ratio(throughput, 200, 100), 0.5);
  EXPECT_DOUBLE_EQ(Shown(throughput, 1), double(1 << 20));  // bytes per us = MB/s

  Comparison rate;
  rate.Unit = Comparison::Kind::Rate;
  EXPECT_DOUBLE_EQ(Ratio(rate, 4, 2), 0.5);
  EXPECT_DOUBLE_EQ(Shown(rate, 4), 250000);

  Comparison memory;
  memory.Unit = Comparison::Kind::Memory;
  memory.MemoryBase = 16;
  EXPECT_DOUBLE_EQ(Ratio(memory, 40, 0.1), 2.5);  // over the payload, not the reference

  EXPECT_EQ(Ratio(latency, 0, 20), 0);  // a missing side gives no ratio, not infinity
  EXPECT_EQ(Ratio(latency, 20, 0), 0);
}

TEST(BenchRepetition, RatioCoversOnlyTheSamplesOfThatRepetition) {
  Comparison c;
  Add(c, -1, {10, 10, 10}, {5, 5, 5});
  EndRepetition(c, 0, 0);
  const std::size_t lib = c.Library.size(), raw = c.Raw.size();
  Add(c, -1, {30, 30, 30}, {10, 10, 10});
  EndRepetition(c, lib, raw);
  ASSERT_EQ(c.RepRatios.size(), 2u);
  EXPECT_DOUBLE_EQ(c.RepRatios[0], 2.0);
  EXPECT_DOUBLE_EQ(c.RepRatios[1], 3.0);
  EXPECT_EQ(c.Repetitions, 2);
}

TEST(BenchPlacement, EachSideIsTakenInItsOwnFasterPlacement) {
  // The reference is slow in placement 1 only; pooling flatters the library.
  Comparison c = Latency(1.5);
  Add(c, 0, {30, 30}, {10, 10});
  Add(c, 1, {40, 40, 40, 40}, {40, 40, 40, 40});
  int lib = -1, raw = -1;
  EXPECT_DOUBLE_EQ(BestPlacementRatio(c, &lib, &raw), 3.0);
  EXPECT_EQ(lib, 0);
  EXPECT_EQ(raw, 0);
  EXPECT_LE(MedianRatio(c), 1.5);
  EXPECT_FALSE(Met(c)) << "a target met only thanks to a slow reference placement";

  // Throughput: fastest means the shortest time, whichever way it is shown.
  Comparison t;
  t.Unit = Comparison::Kind::Throughput;
  t.Bytes = 1000;
  Add(t, 0, {100}, {80});
  Add(t, 1, {90}, {50});
  EXPECT_DOUBLE_EQ(BestPlacementRatio(t, &lib, &raw), 50.0 / 90.0);
  EXPECT_EQ(lib, 1);
  EXPECT_EQ(raw, 1);
}

TEST(BenchPlacement, WithoutPlacementsTheBestIsThePooledRatio) {
  Comparison c = Latency(2);
  Add(c, -1, {30, 31, 32}, {20, 20, 21});
  EXPECT_TRUE(c.LibraryBy.empty());
  int lib = 0;
  EXPECT_DOUBLE_EQ(BestPlacementRatio(c, &lib), MedianRatio(c));
  EXPECT_EQ(lib, -1);
}

TEST(BenchTarget, MetNeedsPooledBestAndTailAlike) {
  Comparison c = Latency(1.5);
  Add(c, 0, {14, 14, 14}, {10, 10, 10});
  Add(c, 1, {14, 14, 14}, {10, 10, 10});
  EXPECT_TRUE(Met(c));
  c.P99LimitUs = 14;  // the bound is strict
  EXPECT_FALSE(Met(c));
  c.P99LimitUs = 0;

  // The unpinned placement is how a host runs: pinned placements that hide
  // its slow hand-over must not carry the target.
  Add(c, 2, {20, 20, 20}, {10, 10, 10});
  EXPECT_TRUE(Met(c));
  c.Unpinned = 2;
  EXPECT_DOUBLE_EQ(PlacementRatio(c, 2), 2.0);
  EXPECT_FALSE(Met(c));

  Comparison higher;
  higher.Unit = Comparison::Kind::Throughput;
  higher.Bytes = 1;
  higher.LowerIsBetter = false;
  higher.Limit = 0.75;
  Add(higher, -1, {4}, {3});
  EXPECT_TRUE(Met(higher));  // exactly on the bound counts
  Add(higher, -1, {5, 5}, {3, 3});
  EXPECT_FALSE(Met(higher));
}

}  // namespace
}  // namespace velmora::bench
