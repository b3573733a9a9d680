// An SVG plot of samples against time, written by hand (no dependencies).
//
// Any number of samples fits in bounded memory: samples fall into at most
// 2 x the plot's width in columns, each keeping its minimum, maximum, first
// and last value; when a run outgrows that, neighbouring columns merge and
// each holds twice as many samples. Drawing a column from its minimum to its
// maximum keeps every peak visible however far the run is thinned.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velmora::cli {

class SamplePlot {
 public:
  explicit SamplePlot(std::int32_t frequencyHz);

  // Samples in increasing index order; gaps are allowed and drawn as gaps.
  void Add(std::uint64_t index, std::uint64_t value);
  std::uint64_t Samples() const { return Count; }
  std::uint64_t SamplesPerColumn() const { return Span; }

  // The whole SVG document.
  std::string Render(const std::string& title, const std::string& subtitle) const;

 private:
  struct Column {
    std::uint64_t Count = 0;
    std::uint64_t Min = 0, Max = 0, First = 0, Last = 0;
  };
  void Merge();
  // Where samples and values land in the drawing, and the ticks.
  struct Axes;
  Axes Scale() const;
  std::string Heading(const std::string& title, const std::string& subtitle) const;
  // Grid lines into the returned text, tick marks and labels into `labels`.
  std::string Grid(const Axes& a, std::string& labels) const;
  std::string Trace(const Axes& a) const;
  std::string Frame(const Axes& a, const std::string& labels) const;

  std::int32_t Hz;
  std::vector<Column> Columns;
  std::uint64_t Origin = 0;    // index of the first sample
  std::uint64_t Span = 1;      // samples per column
  std::uint64_t Count = 0;
  std::uint64_t LastIndex = 0;
  std::uint64_t Lowest = 0, Highest = 0;
};

std::string XmlEscape(const std::string& text);

}  // namespace velmora::cli
