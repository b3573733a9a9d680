// velmora: the command-line tool for the acquisition device. Every device
// operation goes through the library's public functions (velmora.h); only
// `sim` and `demo` also run the simulated device inside the process.
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "args.h"
#include "commands.h"
#include "device.h"
#include "json.h"
#include "results.h"

namespace velmora::cli {

bool JsonRequested = false;

int ShowHelp(const char* text) {
  std::fputs(text, stdout);
  return 0;
}

namespace {

struct Command {
  const char* Name;
  int (*Run)(int, char**);
  const char* Summary;
};

const Command Commands[] = {
    {"info", RunInfo, "connect to a device channel and show its ports"},
    {"ping", RunPing, "round-trip time of requests to the device"},
    {"config", RunConfig, "send settings: frequency, packet bits, block size, lines"},
    {"start", RunStart, "start acquisition (--clear: discard and start afresh)"},
    {"clear", RunClear, "stop acquisition and discard its packets"},
    {"acquire", RunAcquire, "acquire for a time or a packet count: raw, CSV, SVG"},
    {"read", RunRead, "read a data block from the device into a file"},
    {"write", RunWrite, "write a file to the device as a data block"},
    {"sim", RunSim, "run the simulated device in the foreground"},
    {"demo", RunDemo, "the demonstration, against a simulated device of its own"},
    {"errors", RunErrors, "result numbers with their names and meanings"},
};

void PrintUsage(std::FILE* out) {
  std::fputs(
      "usage: velmora COMMAND [OPTIONS]\n"
      "Drives a network-attached data-acquisition device through the VELMORA library.\n\n"
      "Commands:\n",
      out);
  for (const Command& c : Commands) std::fprintf(out, "  %-9s %s\n", c.Name, c.Summary);
  std::fputs(
      "\nThe device is found with -H HOST (default 127.0.0.1) and -c CHANNEL (0-15).\n"
      "Run 'velmora COMMAND --help' for the options of a command.\n"
      "Exit status: 0 success, 1 a failed operation, 2 a usage mistake.\n",
      out);
}

void ReportJsonFailure(const char* command, const Failure& f) {
  JsonWriter j;
  j.BeginObject().Bool("ok", false).Str("command", command).BeginObject("error").Str("context", f.Context);
  if (f.Result >= 0) {
    const ResultInfo* r = FindResult(f.Result);
    j.Int("result", f.Result).Str("name", r ? r->Name : "").Str("meaning", r ? r->Meaning : "");
    if (f.Result == NDX_ERROR_BAD_NET_RESP) {
      const char* m = DeviceStatusMeaning(f.DeviceStatus);
      j.Int("device_status", f.DeviceStatus).Str("device_status_meaning", m ? m : "");
    }
  }
  j.Str("message", f.what()).EndObject().EndObject();
  std::printf("%s\n", j.Text().c_str());
}

}  // namespace
}  // namespace velmora::cli

int main(int argc, char** argv) {
  using namespace velmora::cli;
  if (argc < 2) {
    PrintUsage(stderr);
    return 2;
  }
  std::string name = argv[1];
  if (name == "-h" || name == "--help") {
    PrintUsage(stdout);
    return 0;
  }
  if (name == "--version" || name == "-V") {
    std::printf("velmora 0.1.0\n");
    return 0;
  }
  int subArgc = argc - 1;
  char** subArgv = argv + 1;
  if (name == "help") {
    // `velmora help acquire` is `velmora acquire --help`.
    if (argc < 3) {
      PrintUsage(stdout);
      return 0;
    }
    name = argv[2];
    static char helpFlag[] = "--help";
    static char* helpArgv[3];
    helpArgv[0] = argv[2];
    helpArgv[1] = helpFlag;
    helpArgv[2] = nullptr;
    subArgc = 2;
    subArgv = helpArgv;
  }
  for (const Command& c : Commands) {
    if (name != c.Name) continue;
    try {
      const int status = c.Run(subArgc, subArgv);
      std::fflush(stdout);
      return status;
    } catch (const UsageError& e) {
      std::fprintf(stderr, "velmora %s: %s\nTry 'velmora %s --help'.\n", c.Name, e.what(), c.Name);
      return 2;
    } catch (const Failure& f) {
      std::fflush(stdout);
      std::fprintf(stderr, "velmora %s: %s\n", c.Name, f.what());
      if (JsonRequested) ReportJsonFailure(c.Name, f);
      return 1;
    } catch (const std::exception& e) {
      std::fprintf(stderr, "velmora %s: %s\n", c.Name, e.what());
      return 1;
    }
  }
  std::fprintf(stderr, "velmora: unknown command '%s'\n\n", name.c_str());
  PrintUsage(stderr);
  return 2;
}
