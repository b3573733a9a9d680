// sim: the simulated device in the foreground, for trying the tool, the
// library or a host program without hardware.
#include <cstdio>
#include <string>

#include "commands/command.h"
#include "options/options.h"
#include "sim/foreground.h"

namespace velmora::cli {
namespace {

class SimCommand : public Command {
 public:
  void Define(OptionSet& app) override {
    app.description(
        "Runs the simulated device on the 32 device ports (0xED00-0xED1F) of one IPv4\n"
        "address until interrupted (Ctrl-C). SIGUSR1 drops every open connection, as a\n"
        "device that cuts its links would; it goes on listening.");
    app.add_option("-a,--address", Options.Address, "address to listen on (default 127.0.0.1)")
        ->type_name("ADDRESS");
    app.add_option("-t,--seconds", Options.Seconds, "stop after S seconds (default: run until Ctrl-C)")
        ->type_name("S")
        ->check(Seconds);
    app.add_flag("-q,--quiet", Options.Quiet, "no activity lines, only start and stop");
  }
  int Run() override { return velmora::sim::RunInForeground(Options, stdout); }

 private:
  velmora::sim::ForegroundOptions Options;
};

}  // namespace

std::unique_ptr<Command> MakeSimCommand() { return std::make_unique<SimCommand>(); }

}  // namespace velmora::cli
