// sim: the simulated device in the foreground, for trying the tool, the
// library or a host program without hardware.
#include <string>

#include "args.h"
#include "commands.h"
#include "sim/foreground.h"

namespace velmora::cli {
namespace {

const char Help[] =
    "usage: velmora sim [OPTIONS]\n"
    "Runs the simulated device on the 32 device ports (0xED00-0xED1F) of one IPv4\n"
    "address until interrupted (Ctrl-C).\n"
    "  -a, --address ADDRESS  address to listen on (default 127.0.0.1)\n"
    "  -t, --seconds S        stop after S seconds (default: run until Ctrl-C)\n"
    "  -q, --quiet            no activity lines, only start and stop\n"
    "  -h, --help             this text\n";

}  // namespace

int RunSim(int argc, char** argv) {
  ArgReader args(argc, argv);
  velmora::sim::ForegroundOptions options;
  std::string v;
  while (!args.Done()) {
    if (args.Flag('h', "help")) return ShowHelp(Help);
    if (args.Value('a', "address", v))
      options.Address = v;
    else if (args.Value('t', "seconds", v))
      options.Seconds = ParseSeconds(v, "--seconds");
    else if (args.Flag('q', "quiet"))
      options.Quiet = true;
    else
      args.Unknown();
  }
  return velmora::sim::RunInForeground(options, stdout);
}

}  // namespace velmora::cli
