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

CLI::Validator ByteCountCheck(std::int64_t min, std::int64_t max) {
  return CLI::Validator(
      [min, max](std::string& text) -> std::string {
        try {
          text = std::to_string(ParseBytes(text, "the value", min, max));
          return {};
        } catch (const UsageError& e) {
          return e.what();
        }
      },
      "", "BYTES");
}

const CLI::Validator OnOffCheck(
    [](std::string& text) -> std::string {
      try {
        text = ParseOnOff(text, "the value") ? "1" : "0";
        return {};
      } catch (const UsageError& e) {
        return e.what();
      }
    },
    "", "ON/OFF");

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

namespace {

// "-t/--seconds" for an option CLI11 names "--seconds", "FILE" for a
// positional it names "file".
std::string OptionName(const CLI::App& app, const std::string& name) {
  const CLI::Option* o = app.get_option_no_throw(name);
  if (o == nullptr) return name;
  if (o->get_positional()) {
    std::string upper = o->get_name();
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper;
  }
  std::string text;
  for (const std::string& n : o->get_snames()) text += (text.empty() ? "-" : "/-") + n;
  for (const std::string& n : o->get_lnames()) text += (text.empty() ? "--" : "/--") + n;
  return text.empty() ? name : text;
}

bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

}  // namespace

std::string ParseErrorText(const CLI::ParseError& error, const CLI::App& app) {
  const std::string m = error.what();
  // Most texts start with the option's name: "NAME: what went wrong".
  const std::size_t colon = m.find(": ");
  const std::string name = colon == std::string::npos ? "" : OptionName(app, m.substr(0, colon));
  const std::string rest = colon == std::string::npos ? "" : m.substr(colon + 2);
  if (dynamic_cast<const CLI::ConversionError*>(&error) != nullptr) {
    // "Could not convert: NAME = VALUE"
    const std::string prefix = "Could not convert: ";
    const std::size_t equals = m.find(" = ");
    if (StartsWith(m, prefix) && equals != std::string::npos)
      return OptionName(app, m.substr(prefix.size(), equals - prefix.size())) + " takes a number: " +
             m.substr(equals + 3);
    if (!name.empty()) return name + " takes no value";  // a flag given one
  }
  if (dynamic_cast<const CLI::ValidationError*>(&error) != nullptr && !name.empty())
    return StartsWith(rest, "takes ") ? name + " " + rest : name + ": " + rest;
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) != nullptr) {
    // "NAME: 1 required N missing", "NAME: At Most 1 required but received 2",
    // "Expected exactly 1 arguments to NAME, got 2"
    const std::string to = " arguments to ", got = ", got ";
    const std::size_t at = m.find(to), comma = m.find(got);
    if (at != std::string::npos && comma != std::string::npos && comma > at) {
      const std::string option = OptionName(app, m.substr(at + to.size(), comma - at - to.size()));
      return std::atoi(m.c_str() + comma + got.size()) > 0 ? option + " is given more than once" : option + " needs a value";
    }
    if (!name.empty()) return name + (StartsWith(rest, "At Most") ? " is given more than once" : " needs a value");
  }
  if (dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr && !rest.empty())
    return "not an option or argument of this command: " + rest;
  if (dynamic_cast<const CLI::RequiredError*>(&error) != nullptr) {
    const std::string suffix = " is required";
    if (m.size() > suffix.size() && m.compare(m.size() - suffix.size(), suffix.size(), suffix) == 0)
      return OptionName(app, m.substr(0, m.size() - suffix.size())) + " is required";
  }
  return m;
}

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

namespace {

// Options in two columns: names and value from column 3, the text from 26.
class Layout : public CLI::Formatter {
 public:
  std::string make_help(const CLI::App* app, std::string, CLI::AppFormatMode) const override {
    std::ostringstream out;
    out << "usage: velmora " << app->get_name() << " [OPTIONS]";
    for (const CLI::Option* o : app->get_options()) {
      if (!o->get_positional()) continue;
      std::string name = o->get_name();
      for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      if (o->get_expected_max() > 1) name += "...";
      out << ' ' << (o->get_required() ? name : "[" + name + "]");
    }
    out << '\n' << app->get_description() << '\n';
    for (const CLI::Option* o : app->get_options()) {
      if (o->get_positional()) continue;
      std::string names;
      for (const std::string& s : o->get_snames()) names += "-" + s + ", ";
      if (names.empty()) names = "    ";
      for (const std::string& l : o->get_lnames()) names += "--" + l;
      // CLI11 appends the checks to the value's name ("MS:INT in [1 - 60000]"); the text says them.
      const std::string value = o->get_type_name().substr(0, o->get_type_name().find(':'));
      if (!value.empty()) names += " " + value;
      std::string line = "  " + names;
      line.append(line.size() < 25 ? 25 - line.size() : 1, ' ');
      std::string text = o->get_description();
      for (std::size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1))
        text.insert(at + 1, std::string(25, ' '));
      out << line << text << '\n';
    }
    if (!app->get_footer().empty()) out << app->get_footer() << '\n';
    return out.str();
  }
};

}  // namespace

std::shared_ptr<CLI::FormatterBase> HelpLayout() { return std::make_shared<Layout>(); }

int ParseThenRun(const char* name, Command& command, std::vector<std::string> args,
                 int (*run)(const char* name, Command& command)) {
  CLI::App app;
  app.name(name);
  app.formatter(HelpLayout());
  app.set_help_flag("-h,--help", "this text");
  OptionSet options(app);
  command.Define(options);
  try {
    std::reverse(args.begin(), args.end());  // CLI11 takes them from the back
    app.parse(args);
  } catch (const CLI::CallForHelp&) {
    std::fputs(app.help().c_str(), stdout);
    return 0;
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "velmora %s: %s\nTry 'velmora %s --help'.\n", name, ParseErrorText(e, app).c_str(), name);
    return 2;
  }
  return run(name, command);
}

}  // namespace velmora::cli
