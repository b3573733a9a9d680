#include "recording.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "device.h"
#include "json.h"
#include "version.h"

namespace velmora::cli {

RecordingInfo DescribeRun(const std::string& host, std::int32_t channel, const AcquireSettings& s) {
  RecordingInfo info;
  info.Host = host;
  info.Channel = channel;
  info.FrequencyHz = s.Format.FrequencyHz;
  info.PacketBits = s.PacketBits;
  info.SampleBytes = s.Format.SampleBytes;
  info.BlockBytes = s.Format.BlockBytes;
  info.AZero = s.AZero;
  info.Lines = s.Lines;
  info.Mode = s.Latest ? "latest" : "all";
  info.Attach = s.Attach;
  info.ToolVersion = ToolVersion;
  info.LibraryVersion = LibraryVersion;
  return info;
}

void RecordOutcome(RecordingInfo& info, const AcquireStats& stats, std::uint64_t samples, const std::string& ended) {
  info.StartUtc = stats.StartUtc;
  info.Ended = ended;
  info.FirstSample = stats.FirstSample;
  info.Samples = samples;
  info.TargetSamples = stats.TargetSamples;
  info.LostSamples = stats.LostSamples;
  info.Bytes = stats.Bytes;
  info.Replies = stats.Replies;
  info.Seconds = stats.Seconds;
  info.Gaps = stats.Gaps;
}

std::string LinesText(const std::vector<std::pair<std::uint32_t, bool>>& lines) {
  std::string text;
  for (const auto& l : lines) text += (text.empty() ? "" : " ") + std::to_string(l.first) + (l.second ? "=on" : "=off");
  return text;
}

std::string AZeroText(int azero) { return azero < 0 ? "not sent" : azero ? "on" : "off"; }

Json ToJson(const RecordingInfo& r) {
  Json lines = Json::array(), gaps = Json::array();
  for (const auto& l : r.Lines) lines.push_back({{"line", l.first}, {"on", l.second}});
  for (const LossGap& g : r.Gaps)
    gaps.push_back({{"first_sample", g.FirstSample}, {"samples", g.Samples}, {"time_s", g.TimeS},
                    {"raw_offset", g.RecordedBytes}});
  return {{"format", "velmora recording"},
          {"settings",
           {{"frequency_hz", r.FrequencyHz}, {"packet_bits", r.PacketBits}, {"sample_bytes", r.SampleBytes},
            {"block_bytes", r.BlockBytes}, {"azero", AZeroText(r.AZero)}, {"lines", lines}, {"mode", r.Mode},
            {"attach", r.Attach}}},
          {"device", {{"host", r.Host}, {"channel", r.Channel}}},
          {"start_time_utc", r.StartUtc},
          {"tool_version", r.ToolVersion},
          {"library_version", r.LibraryVersion},
          {"ended", r.Ended},
          {"first_sample", r.FirstSample},
          {"samples", r.Samples},
          {"target_samples", r.TargetSamples},
          {"lost_samples", r.LostSamples},
          {"gaps", gaps},
          {"bytes", r.Bytes},
          {"replies", r.Replies},
          {"seconds", r.Seconds}};
}

RecordingInfo FromJson(const Json& j, const std::string& where) {
  if (!j.is_object() || j.value("format", "") != "velmora recording")
    throw Failure(where + " does not describe a velmora recording");
  RecordingInfo r;
  try {
    const Json& s = j.at("settings");
    r.FrequencyHz = s.at("frequency_hz").get<std::int32_t>();
    r.PacketBits = s.at("packet_bits").get<std::int32_t>();
    r.SampleBytes = s.at("sample_bytes").get<int>();
    r.BlockBytes = s.at("block_bytes").get<std::int32_t>();
    const std::string azero = s.value("azero", "not sent");
    r.AZero = azero == "on" ? 1 : azero == "off" ? 0 : -1;
    for (const Json& l : s.value("lines", Json::array()))
      r.Lines.emplace_back(l.at("line").get<std::uint32_t>(), l.at("on").get<bool>());
    r.Mode = s.value("mode", "all");
    r.Attach = s.value("attach", false);
    r.Host = j.at("device").value("host", "");
    r.Channel = j.at("device").value("channel", 0);
    r.StartUtc = j.value("start_time_utc", "");
    r.ToolVersion = j.value("tool_version", "");
    r.LibraryVersion = j.value("library_version", "");
    r.Ended = j.value("ended", "");
    r.FirstSample = j.value("first_sample", std::uint64_t(0));
    r.Samples = j.value("samples", std::uint64_t(0));
    r.TargetSamples = j.value("target_samples", std::uint64_t(0));
    r.LostSamples = j.value("lost_samples", std::uint64_t(0));
    r.Bytes = j.value("bytes", std::uint64_t(0));
    r.Replies = j.value("replies", std::uint64_t(0));
    r.Seconds = j.value("seconds", 0.0);
    for (const Json& g : j.value("gaps", Json::array())) {
      LossGap gap;
      gap.FirstSample = g.at("first_sample").get<std::uint64_t>();
      gap.Samples = g.at("samples").get<std::uint64_t>();
      gap.TimeS = g.value("time_s", 0.0);
      gap.RecordedBytes = g.value("raw_offset", std::uint64_t(0));
      r.Gaps.push_back(gap);
    }
  } catch (const nlohmann::json::exception& e) {
    throw Failure(where + ": " + e.what());
  }
  return r;
}

std::string SideFilePath(const std::string& raw) { return raw + ".json"; }

void WriteSideFile(const std::string& path, const RecordingInfo& info, const std::string& rawPath) {
  Json j = ToJson(info);
  j["raw_file"] = rawPath;
  const std::string text = j.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
  const std::string temporary = path + ".part";
  std::FILE* f = std::fopen(temporary.c_str(), "wb");
  if (f == nullptr) throw Failure("cannot create " + temporary + ": " + std::strerror(errno));
  errno = 0;
  const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  int error = written ? 0 : errno;
  if (std::fclose(f) != 0 && error == 0) error = errno != 0 ? errno : EIO;
  if (!written || error != 0) {
    std::remove(temporary.c_str());
    throw Failure("cannot write " + path + ": " + std::strerror(error != 0 ? error : EIO));
  }
  std::remove(path.c_str());  // rename does not replace an existing file everywhere
  if (std::rename(temporary.c_str(), path.c_str()) != 0)
    throw Failure("cannot rename " + temporary + " to " + path + ": " + std::strerror(errno));
}

}  // namespace velmora::cli
