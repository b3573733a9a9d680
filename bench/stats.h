// Samples, their median and p99, and the table the benchmark prints.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace velmora::bench {

// Nearest-rank percentile (0..100) of unsorted samples; 0 when empty.
double Percentile(std::vector<double> samples, double percent);
inline double Median(const std::vector<double>& s) { return Percentile(s, 50); }

// One measure: library and reference samples, taken in alternation over a
// number of repetitions and, within each, in every thread placement. Samples
// are times in microseconds (for Latency, and for Throughput and Rate, which
// show them as MB/s or operations per second) or MiB (Memory).
struct Comparison {
  std::string Name;
  std::string Reference = "raw";
  enum class Kind { Latency, Throughput, Rate, Memory };
  Kind Unit = Kind::Latency;
  std::size_t Bytes = 0;       // Throughput: bytes moved per sample (shown in MB/s)
  double MemoryBase = 0;       // Memory: samples are MiB, the ratio is library / this
  std::vector<double> Library;  // every sample, all placements pooled
  std::vector<double> Raw;
  // The same samples split by placement (index into the run's placements);
  // empty for measures taken in one placement only.
  std::vector<std::vector<double>> LibraryBy;
  std::vector<std::vector<double>> RawBy;
  // The placement in which no thread was pinned, as a host program runs:
  // its own ratio must be within the target as well. -1: none apart.
  int Unpinned = -1;
  std::vector<double> RepRatios;  // ratio of medians within each repetition
  int Repetitions = 0;
  std::string Target;          // e.g. "<= 1.5x", ">= 75%"
  double Limit = 0;            // ratio bound, see LowerIsBetter
  bool LowerIsBetter = true;   // ratio must be <= Limit (else >= Limit)
  double P99LimitUs = 0;       // >0: the library's p99 must also be under this
  // >0: the ratio within each pinned placement must also be within this
  // bound (same orientation as Limit).
  double PinnedLimit = 0;
  std::string Note;
};

// Adds one sample taken in placement `placement` (-1: no placement).
void AddSample(Comparison& c, bool library, int placement, double value);

// Closes a repetition: records the ratio of the medians of the samples added
// since `libFrom` / `rawFrom`.
void EndRepetition(Comparison& c, std::size_t libFrom, std::size_t rawFrom);

// The figure shown for a time sample (MB/s, ops/s or microseconds).
double Shown(const Comparison& c, double timeUs);
// Library figure over reference figure, oriented so that for throughput it
// is a fraction of the reference and for latency a multiple of it.
double Ratio(const Comparison& c, double libUs, double rawUs);
// The ratio of the pooled medians.
double MedianRatio(const Comparison& c);
// Each side in the placement where its median was fastest, so that a
// reference slowed by an unlucky placement cannot flatter the library.
// Equal to MedianRatio when there are no placements.
double BestPlacementRatio(const Comparison& c, int* libBest = nullptr, int* rawBest = nullptr);
// The ratio of the medians within placement `p`; 0 when it has no samples.
double PlacementRatio(const Comparison& c, int p);
// A target is met only when the pooled, the best-placement and the unpinned
// ratio (and the p99 bound and each pinned placement's bound, if any) are
// all within it.
bool Met(const Comparison& c);

void PrintTable(const std::vector<Comparison>& rows, const std::vector<std::string>& placements,
                const std::string& title);

}  // namespace velmora::bench
