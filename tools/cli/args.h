// Option parsing shared by the subcommands: short options (-f 1000, -f1000),
// long options (--freq 1000, --freq=1000), "--" to end the options, and "-"
// as a positional argument (standard input or output). A mistake throws
// UsageError, which the tool reports with exit status 2.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace velmora::cli {

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class ArgReader {
 public:
  // argv[0] is the subcommand's name; options start at argv[1].
  ArgReader(int argc, char** argv);

  bool Done() const { return Index >= Count; }
  // Matches the current argument as a flag (no value) and moves past it.
  bool Flag(char shortName, const char* longName);
  // Matches an option that takes a value; a missing value is a usage error.
  bool Value(char shortName, const char* longName, std::string& value);
  // Takes the current argument when it is not an option.
  bool Positional(std::string& value);
  // Throws the usage error for the current argument.
  [[noreturn]] void Unknown() const;

 private:
  int Count;
  char** Argv;
  int Index = 1;
  bool OptionsEnded = false;
};

// Number parsers; `what` names the option in the usage error.
std::int32_t ParseInt32(const std::string& text, const char* what, std::int64_t min,
                        std::int64_t max);
// A byte count with an optional binary suffix: 4096, 64k, 16M, 1G.
std::int64_t ParseBytes(const std::string& text, const char* what, std::int64_t min,
                        std::int64_t max);
double ParseSeconds(const std::string& text, const char* what);
// on/off, 1/0, yes/no, true/false.
bool ParseOnOff(const std::string& text, const char* what);

}  // namespace velmora::cli
