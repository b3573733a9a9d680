#include "acquire_output.h"

#include <cerrno>
#include <cstring>

#include "device.h"
#include "terminal.h"

namespace velmora::cli {
namespace {

std::FILE* Create(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) throw Failure("cannot create " + path + ": " + std::strerror(errno));
  return f;
}

}  // namespace

AcquireOutput::AcquireOutput(const OutputPaths& paths, const StreamFormat& format)
    : Paths(paths),
      Format(format),
      Decoder(format.SampleBytes, [this](std::uint64_t i, std::uint64_t v) { Sample(i, v); }) {
  try {
    if (Paths.Raw == "-") {
      SetBinary(stdout);
      Raw = stdout;
      RawIsStdout = true;
    } else if (!Paths.Raw.empty()) {
      Raw = Create(Paths.Raw);
    }
    if (!Paths.Csv.empty()) {
      Csv = Create(Paths.Csv);
      std::fputs("time_s,sample,value\n", Csv);
    }
    if (!Paths.Stamps.empty()) {
      Stamps = Create(Paths.Stamps);
      std::fputs("reply,time_us,packet,offset,bytes\n", Stamps);
    }
  } catch (...) {
    if (Raw && !RawIsStdout) std::fclose(Raw);
    if (Csv) std::fclose(Csv);
    throw;
  }
  if (!Paths.Svg.empty()) Plot.reset(new SamplePlot(format.FrequencyHz));
}

AcquireOutput::~AcquireOutput() {
  if (Raw && !RawIsStdout) std::fclose(Raw);
  if (Csv) std::fclose(Csv);
  if (Stamps) std::fclose(Stamps);
}

void AcquireOutput::Reply(std::uint64_t timeUs, std::uint64_t packet, std::uint64_t offset,
                          const unsigned char* data, std::size_t length) {
  if (Raw) std::fwrite(data, 1, length, Raw);
  if (Stamps)
    std::fprintf(Stamps, "%llu,%llu,%llu,%llu,%llu\n", static_cast<unsigned long long>(ReplyCount),
                 static_cast<unsigned long long>(timeUs), static_cast<unsigned long long>(packet),
                 static_cast<unsigned long long>(offset), static_cast<unsigned long long>(length));
  ++ReplyCount;
  Decoder.Feed(offset, data, length);
}

void AcquireOutput::Sample(std::uint64_t index, std::uint64_t value) {
  if (SampleCount == 0) First = index;
  Last = index;
  ++SampleCount;
  if (Csv) {
    // The sample's time from its index, exactly: whole seconds, then nanoseconds.
    const std::uint64_t hz = static_cast<std::uint64_t>(Format.FrequencyHz);
    const std::uint64_t ns = (index % hz) * 1000000000u / hz;
    std::fprintf(Csv, "%llu.%09llu,%llu,%llu\n", static_cast<unsigned long long>(index / hz),
                 static_cast<unsigned long long>(ns), static_cast<unsigned long long>(index),
                 static_cast<unsigned long long>(value));
  }
  if (Plot) Plot->Add(index, value);
  if (OnSample) OnSample(index, value);
}

void AcquireOutput::Finish(const std::string& title, const std::string& subtitle) {
  bool ok = true;
  std::string failed;
  auto close = [&](std::FILE*& f, const std::string& path) {
    if (f == nullptr) return;
    const bool good = std::ferror(f) == 0 && (f == stdout ? std::fflush(f) == 0 : std::fclose(f) == 0);
    if (!good && ok) failed = path, ok = false;
    f = nullptr;
  };
  close(Raw, Paths.Raw);
  close(Csv, Paths.Csv);
  close(Stamps, Paths.Stamps);
  if (Plot && !Plot->Write(Paths.Svg, title, subtitle) && ok) failed = Paths.Svg, ok = false;
  if (!ok) throw Failure("cannot write " + (failed == "-" ? std::string("standard output") : failed));
}

}  // namespace velmora::cli
