#include "sample_ring.h"

#include <algorithm>
#include <cmath>

namespace velmora::cli {

SampleRing::SampleRing(std::size_t capacity)
    : Kept((std::max<std::size_t>(capacity, 1) + Block - 1) / Block * Block), Blocks(Kept.size() / Block) {}

void SampleRing::Add(std::uint64_t index, std::uint64_t value) {
  Kept[Count % Kept.size()] = {index, value};
  auto& block = Blocks[(Count / Block) % Blocks.size()];
  if (Count % Block == 0)
    block = {value, value};
  else
    block = {std::min(block.first, value), std::max(block.second, value)};
  ++Count;
}

std::size_t SampleRing::Size() const { return static_cast<std::size_t>(std::min<std::uint64_t>(Count, Kept.size())); }

const SampleRing::Sample& SampleRing::At(std::size_t i) const {
  const std::size_t oldest = Count > Kept.size() ? static_cast<std::size_t>(Count % Kept.size()) : 0;
  return Kept[(oldest + i) % Kept.size()];
}

std::size_t SampleRing::FirstAtOrAfter(std::uint64_t index) const {
  std::size_t low = 0, high = Size();
  while (low < high) {
    const std::size_t mid = low + (high - low) / 2;
    if (At(mid).first < index)
      low = mid + 1;
    else
      high = mid;
  }
  return low;
}

Json SampleRing::Columns(std::uint64_t from, std::uint64_t to, int columns) const {
  Json x = Json::array(), lo = Json::array(), hi = Json::array();
  if (Empty() || columns <= 0 || to <= from) return {{"x", x}, {"lo", lo}, {"hi", hi}};
  const std::uint64_t span = to - from;
  const std::uint64_t n = static_cast<std::uint64_t>(columns);
  // Column c holds the samples from + [ceil(c span / n), ceil((c + 1) span / n)).
  auto boundary = [&](std::uint64_t c) -> std::uint64_t {
    if (span <= (std::uint64_t(1) << 32)) return (c * span + n - 1) / n;
    return static_cast<std::uint64_t>(std::ceil(static_cast<long double>(span) * c / n));
  };
  std::size_t begin = FirstAtOrAfter(from);
  for (std::uint64_t c = 0; c < n && begin < Size(); ++c) {
    const std::size_t end = c + 1 == n ? FirstAtOrAfter(to) : FirstAtOrAfter(from + boundary(c + 1));
    if (end <= begin) continue;  // a loss, or before the ring: nothing to draw
    std::uint64_t least = ~std::uint64_t(0), greatest = 0;
    auto one = [&](std::uint64_t arrival) {
      const std::uint64_t v = Kept[arrival % Kept.size()].second;
      least = std::min(least, v), greatest = std::max(greatest, v);
    };
    std::uint64_t arrival = Base() + begin;
    const std::uint64_t last = Base() + end;
    for (; arrival < last && arrival % Block != 0; ++arrival) one(arrival);
    for (; arrival + Block <= last; arrival += Block) {
      const auto& block = Blocks[(arrival / Block) % Blocks.size()];
      least = std::min(least, block.first), greatest = std::max(greatest, block.second);
    }
    for (; arrival < last; ++arrival) one(arrival);
    x.push_back(At(begin).first);
    lo.push_back(least);
    hi.push_back(greatest);
    begin = end;
  }
  return {{"x", x}, {"lo", lo}, {"hi", hi}};
}

}  // namespace velmora::cli
