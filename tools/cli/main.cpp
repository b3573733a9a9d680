// velmora: the command-line tool for the acquisition device. Every device
// operation goes through the library's public functions (velmora.h); only
// `sim` and `demo` also run the simulated device inside the process.
#include <algorithm>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "commands/command.h"
#include "device/device.h"
#include "output/json_value.h"
#include "options/options.h"
#include "output/printable.h"
#include "device/results.h"
#include "output/terminal.h"
#include "version.h"

namespace velmora::cli {
namespace {

struct Entry {
  const char* Name;
  std::unique_ptr<Command> (*Make)();
  const char* Summary;
};

const Entry Commands[] = {
    {"info", MakeInfoCommand, "show a device channel's ports, or describe a recording"},
    {"ping", MakePingCommand, "round-trip time of requests to the device"},
    {"config", MakeConfigCommand, "send settings: frequency, packet bits, block size, lines"},
    {"start", MakeStartCommand, "start acquisition (--clear: discard and start afresh)"},
    {"clear", MakeClearCommand, "stop acquisition and discard its packets"},
    {"acquire", MakeAcquireCommand, "acquire for a time or a packet count: raw, HDF5, CSV, SVG"},
    {"read", MakeReadCommand, "read a data block from the device into a file"},
    {"write", MakeWriteCommand, "write a file to the device as a data block"},
    {"sim", MakeSimCommand, "run the simulated device in the foreground"},
    {"demo", MakeDemoCommand, "the demonstration, against a simulated device of its own"},
    {"errors", MakeErrorsCommand, "result numbers with their names and meanings"},
    {"panel", MakePanelCommand, "a live web page onto the device: settings, plot, data blocks"},
};

void PrintUsage(std::FILE* out) {
  std::fputs(
      "usage: velmora COMMAND [OPTIONS]\n"
      "Drives a network-attached data-acquisition device through the VELMORA library.\n\n"
      "Commands:\n",
      out);
  for (const Entry& c : Commands) {
    if (c.Make == MakePanelCommand && !MakePanelCommand())
      std::fprintf(out, "  %-9s (not in this build: it was made without the HTTP library)\n", c.Name);
    else
      std::fprintf(out, "  %-9s %s\n", c.Name, c.Summary);
  }
  std::fputs(
      "\nThe device is found with -H HOST (default 127.0.0.1) and -c CHANNEL (0-15).\n"
      "Run 'velmora COMMAND --help' for the options of a command.\n"
      "Exit status: 0 success, 1 a failed operation, 2 a usage mistake.\n",
      out);
}

void ReportJsonFailure(const char* command, const Failure& f) {
  JsonValue error = {{"context", f.Context}};
  if (f.Result >= 0) {
    const ResultInfo* r = FindResult(f.Result);
    error["result"] = f.Result;
    error["name"] = r ? r->Name : "";
    error["meaning"] = r ? r->Meaning : "";
    if (f.Result == NDX_ERROR_BAD_NET_RESP) {
      const char* m = DeviceStatusMeaning(f.DeviceStatus);
      error["device_status"] = f.DeviceStatus;
      error["device_status_meaning"] = m ? m : "";
    }
  }
  error["message"] = f.what();
  PrintJson(stdout, {{"ok", false}, {"command", command}, {"error", error}});
}

// Runs a command whose arguments were parsed and turns its exceptions into
// the exit status.
int RunParsed(const char* name, Command& command) {
  try {
    const int status = command.Run();
    std::fflush(stdout);
    return status;
  } catch (const UsageError& e) {
    std::fprintf(stderr, "velmora %s: %s\nTry 'velmora %s --help'.\n", name, Printable(e.what()).c_str(), name);
    return 2;
  } catch (const Failure& f) {
    std::fflush(stdout);
    std::fprintf(stderr, "velmora %s: %s\n", name, Printable(f.what()).c_str());
    if (command.Json()) ReportJsonFailure(name, f);
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "velmora %s: %s\n", name, Printable(e.what()).c_str());
    return 1;
  }
}

int RunCommand(const Entry& entry, std::vector<std::string> args) {
  std::unique_ptr<Command> command = entry.Make();
  if (!command) {
    std::fprintf(stderr, "velmora %s: not in this build (it was made without the HTTP library)\n", entry.Name);
    return 2;
  }
  return ParseThenRun(entry.Name, *command, std::move(args), RunParsed);
}

}  // namespace
}  // namespace velmora::cli

int main(int argc, char** argv) {
  using namespace velmora::cli;
  ReportClosedPipes();
  if (argc < 2) {
    PrintUsage(stderr);
    return 2;
  }
  std::string name = argv[1];
  std::vector<std::string> args(argv + 2, argv + argc);
  if (name == "-h" || name == "--help") {
    PrintUsage(stdout);
    return 0;
  }
  if (name == "--version" || name == "-V") {
    std::printf("velmora %s\n", ToolVersion);
    return 0;
  }
  if (name == "help") {
    // `velmora help acquire` is `velmora acquire --help`.
    if (argc < 3) {
      PrintUsage(stdout);
      return 0;
    }
    name = argv[2];
    args = {"--help"};
  }
  for (const Entry& c : Commands)
    if (name == c.Name) return RunCommand(c, args);
  std::fprintf(stderr, "velmora: unknown command '%s'\n\n", name.c_str());
  PrintUsage(stderr);
  return 2;
}
