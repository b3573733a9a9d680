// The options of the subcommands: the value checks they share (byte counts
// with suffixes, on/off, digital lines, seconds), the options every command
// that talks to a device takes (-H -c -T --json) and the device settings of
// `config` and `acquire`. A mistake in the arguments ends the tool with exit
// status 2.
//
// The commands declare their options through OptionSet, not CLI11 itself:
// CLI11 costs seconds of compile time in every file that includes it, so
// only options.cpp does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>


#include "options/device_options.h"
#include "options/usage_error.h"

namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace velmora::cli {

// A check (or, through transform, a rewriting) of an option's value.
struct Rule {
  enum class Kind { Bytes, OnOff, Seconds, Whole, OneOf, ExistingDirectory };
  Kind What;
  std::int64_t Min = 0, Max = 0;
  std::vector<std::string> Words;
};

// A byte count with an optional binary suffix (64k, 16M, 1G) or a 0x prefix,
// within [min, max].
Rule ByteCount(std::int64_t min, std::int64_t max);
// on/off, 1/0, yes/no, true/false, made into 1 or 0.
extern const Rule OnOff;
// Seconds: a finite number, 0 or more.
extern const Rule Seconds;
// A whole number within [min, max].
Rule Whole(std::int64_t min, std::int64_t max);
// One of `words`.
Rule OneOf(std::vector<std::string> words);
// A folder that exists.
extern const Rule ExistingDirectory;

// One declared option; `->` chains as CLI11's own options do.
class OptionRef {
 public:
  explicit OptionRef(CLI::Option* option = nullptr) : Option(option) {}
  OptionRef* operator->() { return this; }
  const OptionRef* operator->() const { return this; }
  OptionRef type_name(const std::string& name);
  OptionRef check(const Rule& rule);
  OptionRef transform(const Rule& rule);
  OptionRef required();
  // Several values in one argument, split at `separator`.
  OptionRef delimiter(char separator);
  // How many times it was given.
  std::size_t count() const;

 private:
  CLI::Option* Option;
};

// The options of one command, declared onto its parser.
class OptionSet {
 public:
  explicit OptionSet(CLI::App& app) : App(app) {}
  void description(const std::string& text);
  void footer(const std::string& text);
  OptionRef add_option(const std::string& name, std::string& value, const std::string& help = "");
  OptionRef add_option(const std::string& name, int& value, const std::string& help = "");
  OptionRef add_option(const std::string& name, long& value, const std::string& help = "");
  OptionRef add_option(const std::string& name, long long& value, const std::string& help = "");
  OptionRef add_option(const std::string& name, unsigned& value, const std::string& help = "");
  OptionRef add_option(const std::string& name, unsigned long& value, const std::string& help = "");
  OptionRef add_option(const std::string& name, unsigned long long& value, const std::string& help = "");
  OptionRef add_option(const std::string& name, double& value, const std::string& help = "");
  OptionRef add_option(const std::string& name, std::vector<std::string>& value, const std::string& help = "");
  OptionRef add_option(const std::string& name, std::vector<int>& value, const std::string& help = "");
  OptionRef add_option(const std::string& name, std::vector<long>& value, const std::string& help = "");
  OptionRef add_option(const std::string& name, std::vector<long long>& value, const std::string& help = "");
  OptionRef add_flag(const std::string& name, bool& value, const std::string& help = "");
  // One declared already, e.g. a common option a command checks against its own.
  OptionRef option(const std::string& name);
  CLI::App& Parser() { return App; }

 private:
  CLI::App& App;
};

// The options every command that talks to a device takes.
struct CommonOptions {
  DeviceOptions Device;
  bool Json = false;
};

// -H/--host, -c/--channel, -T/--timeout and --json.
void AddCommonOptions(OptionSet& app, CommonOptions& options);
void AddJsonOption(OptionSet& app, bool& json);

// Settings a device takes when acquisition next starts. -1: not given.
struct DeviceSettings {
  std::int64_t FrequencyHz = -1;
  std::int64_t PacketBits = -1;
  std::int64_t BlockBytes = -1;
  int AZero = -1;
  std::vector<std::pair<std::uint32_t, bool>> Lines;
  std::vector<std::string> LineTexts;  // as given: "3=on"
};

// -f -b -B -l -z; `defaults` only changes the help text.
void AddSettingsOptions(OptionSet& app, DeviceSettings& settings, const char* defaults);
// Turns the line texts into Lines; call after parsing.
void ResolveLines(DeviceSettings& settings);

class Command;

// Declares the command's options, parses `args` into them and, when they
// hold, calls `run` while the parser still lives (the options count what
// was given). --help prints the help and gives 0; a mistake in the
// arguments is printed in the tool's words and gives 2.
int ParseThenRun(const char* name, Command& command, std::vector<std::string> args,
                 int (*run)(const char* name, Command& command));

// Parsing helpers also used outside option parsing; they throw UsageError.
std::int64_t ParseBytes(const std::string& text, const char* what, std::int64_t min, std::int64_t max);
bool ParseOnOff(const std::string& text, const char* what);

}  // namespace velmora::cli
