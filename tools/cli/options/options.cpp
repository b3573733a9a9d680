#include "options/option_parser.h"

#include <algorithm>
#include <cstdio>

#include "commands/command.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>

#include "diff/wire_vocabulary.h"

namespace velmora::cli {

std::int64_t ParseBytes(const std::string& text, const char* what, std::int64_t min, std::int64_t max) {
  errno = 0;
  char* end = nullptr;
  // Decimal, or hexadecimal with 0x; a leading zero does not mean octal.
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const long long v = std::strtoll(text.c_str(), &end, hex ? 16 : 10);
  std::int64_t scale = 1;
  if (end != text.c_str() && *end != '\0' && end[1] == '\0') {
    switch (*end) {
      case 'k': case 'K': scale = 1 << 10; ++end; break;
      case 'M': scale = 1 << 20; ++end; break;
      case 'G': scale = std::int64_t(1) << 30; ++end; break;
      default: break;
    }
  }
  if (text.empty() || end == text.c_str() || *end != '\0' || errno == ERANGE)
    throw UsageError(std::string("bad number for ") + what + ": " + text);
  if (v < min / scale || v > max / scale || v * scale < min || v * scale > max)
    throw UsageError(std::string(what) + " must be between " + std::to_string(min) + " and " +
                     std::to_string(max) + ": " + text);
  return v * scale;
}

bool ParseOnOff(const std::string& text, const char* what) {
  if (text == "on" || text == "1" || text == "yes" || text == "true") return true;
  if (text == "off" || text == "0" || text == "no" || text == "false") return false;
  throw UsageError(std::string(what) + " takes on or off: " + text);
}

namespace {

// A validator from one of the parsers above: CLI11 wants the complaint
// returned, the parsers throw it, and the option keeps the parsed spelling.
template <class Reparse>
CLI::Validator Reparsing(Reparse reparse, const char* name) {
  return CLI::Validator(
      [reparse](std::string& text) -> std::string {
        try {
          text = reparse(text);
          return {};
        } catch (const UsageError& e) {
          return e.what();
        }
      },
      "", name);
}

CLI::Validator ByteCountCheck(std::int64_t min, std::int64_t max) {
  return Reparsing(
      [min, max](const std::string& text) { return std::to_string(ParseBytes(text, "the value", min, max)); },
      "BYTES");
}

const CLI::Validator OnOffCheck =
    Reparsing([](const std::string& text) { return std::string(ParseOnOff(text, "the value") ? "1" : "0"); }, "ON/OFF");

const CLI::Validator SecondsCheck(
    [](std::string& text) -> std::string {
      char* end = nullptr;
      const double v = std::strtod(text.c_str(), &end);
      if (text.empty() || *end != '\0' || !std::isfinite(v) || v < 0)
        return "takes a number of seconds, 0 or more: " + text;
      return {};
    },
    "", "SECONDS");

CLI::Validator WholeCheck(std::int64_t min, std::int64_t max) {
  return CLI::Validator(
      [min, max](std::string& text) -> std::string {
        errno = 0;
        char* end = nullptr;
        const long long v = std::strtoll(text.c_str(), &end, 10);
        if (text.empty() || *end != '\0' || errno == ERANGE || v < min || v > max)
          return "takes a whole number from " + std::to_string(min) + " to " + std::to_string(max) + ": " + text;
        return {};
      },
      "", "WHOLE");
}

CLI::Validator OneOfCheck(std::vector<std::string> words) {
  return CLI::Validator(
      [words](std::string& text) -> std::string {
        std::string list;
        for (const std::string& w : words) {
          if (w == text) return {};
          list += (list.empty() ? "" : &w == &words.back() ? " or " : ", ") + w;
        }
        return "takes " + list + ": " + text;
      },
      "", "WORD");
}

}  // namespace

Rule ByteCount(std::int64_t min, std::int64_t max) { return Rule{Rule::Kind::Bytes, min, max, {}}; }
const Rule OnOff{Rule::Kind::OnOff, 0, 0, {}};
const Rule Seconds{Rule::Kind::Seconds, 0, 0, {}};
Rule Whole(std::int64_t min, std::int64_t max) { return Rule{Rule::Kind::Whole, min, max, {}}; }
Rule OneOf(std::vector<std::string> words) { return Rule{Rule::Kind::OneOf, 0, 0, std::move(words)}; }
const Rule ExistingDirectory{Rule::Kind::ExistingDirectory, 0, 0, {}};

namespace {

CLI::Validator Check(const Rule& rule) {
  switch (rule.What) {
    case Rule::Kind::Bytes: return ByteCountCheck(rule.Min, rule.Max);
    case Rule::Kind::OnOff: return OnOffCheck;
    case Rule::Kind::Seconds: return SecondsCheck;
    case Rule::Kind::Whole: return WholeCheck(rule.Min, rule.Max);
    case Rule::Kind::OneOf: return OneOfCheck(rule.Words);
    case Rule::Kind::ExistingDirectory: break;
  }
  return CLI::ExistingDirectory;
}

}  // namespace

OptionRef OptionRef::type_name(const std::string& name) {
  Option->type_name(name);
  return *this;
}
OptionRef OptionRef::check(const Rule& rule) {
  Option->check(Check(rule));
  return *this;
}
OptionRef OptionRef::transform(const Rule& rule) {
  Option->transform(Check(rule));
  return *this;
}
OptionRef OptionRef::required() {
  Option->required();
  return *this;
}
OptionRef OptionRef::delimiter(char separator) {
  Option->delimiter(separator);
  return *this;
}
std::size_t OptionRef::count() const { return Option->count(); }

void OptionSet::description(const std::string& text) { App.description(text); }
void OptionSet::footer(const std::string& text) { App.footer(text); }

#define VELMORA_OPTION_OF(Type)                                                                     \
  OptionRef OptionSet::add_option(const std::string& name, Type& value, const std::string& help) { \
    return OptionRef(App.add_option(name, value, help));                                            \
  }
VELMORA_OPTION_OF(std::string)
VELMORA_OPTION_OF(int)
VELMORA_OPTION_OF(long)
VELMORA_OPTION_OF(long long)
VELMORA_OPTION_OF(unsigned)
VELMORA_OPTION_OF(unsigned long)
VELMORA_OPTION_OF(unsigned long long)
VELMORA_OPTION_OF(double)
VELMORA_OPTION_OF(std::vector<std::string>)
VELMORA_OPTION_OF(std::vector<int>)
VELMORA_OPTION_OF(std::vector<long>)
VELMORA_OPTION_OF(std::vector<long long>)
#undef VELMORA_OPTION_OF

OptionRef OptionSet::add_flag(const std::string& name, bool& value, const std::string& help) {
  return OptionRef(App.add_flag(name, value, help));
}

OptionRef OptionSet::option(const std::string& name) { return OptionRef(App.get_option(name)); }

void AddJsonOption(OptionSet& options, bool& json) {
  CLI::App& app = options.Parser();
  app.add_flag("--json", json, "print the result as JSON");
}

void AddCommonOptions(OptionSet& set, CommonOptions& options) {
  CLI::App& app = set.Parser();
  DeviceOptions& d = options.Device;
  app.add_option("-H,--host", d.Host, "device address or name (default 127.0.0.1)")
      ->type_name("HOST")
      ->check(CLI::Validator([](std::string& h) { return h.empty() ? std::string("the host must not be empty") : ""; },
                             "", "HOST"));
  app.add_option("-c,--channel", d.Channel, "channel, the port index 0-15 (default 0)")
      ->type_name("N")
      ->check(WholeCheck(0, 15));
  app.add_option("-T,--timeout", d.TimeoutMs, "reply time-out of this connection (default 2000)")
      ->type_name("MS")
      ->check(WholeCheck(1, 24 * 3600 * 1000));
  AddJsonOption(set, options.Json);
}

void AddSettingsOptions(OptionSet& set, DeviceSettings& s, const char* defaults) {
  CLI::App& app = set.Parser();
  const std::string d = defaults ? defaults : "";
  auto with = [&](const std::string& text, const char* value) {
    return d.empty() ? text : text + " (default " + value + ")";
  };
  app.add_option("-f,--freq", s.FrequencyHz, with("sample rate, 1-" + std::to_string(wire::MaxFrequencyHz), "1000"))
      ->type_name("HZ")
      ->check(WholeCheck(1, wire::MaxFrequencyHz));
  app.add_option("-b,--bits", s.PacketBits,
                 with("packet bits, 1-" + std::to_string(wire::MaxPacketBits) + " (a sample is ceil(BITS/8) bytes)",
                      "16"))
      ->type_name("BITS")
      ->check(WholeCheck(1, wire::MaxPacketBits));
  app.add_option("-B,--block", s.BlockBytes,
                 with("packet size in bytes, 1-" + std::to_string(wire::MaxBlockBytes >> 20) + "M (suffixes k, M)",
                      "256"))
      ->type_name("BYTES")
      ->transform(ByteCountCheck(1, wire::MaxBlockBytes));
  app.add_option("-l,--line", s.LineTexts, "digital line N (0-31) on or off; may be repeated")
      ->type_name("N=on|off")
      ->check(CLI::Validator(
          [](std::string& v) -> std::string {
            const std::size_t eq = v.find('=');
            if (eq == std::string::npos) return "--line takes N=on or N=off: " + v;
            try {
              ParseBytes(v.substr(0, eq), "--line", 0, 31);
              ParseOnOff(v.substr(eq + 1), "--line");
            } catch (const UsageError& e) {
              return e.what();
            }
            return {};
          },
          "", "LINE"));
  app.add_option("-z,--azero", s.AZero, "auto-zero (digital line 0)")->type_name("on|off")->transform(OnOffCheck);
}

void ResolveLines(DeviceSettings& s) {
  s.Lines.clear();
  for (const std::string& v : s.LineTexts) {
    const std::size_t eq = v.find('=');
    if (eq == std::string::npos) throw UsageError("--line takes N=on or N=off: " + v);
    s.Lines.emplace_back(static_cast<std::uint32_t>(ParseBytes(v.substr(0, eq), "--line", 0, 31)),
                         ParseOnOff(v.substr(eq + 1), "--line"));
  }
}

}  // namespace velmora::cli
