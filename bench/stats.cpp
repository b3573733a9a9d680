#include "stats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace velmora::bench {

double Percentile(std::vector<double> s, double percent) {
  if (s.empty()) return 0;
  std::sort(s.begin(), s.end());
  std::size_t rank = std::size_t(std::ceil(percent / 100.0 * double(s.size())));
  if (rank < 1) rank = 1;
  return s[std::min(rank, s.size()) - 1];
}

namespace {
bool HigherIsBetter(const Comparison& c) {
  return c.Unit == Comparison::Kind::Throughput || c.Unit == Comparison::Kind::Rate;
}

// Index of the placement with the smallest median (samples are times, so
// smallest is fastest); -1 when none has samples.
int Fastest(const std::vector<std::vector<double>>& by) {
  int best = -1;
  for (std::size_t i = 0; i < by.size(); ++i) {
    if (by[i].empty()) continue;
    if (best < 0 || Median(by[i]) < Median(by[std::size_t(best)])) best = int(i);
  }
  return best;
}
}  // namespace

void AddSample(Comparison& c, bool library, int placement, double value) {
  (library ? c.Library : c.Raw).push_back(value);
  if (placement < 0) return;
  auto& by = library ? c.LibraryBy : c.RawBy;
  if (by.size() <= std::size_t(placement)) by.resize(std::size_t(placement) + 1);
  by[std::size_t(placement)].push_back(value);
}

double Shown(const Comparison& c, double v) {
  switch (c.Unit) {
    case Comparison::Kind::Throughput: return v > 0 ? double(c.Bytes) / v : 0;  // B/us = MB/s
    case Comparison::Kind::Rate: return v > 0 ? 1e6 / v : 0;
    default: return v;
  }
}

double Ratio(const Comparison& c, double lib, double raw) {
  if (c.Unit == Comparison::Kind::Memory) return c.MemoryBase > 0 ? lib / c.MemoryBase : 0;
  if (lib <= 0 || raw <= 0) return 0;
  // Throughput and rates: a fraction of the reference. Latency: a multiple of it.
  return HigherIsBetter(c) ? raw / lib : lib / raw;
}

double MedianRatio(const Comparison& c) { return Ratio(c, Median(c.Library), Median(c.Raw)); }

double BestPlacementRatio(const Comparison& c, int* libBest, int* rawBest) {
  const int l = Fastest(c.LibraryBy), r = Fastest(c.RawBy);
  if (libBest != nullptr) *libBest = l;
  if (rawBest != nullptr) *rawBest = r;
  if (l < 0 || r < 0) return MedianRatio(c);
  return Ratio(c, Median(c.LibraryBy[std::size_t(l)]), Median(c.RawBy[std::size_t(r)]));
}

void EndRepetition(Comparison& c, std::size_t libFrom, std::size_t rawFrom) {
  std::vector<double> lib(c.Library.begin() + std::ptrdiff_t(libFrom), c.Library.end());
  std::vector<double> raw(c.Raw.begin() + std::ptrdiff_t(rawFrom), c.Raw.end());
  if (!lib.empty() && !raw.empty()) c.RepRatios.push_back(Ratio(c, Median(lib), Median(raw)));
  ++c.Repetitions;
}

double PlacementRatio(const Comparison& c, int p) {
  if (p < 0 || std::size_t(p) >= c.LibraryBy.size() || std::size_t(p) >= c.RawBy.size()) return 0;
  const auto& lib = c.LibraryBy[std::size_t(p)];
  const auto& raw = c.RawBy[std::size_t(p)];
  if (lib.empty() || raw.empty()) return 0;
  return Ratio(c, Median(lib), Median(raw));
}

bool Met(const Comparison& c) {
  const auto within = [&](double r) { return c.LowerIsBetter ? r <= c.Limit : r >= c.Limit; };
  bool ok = within(MedianRatio(c)) && within(BestPlacementRatio(c));
  if (c.Unpinned >= 0 && !within(PlacementRatio(c, c.Unpinned))) ok = false;
  if (c.P99LimitUs > 0 && Percentile(c.Library, 99) >= c.P99LimitUs) ok = false;
  if (c.PinnedLimit > 0) {
    const auto pinnedWithin = [&](double r) {
      return c.LowerIsBetter ? r <= c.PinnedLimit : r >= c.PinnedLimit;
    };
    for (std::size_t p = 0; p < c.LibraryBy.size(); ++p) {
      if (int(p) == c.Unpinned) continue;
      const double r = PlacementRatio(c, int(p));
      if (r > 0 && !pinnedWithin(r)) ok = false;
    }
  }
  return ok;
}

namespace {

std::string Figure(const Comparison& c, double us) {
  char text[32];
  const double v = Shown(c, us);
  if (c.Unit == Comparison::Kind::Throughput) std::snprintf(text, sizeof text, "%.0f MB/s", v);
  else if (c.Unit == Comparison::Kind::Rate) std::snprintf(text, sizeof text, "%.0f /s", v);
  else if (c.Unit == Comparison::Kind::Memory) std::snprintf(text, sizeof text, "%.1f MiB", v);
  else if (v >= 1000) std::snprintf(text, sizeof text, "%.2f ms", v / 1000);
  else if (v < 10) std::snprintf(text, sizeof text, "%.3f us", v);
  else std::snprintf(text, sizeof text, "%.1f us", v);
  return text;
}

std::string RatioText(const Comparison& c, double r) {
  char text[32];
  if (HigherIsBetter(c)) std::snprintf(text, sizeof text, "%.0f%%", r * 100);
  else std::snprintf(text, sizeof text, r > 0 && r < 0.1 ? "%.4fx" : "%.2fx", r);
  return text;
}

std::string BestText(const Comparison& c, const std::vector<std::string>& placements) {
  int l = -1, r = -1;
  const double ratio = BestPlacementRatio(c, &l, &r);
  if (l < 0 || r < 0 || std::size_t(l) >= placements.size() ||
      std::size_t(r) >= placements.size()) {
    return "-";
  }
  return RatioText(c, ratio) + " (" + placements[std::size_t(l)] + " / " +
         placements[std::size_t(r)] + ")";
}

}  // namespace

void PrintTable(const std::vector<Comparison>& rows, const std::vector<std::string>& placements,
                const std::string& title) {
  std::printf("\n%s\n\n", title.c_str());
  std::printf("| measure | library median | library p99 | reference | ref. median |"
              " ratio (median) | ratio per rep. min-max | best placements (lib / ref) |"
              " ratio unpinned | reps x samples | target | met |\n");
  std::printf("|---|---|---|---|---|---|---|---|---|---|---|---|\n");
  for (const Comparison& c : rows) {
    // For throughput the p99 is the slowest 1% of transfers, shown as a rate.
    const double libMed = Median(c.Library), rawMed = Median(c.Raw);
    double lo = 0, hi = 0;
    if (!c.RepRatios.empty()) {
      lo = *std::min_element(c.RepRatios.begin(), c.RepRatios.end());
      hi = *std::max_element(c.RepRatios.begin(), c.RepRatios.end());
    }
    const std::size_t perRep = c.Repetitions > 0 ? c.Library.size() / std::size_t(c.Repetitions) : 0;
    const std::string unpinned =
        c.Unpinned >= 0 ? RatioText(c, PlacementRatio(c, c.Unpinned)) : std::string("-");
    std::printf("| %s | %s | %s | %s | %s | %s | %s-%s | %s | %s | %d x %zu | %s | %s |\n",
                c.Name.c_str(), Figure(c, libMed).c_str(),
                Figure(c, Percentile(c.Library, 99)).c_str(), c.Reference.c_str(),
                Figure(c, rawMed).c_str(), RatioText(c, MedianRatio(c)).c_str(),
                RatioText(c, lo).c_str(), RatioText(c, hi).c_str(),
                BestText(c, placements).c_str(), unpinned.c_str(), c.Repetitions, perRep,
                c.Target.c_str(),
                c.Target.empty() ? "-" : (Met(c) ? "met" : "NOT"));
  }
  std::printf("\nBy placement, median library / median reference (ratio):\n");
  for (const Comparison& c : rows) {
    if (c.LibraryBy.empty() || c.RawBy.empty()) continue;
    std::printf("- %s:", c.Name.c_str());
    for (std::size_t p = 0; p < placements.size() && p < c.LibraryBy.size() && p < c.RawBy.size();
         ++p) {
      const double lib = Median(c.LibraryBy[p]), raw = Median(c.RawBy[p]);
      std::printf("%s %s %s / %s (%s)", p == 0 ? "" : ";", placements[p].c_str(),
                  Figure(c, lib).c_str(), Figure(c, raw).c_str(), RatioText(c, Ratio(c, lib, raw)).c_str());
    }
    std::printf("\n");
  }
  for (const Comparison& c : rows) {
    if (!c.Note.empty()) std::printf("\n- %s: %s", c.Name.c_str(), c.Note.c_str());
  }
  std::printf("\n");
}

}  // namespace velmora::bench
