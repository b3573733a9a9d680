// The subcommands. Each declares its options on its own parser, then,
// once the arguments are parsed, acts and prints its results on standard
// output and returns the exit status. Usage mistakes throw UsageError
// (status 2), failed library calls throw Failure (status 1).
#pragma once

#include <memory>

namespace velmora::cli {

class OptionSet;

class Command {
 public:
  virtual ~Command() = default;
  virtual void Define(OptionSet& app) = 0;
  virtual int Run() = 0;
  // True once --json was given: a failure is then also reported as JSON.
  virtual bool Json() const { return false; }
};

std::unique_ptr<Command> MakeInfoCommand();
std::unique_ptr<Command> MakePingCommand();
std::unique_ptr<Command> MakeConfigCommand();
std::unique_ptr<Command> MakeStartCommand();
std::unique_ptr<Command> MakeClearCommand();
std::unique_ptr<Command> MakeAcquireCommand();
std::unique_ptr<Command> MakeReadCommand();
std::unique_ptr<Command> MakeWriteCommand();
std::unique_ptr<Command> MakeSimCommand();
std::unique_ptr<Command> MakeDemoCommand();
std::unique_ptr<Command> MakeErrorsCommand();
// Null in builds without the HTTP library.
std::unique_ptr<Command> MakePanelCommand();

}  // namespace velmora::cli
