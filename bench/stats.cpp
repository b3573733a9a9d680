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
}  // namespace

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

void EndRepetition(Comparison& c, std::size_t libFrom, std::size_t rawFrom) {
  std::vector<double> lib(c.Library.begin() + std::ptrdiff_t(libFrom), c.Library.end());
  std::vector<double> raw(c.Raw.begin() + std::ptrdiff_t(rawFrom), c.Raw.end());
  if (!lib.empty() && !raw.empty()) c.RepRatios.push_back(Ratio(c, Median(lib), Median(raw)));
  ++c.Repetitions;
}

bool Met(const Comparison& c) {
  const double r = Ratio(c, Median(c.Library), Median(c.Raw));
  bool ok = c.LowerIsBetter ? r <= c.Limit : r >= c.Limit;
  if (c.P99LimitUs > 0 && Percentile(c.Library, 99) >= c.P99LimitUs) ok = false;
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
  else std::snprintf(text, sizeof text, "%.2fx", r);
  return text;
}

}  // namespace

void PrintTable(const std::vector<Comparison>& rows, const std::string& title) {
  std::printf("\n%s\n\n", title.c_str());
  std::printf("| measure | library median | library p99 | reference | ref. median | ref. p99 |"
              " ratio (median) | ratio per rep. min-max | reps x samples | target | met |\n");
  std::printf("|---|---|---|---|---|---|---|---|---|---|---|\n");
  for (const Comparison& c : rows) {
    // For throughput the p99 is the slowest 1% of transfers, shown as a rate.
    const double libMed = Median(c.Library), rawMed = Median(c.Raw);
    const double libP99 = Percentile(c.Library, 99), rawP99 = Percentile(c.Raw, 99);
    double lo = 0, hi = 0;
    if (!c.RepRatios.empty()) {
      lo = *std::min_element(c.RepRatios.begin(), c.RepRatios.end());
      hi = *std::max_element(c.RepRatios.begin(), c.RepRatios.end());
    }
    const std::size_t perRep = c.Repetitions > 0 ? c.Library.size() / std::size_t(c.Repetitions) : 0;
    std::printf("| %s | %s | %s | %s | %s | %s | %s | %s-%s | %d x %zu | %s | %s |\n",
                c.Name.c_str(), Figure(c, libMed).c_str(), Figure(c, libP99).c_str(),
                c.Reference.c_str(), Figure(c, rawMed).c_str(), Figure(c, rawP99).c_str(),
                RatioText(c, Ratio(c, libMed, rawMed)).c_str(), RatioText(c, lo).c_str(),
                RatioText(c, hi).c_str(), c.Repetitions, perRep, c.Target.c_str(),
                c.Target.empty() ? "-" : (Met(c) ? "yes" : "NO"));
  }
  for (const Comparison& c : rows) {
    if (!c.Note.empty()) std::printf("\n- %s: %s", c.Name.c_str(), c.Note.c_str());
  }
  std::printf("\n");
}

}  // namespace velmora::bench
