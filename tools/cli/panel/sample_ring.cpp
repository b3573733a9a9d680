#include "sample_ring.h"

#include <algorithm>

namespace velmora::cli {

SampleRing::SampleRing(std::size_t capacity) : Kept(std::max<std::size_t>(capacity, 1)) {}

void SampleRing::Add(std::uint64_t index, std::uint64_t value) {
  Kept[Count % Kept.size()] = {index, value};
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
  const std::size_t n = static_cast<std::size_t>(columns);
  std::vector<std::uint64_t> cmin(n, ~std::uint64_t(0)), cmax(n, 0), cfirst(n, ~std::uint64_t(0));
  const std::size_t end = FirstAtOrAfter(to);
  for (std::size_t i = FirstAtOrAfter(from); i < end; ++i) {
    const Sample& s = At(i);
    const std::uint64_t offset = s.first - from;
    // A view wider than 2^32 samples would wrap the product.
    const std::uint64_t column = span <= (std::uint64_t(1) << 32)
                                     ? offset * n / span
                                     : static_cast<std::uint64_t>(offset / static_cast<long double>(span) * n);
    const std::size_t c = static_cast<std::size_t>(std::min<std::uint64_t>(column, n - 1));
    cmin[c] = std::min(cmin[c], s.second);
    cmax[c] = std::max(cmax[c], s.second);
    cfirst[c] = std::min(cfirst[c], s.first);
  }
  for (std::size_t c = 0; c < n; ++c) {
    if (cfirst[c] == ~std::uint64_t(0)) continue;
    x.push_back(cfirst[c]);
    lo.push_back(cmin[c]);
    hi.push_back(cmax[c]);
  }
  return {{"x", x}, {"lo", lo}, {"hi", hi}};
}

}  // namespace velmora::cli
