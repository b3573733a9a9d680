// What makes a recording readable later on its own: the settings it was
// made with, where and when, and how it ended. The same fields go into a
// raw recording's JSON side file and into an HDF5 file's attributes, and
// `velmora info FILE` reads them back from either.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "acquisition/acquisition.h"
#include "device/device.h"
#include "output/json_value.h"

namespace velmora::cli {

struct RecordingInfo {
  // Settings and place.
  std::string Host;
  std::int32_t Channel = 0;
  std::int32_t FrequencyHz = 0;
  std::int32_t PacketBits = 0;
  int SampleBytes = 0;  // on the wire: ceil(bits / 8)
  std::int32_t BlockBytes = 0;
  int AZero = -1;       // -1: not sent
  std::vector<std::pair<std::uint32_t, bool>> Lines;
  std::string Mode;     // "all" or "latest"
  bool Attach = false;
  std::string StartUtc;
  std::string ToolVersion, LibraryVersion;
  // How it went; filled in at the end (and left at "recording" by a run
  // that never got there).
  std::string Ended = "recording";  // complete, interrupted, stopped on loss, failed: ..., ended early
  std::uint64_t FirstSample = 0;
  std::uint64_t Samples = 0;        // whole samples recorded
  std::uint64_t TargetSamples = 0;  // 0: no time limit
  std::uint64_t LostSamples = 0;
  std::uint64_t Bytes = 0;
  std::uint64_t Replies = 0;
  double Seconds = 0;
  std::vector<LossGap> Gaps;
};

// The settings of a run about to start.
RecordingInfo DescribeRun(const std::string& host, std::int32_t channel, const AcquireSettings& settings);
// Copies the outcome of a run into `info`.
void RecordOutcome(RecordingInfo& info, const AcquireStats& stats, std::uint64_t samples, const std::string& ended);

// "digital lines" as text: "3=on 5=off", "" when none were sent.
std::string LinesText(const std::vector<std::pair<std::uint32_t, bool>>& lines);
// "on", "off" or "not sent".
std::string AZeroText(int azero);

JsonValue ToJson(const RecordingInfo& info);
// A gap as every JSON the tool writes lists it; side files add "raw_offset".
JsonValue GapJson(const LossGap& gap);
// The settings every JSON the tool writes starts its "settings" with; each
// adds what it knows after them.
JsonValue SettingsJson(std::int32_t frequencyHz, std::int32_t packetBits, int sampleBytes, std::int32_t blockBytes);
// The recording a side file's text describes. Every field is checked for
// its type and range before it is used; a file that fails a check throws
// DamagedFile naming the field. `where` names the file in messages.
RecordingInfo ParseSideFile(const std::string& text, const std::string& where);

// The fields both kinds of file keep under the same names and types, read
// through either file's reader (the side file's and the HDF5 attributes'
// offer the same calls), so that the two readers cannot come to disagree.
// What each file lays out its own way (lines, mode, attach, the device) its
// reader reads itself.
template <class Fields>
void ReadCommonSettings(const Fields& settings, RecordingInfo& r) {
  r.FrequencyHz = static_cast<std::int32_t>(settings.Setting("frequency_hz"));
  r.PacketBits = static_cast<std::int32_t>(settings.Setting("packet_bits"));
  r.SampleBytes = static_cast<int>(settings.Setting("sample_bytes"));
  r.BlockBytes = static_cast<std::int32_t>(settings.Setting("block_bytes"));
  const std::string azero = settings.Text("azero");
  r.AZero = azero == "on" ? 1 : azero == "off" ? 0 : -1;
}
template <class Fields>
void ReadCommonOutcome(const Fields& outcome, RecordingInfo& r) {
  r.StartUtc = outcome.Text("start_time_utc");
  r.ToolVersion = outcome.Text("tool_version");
  r.LibraryVersion = outcome.Text("library_version");
  r.Ended = outcome.Text("ended");
  r.FirstSample = outcome.Count("first_sample");
  r.Samples = outcome.Count("samples");
  r.TargetSamples = outcome.Count("target_samples");
  r.LostSamples = outcome.Count("lost_samples");
  r.Bytes = outcome.Count("bytes");
  r.Replies = outcome.Count("replies");
  r.Seconds = outcome.Number("seconds");
}

// What an HDF5 recording holds: one device, or a group of several.
struct H5Contents {
  bool Group = false;
  double StartSpreadS = 0;
  std::vector<RecordingInfo> Devices;
};
// H5Contents as one JSON text and back: the reader in a child process hands
// what it found to the parent this way. The parse throws DamagedFile.
std::string H5ContentsText(const H5Contents& contents);
H5Contents ParseH5ContentsText(const std::string& text, const std::string& where);

// Side files are a few KiB (the gaps they list are capped); anything far
// larger is refused before it is parsed.
constexpr std::size_t MaxSideFileBytes = std::size_t(1) << 20;

// The failure for a file that is not a recording as this tool writes them:
// "WHERE: damaged or foreign file: REASON".
Failure DamagedFile(const std::string& where, const std::string& reason);

// The values a whole-number field of a recording may take, the same in
// both kinds of file: settings as the tool accepts them, counts from 0.
struct FieldRange {
  std::int64_t Min, Max;
};
FieldRange RangeOf(const std::string& field);
// `value` when it lies in the range of `field`, else throws DamagedFile
// naming the field as `shown`.
std::int64_t InRange(const std::string& where, const std::string& shown, const std::string& field,
                     std::int64_t value);

// The side file of a raw recording: FILE.json beside FILE.
std::string SideFilePath(const std::string& raw);
// Writes it whole to a temporary name first and then renames it over the
// old one, so that an interruption leaves the previous version intact.
void WriteSideFile(const std::string& path, const RecordingInfo& info, const std::string& rawPath);

}  // namespace velmora::cli
