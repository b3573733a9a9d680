#include "recordings/recording.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

#include "device/device.h"
#include "diff/wire_vocabulary.h"
#include "output/json.h"
#include "output/terminal.h"
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

JsonValue GapJson(const LossGap& g) {
  return {{"first_sample", g.FirstSample}, {"samples", g.Samples}, {"time_s", g.TimeS}};
}

JsonValue SettingsJson(std::int32_t frequencyHz, std::int32_t packetBits, int sampleBytes, std::int32_t blockBytes) {
  return {{"frequency_hz", frequencyHz},
          {"packet_bits", packetBits},
          {"sample_bytes", sampleBytes},
          {"block_bytes", blockBytes}};
}

JsonValue ToJson(const RecordingInfo& r) {
  JsonValue lines = JsonValue::array(), gaps = JsonValue::array();
  for (const auto& l : r.Lines) lines.push_back({{"line", l.first}, {"on", l.second}});
  for (const LossGap& g : r.Gaps) {
    JsonValue gap = GapJson(g);
    gap["raw_offset"] = g.RecordedBytes;
    gaps.push_back(gap);
  }
  JsonValue settings = SettingsJson(r.FrequencyHz, r.PacketBits, r.SampleBytes, r.BlockBytes);
  settings["azero"] = AZeroText(r.AZero);
  settings["lines"] = lines;
  settings["mode"] = r.Mode;
  settings["attach"] = r.Attach;
  return {{"format", "velmora recording"},
          {"settings", settings},
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

Failure DamagedFile(const std::string& where, const std::string& reason) {
  return Failure(where + ": damaged or foreign file: " + reason);
}

FieldRange RangeOf(const std::string& field) {
  static const struct {
    const char* Name;
    FieldRange Range;
  } Settings[] = {
      {"frequency_hz", {1, wire::MaxFrequencyHz}},
      {"packet_bits", {1, wire::MaxPacketBits}},
      {"sample_bytes", {1, 8}},
      {"block_bytes", {1, wire::MaxBlockBytes}},
      {"channel", {0, 15}},
      {"line", {0, 31}},
      {"attach", {0, 1}},
  };
  for (const auto& s : Settings)
    if (field == s.Name) return s.Range;
  return {0, std::numeric_limits<std::int64_t>::max()};  // a count
}

std::int64_t InRange(const std::string& where, const std::string& shown, const std::string& field,
                     std::int64_t value) {
  const FieldRange r = RangeOf(field);
  if (value < r.Min || value > r.Max) {
    const auto text = [](std::int64_t v) {
      return v < 0 ? "-" + Grouped(static_cast<std::uint64_t>(-(v + 1)) + 1) : Grouped(static_cast<std::uint64_t>(v));
    };
    throw DamagedFile(where, shown + " is " + text(value) + ", outside " + text(r.Min) + " to " + text(r.Max));
  }
  return value;
}

namespace {

// A side file is parsed with nlohmann's plain json: its std::map finds a key
// in log time where the ordered kind searches a list, which a file of many
// thousand keys would turn into minutes.
using SideJson = nlohmann::json;

// Our side files nest four deep; far deeper is refused while parsing, before
// the parse has built it.
constexpr int MaxSideFileDepth = 16;

const char* TypeName(const SideJson& j) {
  switch (j.type()) {
    case SideJson::value_t::null: return "null";
    case SideJson::value_t::object: return "an object";
    case SideJson::value_t::array: return "a list";
    case SideJson::value_t::string: return "text";
    case SideJson::value_t::boolean: return "true or false";
    case SideJson::value_t::number_float: return "a fraction";
    default: return "a number";
  }
}

// The fields of one object of a side file, each read as the type it must
// have and named by its path ("settings.frequency_hz") when it is wrong.
// Absent fields take their defaults, as in a file of an older version.
class SideFields {
 public:
  SideFields(const SideJson& object, const std::string& where, std::string path)
      : J(object), Where(where), Path(std::move(path)) {
    if (!J.is_object()) throw Wrong(Path.empty() ? "the file" : Path, J, "an object");
  }

  bool Has(const char* name) const { return J.contains(name); }
  SideFields Object(const char* name) const { return SideFields(Needed(name), Where, Shown(name)); }

  // A setting, which every side file holds.
  std::int64_t Setting(const char* name) const {
    Needed(name);
    return Integer(name);
  }

  // A whole number in the range of the field of this name.
  std::int64_t Integer(const char* name, std::int64_t fallback = 0) const {
    if (!Has(name)) return fallback;
    const SideJson& v = At(name);
    std::int64_t value;
    if (v.is_number_unsigned()) {
      const std::uint64_t u = v.get<std::uint64_t>();
      value = u > std::uint64_t(std::numeric_limits<std::int64_t>::max()) ? std::numeric_limits<std::int64_t>::max()
                                                                         : static_cast<std::int64_t>(u);
    } else if (v.is_number_integer()) {
      value = v.get<std::int64_t>();
    } else {
      throw Wrong(Shown(name), v, "a whole number");
    }
    return InRange(Where, Shown(name), name, value);
  }
  std::uint64_t Count(const char* name) const { return static_cast<std::uint64_t>(Integer(name)); }

  double Number(const char* name) const {
    if (!Has(name)) return 0;
    const SideJson& v = At(name);
    if (!v.is_number()) throw Wrong(Shown(name), v, "a number");
    const double d = v.get<double>();
    if (!(d >= 0 && d <= std::numeric_limits<double>::max()))
      throw DamagedFile(Where, Shown(name) + " is negative or not a number");
    return d;
  }

  std::string Text(const char* name, const char* fallback = "") const {
    if (!Has(name)) return fallback;
    const SideJson& v = At(name);
    if (!v.is_string()) throw Wrong(Shown(name), v, "text");
    return v.get<std::string>();
  }

  bool Flag(const char* name) const {
    if (!Has(name)) return false;
    const SideJson& v = At(name);
    if (!v.is_boolean()) throw Wrong(Shown(name), v, "true or false");
    return v.get<bool>();
  }

  // Each object of the list `name`, up to `most` of them.
  template <typename Each>
  void List(const char* name, std::size_t most, Each each) const {
    if (!Has(name)) return;
    const SideJson& v = At(name);
    if (!v.is_array()) throw Wrong(Shown(name), v, "a list");
    for (std::size_t i = 0; i < v.size() && i < most; ++i)
      each(SideFields(v[i], Where, Shown(name) + "[" + std::to_string(i) + "]"));
  }

 private:
  const SideJson& At(const char* name) const { return J.at(name); }
  const SideJson& Needed(const char* name) const {
    if (!Has(name)) throw DamagedFile(Where, Shown(name) + " is missing");
    return At(name);
  }
  std::string Shown(const char* name) const { return Path.empty() ? name : Path + "." + name; }
  Failure Wrong(const std::string& shown, const SideJson& v, const char* wanted) const {
    return DamagedFile(Where, shown + " is " + TypeName(v) + " where " + wanted + " belongs");
  }

  const SideJson& J;
  const std::string& Where;
  std::string Path;
};

// The deepest nesting of arrays and objects in `text`, brackets inside
// strings aside; text that is not JSON gives some number, and the parser
// then refuses it.
int NestingDepth(const std::string& text) {
  int depth = 0, deepest = 0;
  bool inString = false, escaped = false;
  for (const char c : text) {
    if (inString) {
      if (escaped) escaped = false;
      else if (c == '\\') escaped = true;
      else if (c == '"') inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '{' || c == '[') {
      deepest = std::max(deepest, ++depth);
    } else if (c == '}' || c == ']') {
      --depth;
    }
  }
  return deepest;
}

SideJson ParseBounded(const std::string& text, const std::string& where) {
  if (text.size() > MaxSideFileBytes)
    throw DamagedFile(where, "a side file of " + Grouped(text.size()) + " bytes; they are at most " +
                                 Grouped(MaxSideFileBytes));
  // Nesting is measured before parsing, so no deep document is ever built.
  // nlohmann's callback parser is not used for it: a number too large for a
  // double thrown from inside that parser ends the process.
  if (NestingDepth(text) > MaxSideFileDepth)
    throw DamagedFile(where, "JSON nested more than " + std::to_string(MaxSideFileDepth) + " deep");
  try {
    return SideJson::parse(text);
  } catch (const SideJson::parse_error& e) {
    throw DamagedFile(where, "not valid JSON (at byte " + Grouped(e.byte) + ")");
  } catch (const SideJson::exception&) {
    throw DamagedFile(where, "not valid JSON (a number out of range)");
  }
}

}  // namespace

RecordingInfo ParseSideFile(const std::string& text, const std::string& where) {
  const SideJson j = ParseBounded(text, where);
  if (!j.is_object() || !j.contains("format") || j["format"] != "velmora recording")
    throw Failure(where + " does not describe a velmora recording");
  const SideFields top(j, where, "");
  RecordingInfo r;
  const SideFields s = top.Object("settings");
  ReadCommonSettings(s, r);
  s.List("lines", 32, [&](const SideFields& l) {
    r.Lines.emplace_back(static_cast<std::uint32_t>(l.Integer("line")), l.Flag("on"));
  });
  r.Mode = s.Text("mode", "all");
  r.Attach = s.Flag("attach");
  if (top.Has("device")) {
    const SideFields d = top.Object("device");
    r.Host = d.Text("host");
    r.Channel = static_cast<std::int32_t>(d.Integer("channel"));
  }
  ReadCommonOutcome(top, r);
  top.List("gaps", MaxKeptGaps, [&](const SideFields& g) {
    LossGap gap;
    gap.FirstSample = g.Count("first_sample");
    gap.Samples = g.Count("samples");
    gap.TimeS = g.Number("time_s");
    gap.RecordedBytes = g.Count("raw_offset");
    r.Gaps.push_back(gap);
  });
  return r;
}

std::string H5ContentsText(const H5Contents& c) {
  JsonValue devices = JsonValue::array();
  for (const RecordingInfo& r : c.Devices) devices.push_back(ToJson(r));
  return JsonText({{"group", c.Group}, {"start_spread_s", c.StartSpreadS}, {"devices", devices}});
}

H5Contents ParseH5ContentsText(const std::string& text, const std::string& where) {
  H5Contents c;
  const nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
  if (!j.is_object() || !j.contains("devices") || !j["devices"].is_array() || !j.contains("group") ||
      !j["group"].is_boolean() || !j.contains("start_spread_s") || !j["start_spread_s"].is_number())
    throw DamagedFile(where, "what was read of it is not a recording");
  c.Group = j["group"].get<bool>();
  c.StartSpreadS = j["start_spread_s"].get<double>();
  for (const auto& d : j["devices"]) c.Devices.push_back(ParseSideFile(d.dump(), where));
  return c;
}

std::string SideFilePath(const std::string& raw) { return raw + ".json"; }

void WriteSideFile(const std::string& path, const RecordingInfo& info, const std::string& rawPath) {
  JsonValue j = ToJson(info);
  j["raw_file"] = rawPath;
  const std::string text = JsonText(j, 2) + "\n";
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
