#include "acquisition/acquire_output.h"

#include <cstdio>
#include <utility>

#include "device/device.h"
#include "output/terminal.h"
#include "options/usage_error.h"

namespace velmora::cli {

bool OutputPaths::AnyOnStdout() const {
  return Raw == "-" || Csv == "-" || Stamps == "-" || Svg == "-";
}

void OutputPaths::Check() const {
  if (H5 == "-")
    throw UsageError("--h5 needs a file: HDF5 cannot be written to standard output (use FILE or --csv - instead)");
  int onStdout = 0;
  for (const std::string* p : {&Raw, &Csv, &Stamps, &Svg}) onStdout += *p == "-";
  if (onStdout > 1) throw UsageError("only one output can go to standard output (-)");
}

AcquireOutput::AcquireOutput(const OutputPaths& paths, const RecordingInfo& info)
    : Paths(paths),
      Info(info),
      Decoder(info.SampleBytes, [this](std::uint64_t i, std::uint64_t v) { Sample(i, v); }) {
  RawState.Path = Paths.Raw;
  H5State.Path = Paths.H5;
  CsvState.Path = Paths.Csv;
  SvgState.Path = Paths.Svg;
  StampsState.Path = Paths.Stamps;
  if (Paths.HasSideFile()) SideState.Path = SideFilePath(Paths.Raw);
  for (const OutputState* o : Outputs()) CheckCreatable(o->Path);
  try {
    if (!Paths.Raw.empty()) Raw = OutputFile(Paths.Raw);
    if (!Paths.Csv.empty()) Csv = OutputFile(Paths.Csv);
    if (!Paths.Stamps.empty()) Stamps = OutputFile(Paths.Stamps);
    // The plot is drawn at the end, but its file is made now like the others.
    if (!Paths.Svg.empty()) Svg = OutputFile(Paths.Svg);
    if (!Paths.H5.empty()) H5.reset(new H5Recording(Paths.H5, Info));
  } catch (const Failure&) {
    for (OutputFile* f : {&Raw, &Csv, &Stamps, &Svg}) f->Discard();
    throw;
  }
  Attempt(CsvState, [&] { Csv.Write(std::string("time_s,sample,value\n")); });
  Attempt(StampsState, [&] { Stamps.Write(std::string("reply,time_us,packet,offset,bytes\n")); });
  if (!Paths.Svg.empty()) Plot.reset(new SamplePlot(info.FrequencyHz));
}

AcquireOutput::~AcquireOutput() = default;

template <typename Step>
void AcquireOutput::Attempt(OutputState& state, Step step) {
  if (state.Path.empty() || !state.Problem.empty()) return;
  try {
    step();
  } catch (const WriteFailure& f) {
    state.Problem = f.what();
    state.ReaderGone = f.ReaderGone;
  } catch (const Failure& f) {
    state.Problem = f.what();
  }
}

std::vector<const OutputState*> AcquireOutput::Outputs() const {
  std::vector<const OutputState*> all;
  for (const OutputState* o : {&RawState, &H5State, &CsvState, &SvgState, &StampsState, &SideState})
    if (!o->Path.empty()) all.push_back(o);
  return all;
}

const OutputState* AcquireOutput::Failed() const {
  for (const OutputState* o : Outputs())
    if (!o->Problem.empty() && !o->ReaderGone) return o;
  return nullptr;
}

bool AcquireOutput::ReaderGone() const {
  for (const OutputState* o : Outputs())
    if (o->ReaderGone) return true;
  return false;
}

bool AcquireOutput::Ended() const { return Failed() != nullptr || ReaderGone(); }

void AcquireOutput::Started(const AcquireStats& stats) {
  Info.StartUtc = stats.StartUtc;
  NextSample = stats.FirstSample;
  if (H5) H5->Begin();
  Attempt(SideState, [&] { WriteSideFile(SideState.Path, Info, Paths.Raw); });
}

void AcquireOutput::Reply(std::uint64_t timeUs, std::uint64_t packet, std::uint64_t offset, const unsigned char* data,
                          std::size_t length) {
  Attempt(RawState, [&] { Raw.Write(data, length); });
  Attempt(StampsState, [&] {
    char line[112];
    const int n = std::snprintf(line, sizeof line, "%llu,%llu,%llu,%llu,%llu\n",
                                static_cast<unsigned long long>(ReplyCount), static_cast<unsigned long long>(timeUs),
                                static_cast<unsigned long long>(packet), static_cast<unsigned long long>(offset),
                                static_cast<unsigned long long>(length));
    Stamps.Write(line, static_cast<std::size_t>(n));
  });
  ++ReplyCount;
  const std::uint64_t position = SampleCount;
  SawSampleInReply = false;
  Decoder.Feed(offset, data, length);
  Attempt(H5State, [&] {
    H5->Stamp(timeUs, packet, offset, position, SawSampleInReply ? ReplyFirstSample : NextSample);
    H5->Flush(false);
  });
}

void AcquireOutput::UseH5(std::unique_ptr<H5Recording> part, const std::string& path) {
  H5 = std::move(part);
  H5State.Path = path;
}

void AcquireOutput::Outage(const LossGap& gap, double beginS, double endS) {
  if (H5) H5->Outage(gap.FirstSample, gap.Samples, beginS, endS, true);
}

void AcquireOutput::Lost(const LossGap& gap) {
  if (H5) H5->Gap(gap.FirstSample, gap.Samples);
}

void AcquireOutput::Sample(std::uint64_t index, std::uint64_t value) {
  if (SampleCount == 0) First = index;
  if (!SawSampleInReply) ReplyFirstSample = index, SawSampleInReply = true;
  Last = index;
  NextSample = index + 1;
  ++SampleCount;
  Attempt(CsvState, [&] {
    // The sample's time from its index, exactly: whole seconds, then nanoseconds.
    const std::uint64_t hz = static_cast<std::uint64_t>(Info.FrequencyHz);
    const std::uint64_t ns = (index % hz) * 1000000000u / hz;
    char line[96];
    const int n = std::snprintf(line, sizeof line, "%llu.%09llu,%llu,%llu\n",
                                static_cast<unsigned long long>(index / hz), static_cast<unsigned long long>(ns),
                                static_cast<unsigned long long>(index), static_cast<unsigned long long>(value));
    Csv.Write(line, static_cast<std::size_t>(n));
  });
  Attempt(H5State, [&] { H5->Sample(value); });
  if (Plot) Plot->Add(index, value);
  if (OnSample) OnSample(index, value);
}

void AcquireOutput::Finish(const AcquireStats& stats, const std::string& ended, const std::string& title,
                           const std::string& subtitle) {
  RecordOutcome(Info, stats, SampleCount, ended);
  // The outcome the recordings state includes a file that failed on the way.
  auto settle = [&] {
    const OutputState* failed = Failed();
    if (failed != nullptr && Info.Ended.rfind("failed", 0) != 0) Info.Ended = "failed: " + failed->Problem;
  };
  for (auto [state, file] : {std::pair{&RawState, &Raw}, {&CsvState, &Csv}, {&StampsState, &Stamps}}) {
    if (state->Problem.empty()) {
      Attempt(*state, [&] { file->Close(); });
    } else {
      try {
        file->Close();  // once, like any other; its failure is already told
      } catch (const Failure&) {
      }
    }
  }
  settle();
  if (H5) {
    if (H5State.Problem.empty())
      Attempt(H5State, [&] { H5->Finish(Info); });
    else
      H5->Abandon();
  }
  settle();
  Attempt(SideState, [&] { WriteSideFile(SideState.Path, Info, Paths.Raw); });
  if (Plot)
    Attempt(SvgState, [&] {
      Svg.Write(Plot->Render(title, subtitle));
      Svg.Close();
    });
  if (const OutputState* failed = Failed()) throw Failure(failed->Problem);
}

std::vector<std::string> AcquireOutput::Written() const {
  std::vector<std::string> files;
  for (const OutputState* o : Outputs())
    if (o->Problem.empty()) files.push_back(ShownPath(o->Path));
  return files;
}

std::vector<std::string> AcquireOutput::NotWritten() const {
  std::vector<std::string> files;
  for (const OutputState* o : Outputs())
    if (!o->Problem.empty()) files.push_back(ShownPath(o->Path) + " (" + o->Problem + ")");
  return files;
}

}  // namespace velmora::cli
