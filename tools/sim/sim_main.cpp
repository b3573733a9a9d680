// velmora-sim: the simulated device as a program of its own, for trying the
// library, the command-line tool or the Python package without hardware.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim/foreground.h"

namespace {

const char Usage[] =
    "usage: velmora-sim [-a ADDRESS] [-t SECONDS] [-q]\n"
    "Runs the simulated device on the 32 device ports (0xED00-0xED1F) of one\n"
    "IPv4 address until interrupted. SIGUSR1 drops every open connection, as a\n"
    "device that cuts its links would; it goes on listening.\n"
    "  -a, --address ADDRESS  address to listen on (default 127.0.0.1)\n"
    "  -t, --seconds SECONDS  stop after this long (default: run until Ctrl-C)\n"
    "  -q, --quiet            no activity lines, only start and stop\n"
    "  -h, --help             this text\n";

}  // namespace

int main(int argc, char** argv) {
  velmora::sim::ForegroundOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "-h" || arg == "--help") {
      std::fputs(Usage, stdout);
      return 0;
    } else if ((arg == "-a" || arg == "--address") && hasValue) {
      options.Address = argv[++i];
    } else if ((arg == "-t" || arg == "--seconds") && hasValue) {
      char* end = nullptr;
      options.Seconds = std::strtod(argv[++i], &end);
      if (*end != '\0' || options.Seconds < 0) {
        std::fprintf(stderr, "velmora-sim: bad number of seconds: %s\n", argv[i]);
        return 2;
      }
    } else if (arg == "-q" || arg == "--quiet") {
      options.Quiet = true;
    } else {
      std::fprintf(stderr, "velmora-sim: unknown or incomplete option: %s\n%s", arg.c_str(), Usage);
      return 2;
    }
  }
  return velmora::sim::RunInForeground(options, stdout);
}
