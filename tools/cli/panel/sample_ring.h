// The latest samples of a run, kept for the plot, and the plot's columns
// drawn from any stretch of them. Samples arrive in order of their index
// (a loss only skips indices), so the ring is sorted oldest first and a
// column's samples are found by bisection. The least and greatest value of
// every whole block of Block arrivals are kept beside them, so a column
// costs at most two part blocks plus one step per whole block: a wide
// window costs little more than a narrow one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "output/json.h"

namespace velmora::cli {

class SampleRing {
 public:
  static constexpr std::size_t Block = 64;

  // Keeps at least `capacity` samples (rounded up to whole blocks).
  explicit SampleRing(std::size_t capacity);

  // `index` must be above every index added before.
  void Add(std::uint64_t index, std::uint64_t value);

  std::size_t Size() const;
  std::size_t Capacity() const { return Kept.size(); }
  bool Empty() const { return Count == 0; }
  // Valid only when not empty.
  std::uint64_t OldestIndex() const { return At(0).first; }
  std::uint64_t NewestIndex() const { return At(Size() - 1).first; }

  // The minimum and maximum of each of `columns` equal stretches of the
  // sample indices [from, to), so that a peak narrower than a pixel still
  // shows: {"x": first index in the column, "lo", "hi"}; a column without
  // samples (a loss, or before the ring) is left out.
  Json Columns(std::uint64_t from, std::uint64_t to, int columns) const;

 private:
  using Sample = std::pair<std::uint64_t, std::uint64_t>;
  // The i-th oldest sample.
  const Sample& At(std::size_t i) const;
  // Position of the first sample with index >= `index` (Size() if none).
  std::size_t FirstAtOrAfter(std::uint64_t index) const;

  // The oldest kept sample's arrival number.
  std::uint64_t Base() const { return Count - Size(); }

  std::vector<Sample> Kept;  // arrival n at n % capacity
  std::vector<std::pair<std::uint64_t, std::uint64_t>> Blocks;  // least, greatest of arrivals [qB, qB + B) at q % count
  std::uint64_t Count = 0;  // samples ever added
};

}  // namespace velmora::cli
