// The options of the subcommands, parsed by CLI11: the value checks they
// share (byte counts with suffixes, on/off, digital lines, seconds), the
// options every command that talks to a device takes (-H -c -T --json),
// the device settings of `config` and `acquire`, and the help layout.
// A mistake in the arguments ends the tool with exit status 2.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>

#include "device_options.h"
#include "usage_error.h"

namespace velmora::cli {

// The options every command that talks to a device takes.
struct CommonOptions {
  DeviceOptions Device;
  bool Json = false;
};

// -H/--host, -c/--channel, -T/--timeout and --json.
void AddCommonOptions(CLI::App& app, CommonOptions& options);
void AddJsonOption(CLI::App& app, bool& json);

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
void AddSettingsOptions(CLI::App& app, DeviceSettings& settings, const char* defaults);
// Turns the line texts into Lines; call after parsing.
void ResolveLines(DeviceSettings& settings);

// A byte count with an optional binary suffix (64k, 16M, 1G) or a 0x prefix,
// within [min, max].
CLI::Validator ByteCount(std::int64_t min, std::int64_t max);
// on/off, 1/0, yes/no, true/false, made into 1 or 0.
extern const CLI::Validator OnOff;
// Seconds: a finite number, 0 or more.
extern const CLI::Validator Seconds;
// A whole number within [min, max].
CLI::Validator Whole(std::int64_t min, std::int64_t max);
// One of `words`.
CLI::Validator OneOf(std::vector<std::string> words);

// What a parse error means, in the tool's words, naming the option the way
// the user can type it ("-t/--seconds", "FILE"); CLI11's own text when the
// error is of a kind not foreseen.
std::string ParseErrorText(const CLI::ParseError& error, const CLI::App& app);

// The layout of every --help: "usage: velmora COMMAND ...", the description,
// one line per option, the footer.
std::shared_ptr<CLI::FormatterBase> HelpLayout();

// Parsing helpers also used outside option parsing; they throw UsageError.
std::int64_t ParseBytes(const std::string& text, const char* what, std::int64_t min, std::int64_t max);
bool ParseOnOff(const std::string& text, const char* what);

}  // namespace velmora::cli
