// Where an acquisition's replies go: the raw payload, the decoded samples as
// CSV, the time stamps of the replies as CSV, and the SVG plot.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "acquisition.h"
#include "samples.h"
#include "svg_plot.h"

namespace velmora::cli {

struct OutputPaths {
  std::string Raw;     // "-" for standard output; empty: not written
  std::string Csv;     // time_s,sample,value
  std::string Stamps;  // reply,time_us,packet,offset,bytes
  std::string Svg;
};

class AcquireOutput : public AcquireListener {
 public:
  // Opens the files; throws Failure when one cannot be created.
  AcquireOutput(const OutputPaths& paths, const StreamFormat& format);
  ~AcquireOutput() override;

  // Called for every decoded sample, after the CSV and the plot have it.
  std::function<void(std::uint64_t index, std::uint64_t value)> OnSample;

  void Reply(std::uint64_t timeUs, std::uint64_t packet, std::uint64_t offset,
             const unsigned char* data, std::size_t length) override;
  // Writes the plot and closes every file; throws Failure on a write error.
  void Finish(const std::string& title, const std::string& subtitle);

  std::uint64_t Samples() const { return SampleCount; }
  std::uint64_t FirstSample() const { return First; }
  std::uint64_t LastSample() const { return Last; }

 private:
  void Sample(std::uint64_t index, std::uint64_t value);

  OutputPaths Paths;
  StreamFormat Format;
  std::FILE* Raw = nullptr;
  std::FILE* Csv = nullptr;
  std::FILE* Stamps = nullptr;
  bool RawIsStdout = false;
  std::unique_ptr<SamplePlot> Plot;
  SampleDecoder Decoder;
  std::uint64_t SampleCount = 0, First = 0, Last = 0, ReplyCount = 0;
};

}  // namespace velmora::cli
