#include "acquire_output.h"

#include <cstdio>

#include "device.h"
#include "terminal.h"
#include "usage_error.h"

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
  if (!Paths.Raw.empty()) Raw = OutputFile(Paths.Raw);
  if (!Paths.Csv.empty()) {
    Csv = OutputFile(Paths.Csv);
    std::fputs("time_s,sample,value\n", Csv.Stream());
  }
  if (!Paths.Stamps.empty()) {
    Stamps = OutputFile(Paths.Stamps);
    std::fputs("reply,time_us,packet,offset,bytes\n", Stamps.Stream());
  }
  if (!Paths.H5.empty()) H5.reset(new H5Recording(Paths.H5, Info));
  if (!Paths.Svg.empty()) Plot.reset(new SamplePlot(info.FrequencyHz));
}

AcquireOutput::~AcquireOutput() = default;

void AcquireOutput::Started(const AcquireStats& stats) {
  Info.StartUtc = stats.StartUtc;
  NextSample = stats.FirstSample;
  if (Raw.IsOpen() && !Raw.IsStdout() && Paths.SideFile) WriteSideFile(SideFilePath(Paths.Raw), Info, Paths.Raw);
}

void AcquireOutput::Reply(std::uint64_t timeUs, std::uint64_t packet, std::uint64_t offset, const unsigned char* data,
                          std::size_t length) {
  Raw.Write(data, length);
  if (Stamps.IsOpen())
    std::fprintf(Stamps.Stream(), "%llu,%llu,%llu,%llu,%llu\n", static_cast<unsigned long long>(ReplyCount),
                 static_cast<unsigned long long>(timeUs), static_cast<unsigned long long>(packet),
                 static_cast<unsigned long long>(offset), static_cast<unsigned long long>(length));
  ++ReplyCount;
  const std::uint64_t position = SampleCount;
  SawSampleInReply = false;
  Decoder.Feed(offset, data, length);
  if (H5) {
    H5->Stamp(timeUs, packet, offset, position, SawSampleInReply ? ReplyFirstSample : NextSample);
    H5->Flush(false);
  }
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
  if (Csv.IsOpen()) {
    // The sample's time from its index, exactly: whole seconds, then nanoseconds.
    const std::uint64_t hz = static_cast<std::uint64_t>(Info.FrequencyHz);
    const std::uint64_t ns = (index % hz) * 1000000000u / hz;
    std::fprintf(Csv.Stream(), "%llu.%09llu,%llu,%llu\n", static_cast<unsigned long long>(index / hz),
                 static_cast<unsigned long long>(ns), static_cast<unsigned long long>(index),
                 static_cast<unsigned long long>(value));
  }
  if (H5) H5->Sample(value);
  if (Plot) Plot->Add(index, value);
  if (OnSample) OnSample(index, value);
}

void AcquireOutput::Finish(const AcquireStats& stats, const std::string& ended, const std::string& title,
                           const std::string& subtitle) {
  RecordOutcome(Info, stats, SampleCount, ended);
  std::string failed;
  auto attempt = [&](const std::function<void()>& step) {
    try {
      step();
    } catch (const Failure& f) {
      if (failed.empty()) failed = f.what();
    }
  };
  attempt([&] { Raw.Close(); });
  attempt([&] { Csv.Close(); });
  attempt([&] { Stamps.Close(); });
  if (H5) attempt([&] { H5->Finish(Info); });
  if (!Paths.Raw.empty() && Paths.Raw != "-" && Paths.SideFile)
    attempt([&] { WriteSideFile(SideFilePath(Paths.Raw), Info, Paths.Raw); });
  if (Plot)
    attempt([&] {
      OutputFile svg(Paths.Svg);
      const std::string text = Plot->Render(title, subtitle);
      svg.Write(text.data(), text.size());
      svg.Close();
    });
  if (!failed.empty()) throw Failure(failed);
}

std::vector<std::string> AcquireOutput::Written() const {
  std::vector<std::string> files;
  for (const std::string* p : {&Paths.Raw, &Paths.H5, &Paths.Csv, &Paths.Svg, &Paths.Stamps})
    if (!p->empty()) files.push_back(ShownPath(*p));
  if (!Paths.Raw.empty() && Paths.Raw != "-" && Paths.SideFile) files.push_back(SideFilePath(Paths.Raw));
  return files;
}

}  // namespace velmora::cli
