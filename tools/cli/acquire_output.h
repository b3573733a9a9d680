// Where an acquisition's replies go: the raw payload (with its JSON side
// file), an HDF5 recording, the decoded samples as CSV, the time stamps of
// the replies as CSV, and the SVG plot. "-" is standard output for each
// (not for HDF5, which needs a file it can seek in).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "acquisition.h"
#include "files.h"
#include "h5_recording.h"
#include "recording.h"
#include "samples.h"
#include "svg_plot.h"

namespace velmora::cli {

struct OutputPaths {
  std::string Raw;     // empty: not written
  std::string H5;
  std::string Csv;     // time_s,sample,value
  std::string Stamps;  // reply,time_us,packet,offset,bytes
  std::string Svg;
  bool SideFile = true;  // FILE.json beside a raw FILE that is not "-"

  // Throws UsageError when two outputs would share standard output, or
  // HDF5 is asked to go there.
  void Check() const;
  bool AnyOnStdout() const;
};

class AcquireOutput : public AcquireListener {
 public:
  // Opens the files; throws Failure when one cannot be created.
  AcquireOutput(const OutputPaths& paths, const RecordingInfo& info);
  ~AcquireOutput() override;

  // Called for every decoded sample, after the files have it.
  std::function<void(std::uint64_t index, std::uint64_t value)> OnSample;

  void Started(const AcquireStats& stats) override;
  void Reply(std::uint64_t timeUs, std::uint64_t packet, std::uint64_t offset, const unsigned char* data,
             std::size_t length) override;
  void Lost(const LossGap& gap) override;
  // Writes the outcome, the plot and closes every file; throws Failure on
  // a write error (after trying every file).
  void Finish(const AcquireStats& stats, const std::string& ended, const std::string& title,
              const std::string& subtitle);

  std::uint64_t Samples() const { return SampleCount; }
  std::uint64_t FirstSample() const { return First; }
  std::uint64_t LastSample() const { return Last; }
  // The files that were written, as shown to the user.
  std::vector<std::string> Written() const;

 private:
  void Sample(std::uint64_t index, std::uint64_t value);

  OutputPaths Paths;
  RecordingInfo Info;
  OutputFile Raw, Csv, Stamps;
  std::unique_ptr<H5Recording> H5;
  std::unique_ptr<SamplePlot> Plot;
  SampleDecoder Decoder;
  std::uint64_t SampleCount = 0, First = 0, Last = 0, ReplyCount = 0;
  std::uint64_t NextSample = 0;  // the index the next sample should have
  bool SawSampleInReply = false;
  std::uint64_t ReplyFirstSample = 0;
};

}  // namespace velmora::cli
