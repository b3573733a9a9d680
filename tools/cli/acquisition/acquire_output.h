// Where an acquisition's replies go: the raw payload (with its JSON side
// file), an HDF5 recording, the decoded samples as CSV, the time stamps of
// the replies as CSV, and the SVG plot. "-" is standard output for each
// (not for HDF5, which needs a file it can seek in).
//
// Every file is created before the run takes any data from the device. A
// file that fails (a full disk, a closed pipe) takes nothing more, the
// others keep everything received, and the run is asked to end: what was
// saved and what was not is then exact, file by file.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "acquisition/acquisition.h"
#include "recordings/files.h"
#include "recordings/h5_recording.h"
#include "recordings/recording.h"
#include "acquisition/samples.h"
#include "recordings/svg_plot.h"

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
  bool HasSideFile() const { return SideFile && !Raw.empty() && Raw != "-"; }
};

// One output of a run and what became of it.
struct OutputState {
  explicit OutputState(const char* kind) : Kind(kind) {}
  const char* Kind;       // raw, side, h5, csv, svg, stamps
  std::string Path;       // as given; empty: not asked for
  std::string Problem;    // why it is not complete; empty: complete so far
  bool ReaderGone = false;  // its reader closed the pipe
};

class AcquireOutput : public AcquireListener {
 public:
  // Creates the files, after checking that each of them can be; throws
  // Failure (and leaves no file it created) when one cannot be.
  AcquireOutput(const OutputPaths& paths, const RecordingInfo& info);
  ~AcquireOutput() override;

  // Called for every decoded sample, after the files have it.
  std::function<void(std::uint64_t index, std::uint64_t value)> OnSample;

  void Started(const AcquireStats& stats) override;
  void Reply(std::uint64_t timeUs, std::uint64_t packet, std::uint64_t offset, const unsigned char* data,
             std::size_t length) override;
  void Lost(const LossGap& gap) override;
  // Samples missed while the link was down (estimated), between two host
  // times in seconds from the start.
  void Outage(const LossGap& gap, double beginS, double endS);
  // Writes HDF5 into `part` (a device of a group file, shown as `path`)
  // instead of a file of its own; before the run starts.
  void UseH5(std::unique_ptr<H5Recording> part, const std::string& path);
  // True once a file has failed: the run should end.
  bool Ended() const override;
  // Writes the outcome, the plot and closes every file; throws Failure on
  // a write error (after trying every file).
  void Finish(const AcquireStats& stats, const std::string& ended, const std::string& title,
              const std::string& subtitle);

  std::uint64_t Samples() const { return SampleCount; }
  std::uint64_t FirstSample() const { return First; }
  std::uint64_t LastSample() const { return Last; }
  // The first file that failed other than by its reader going away; null
  // when none has.
  const OutputState* Failed() const;
  // True when a pipe the run wrote to was closed by its reader.
  bool ReaderGone() const;
  // The files that hold every sample received, as shown to the user.
  std::vector<std::string> Written() const;
  // "FILE (reason)" for each file asked for that is not complete.
  std::vector<std::string> NotWritten() const;
  // Every output asked for.
  std::vector<const OutputState*> Outputs() const;

 private:
  void Sample(std::uint64_t index, std::uint64_t value);
  template <typename Step>
  void Attempt(OutputState& state, Step step);

  OutputPaths Paths;
  RecordingInfo Info;
  // In the order files are listed to the user.
  OutputState RawState{"raw"}, H5State{"h5"}, CsvState{"csv"}, SvgState{"svg"}, StampsState{"stamps"},
      SideState{"side"};
  OutputFile Raw, Csv, Stamps, Svg;
  std::unique_ptr<H5Recording> H5;
  std::unique_ptr<SamplePlot> Plot;
  SampleDecoder Decoder;
  std::uint64_t SampleCount = 0, First = 0, Last = 0, ReplyCount = 0;
  std::uint64_t NextSample = 0;  // the index the next sample should have
  bool SawSampleInReply = false;
  std::uint64_t ReplyFirstSample = 0;
};

}  // namespace velmora::cli
