#include "panel_recorder.h"

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <utility>

#include "device/device.h"
#include "recordings/h5_recording.h"
#include "output/terminal.h"

namespace velmora::cli {

PanelRecorder::PanelRecorder(std::string folder) : Folder(std::move(folder)) {}

PanelRecorder::~PanelRecorder() {
  try {
    End("interrupted");
  } catch (const Failure&) {
    // Nobody is left to tell; the file is closed and says "interrupted" if
    // that much could be written.
  }
}

std::vector<std::string> PanelRecorder::Formats() {
  if (H5Recording::Available()) return {"h5", "raw"};
  return {"raw"};
}

std::string PanelRecorder::NewPath(const std::string& extension) const {
  const std::tm utc = UtcParts(std::time(nullptr));
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &utc);
  // Two recordings within a second get a number; the side file counts as
  // taken too, so a raw recording never overwrites another's.
  for (int n = 1; n < 1000; ++n) {
    const std::string name = std::string("velmora-") + stamp + (n > 1 ? "-" + std::to_string(n) : "") + extension;
    const std::filesystem::path path = std::filesystem::path(Folder) / name;
    std::error_code ignored;
    if (!std::filesystem::exists(path, ignored) && !std::filesystem::exists(SideFilePath(path.string()), ignored))
      return path.string();
  }
  throw Failure("record: no free file name in " + Folder);
}

std::string PanelRecorder::Begin(RecordingInfo info, const std::string& format, std::uint64_t nextSample) {
  if (Folder.empty()) throw Failure("record: the panel was started without --record-dir");
  if (Out) throw Failure("record: already recording to " + Path);
  const std::vector<std::string> formats = Formats();
  if (std::find(formats.begin(), formats.end(), format) == formats.end())
    throw Failure("record: no format \"" + format + "\" here");
  OutputPaths paths;
  const std::string path = NewPath(format == "h5" ? ".h5" : ".bin");
  (format == "h5" ? paths.H5 : paths.Raw) = path;
  Part = AcquireStats{};
  Part.StartUtc = UtcNow();
  Part.FirstSample = nextSample;
  StartedAt = NowSeconds();
  auto out = std::make_unique<AcquireOutput>(paths, info);
  out->Started(Part);
  Out = std::move(out);
  std::lock_guard<std::mutex> lock(M);
  Recording = true;
  Path = path;
  Format = format;
  Ended.clear();
  Error.clear();
  Samples = Bytes = LostSamples = 0;
  return path;
}

void PanelRecorder::Fail(const std::string& why) {
  {
    std::lock_guard<std::mutex> lock(M);
    Error = why;
  }
  try {
    End("failed: " + why);
  } catch (const Failure&) {
    // Already failed; the first reason is the one shown.
  }
}

void PanelRecorder::Reply(std::uint64_t timeUs, std::uint64_t packet, std::uint64_t offset,
                          const unsigned char* data, std::size_t length) {
  if (!Out) return;
  try {
    Out->Reply(timeUs, packet, offset, data, length);
  } catch (const Failure& f) {
    return Fail(f.what());
  }
  ++Part.Replies;
  Part.Bytes += length;
  Part.Seconds = NowSeconds() - StartedAt;
  std::lock_guard<std::mutex> lock(M);
  Samples = Out->Samples();
  Bytes = Part.Bytes;
}

void PanelRecorder::Lost(const LossGap& gap) {
  if (!Out) return;
  try {
    Out->Lost(gap);
  } catch (const Failure& f) {
    return Fail(f.what());
  }
  ++Part.GapCount;
  Part.LostSamples += gap.Samples;
  if (Part.Gaps.size() < MaxKeptGaps) Part.Gaps.push_back(gap);
  std::lock_guard<std::mutex> lock(M);
  LostSamples = Part.LostSamples;
}

void PanelRecorder::End(const std::string& ended) {
  if (!Out) return;
  std::unique_ptr<AcquireOutput> out = std::move(Out);
  if (out->Samples() > 0) Part.FirstSample = out->FirstSample();
  Part.Seconds = NowSeconds() - StartedAt;
  {
    std::lock_guard<std::mutex> lock(M);
    Recording = false;
    Ended = ended;
    Samples = out->Samples();
  }
  try {
    out->Finish(Part, ended, "Samples against time", "");
  } catch (const Failure& f) {
    std::lock_guard<std::mutex> lock(M);
    if (Error.empty()) Error = f.what();
    throw;
  }
}

bool PanelRecorder::Active() const { return Out != nullptr; }

Json PanelRecorder::Status() const {
  std::lock_guard<std::mutex> lock(M);
  Json status = {{"folder", Folder.empty() ? Json(nullptr) : Json(Folder)}, {"formats", Formats()},
                 {"active", Recording}};
  if (!Path.empty())
    status.update({{"path", Path}, {"format", Format}, {"samples", Samples}, {"bytes", Bytes},
                   {"lost_samples", LostSamples}, {"ended", Ended}, {"error", Error}});
  return status;
}

}  // namespace velmora::cli
