// panel: a web page onto the device, served by the tool on loopback.
#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "commands/command.h"
#include "options/options.h"
#include "output/terminal.h"
#include "panel_device.h"
#include "panel_server.h"

namespace velmora::cli {
namespace {

class PanelCommand : public Command {
 public:
  void Define(OptionSet& app) override {
    app.description(
        "Serves a web page onto a device channel: connection, settings, start and stop,\n"
        "a live plot of the samples (pause, zoom, pan, time window, y range), recording\n"
        "to a file that `velmora info` reads, data blocks to and from files, round-trip\n"
        "time.\n"
        "Open the printed address; every request must carry its token.");
    app.add_option("--listen", Listen, "address to serve on (default 127.0.0.1:0, any free port)")
        ->type_name("HOST:PORT");
    app.add_option("--stop-after", StopAfter, "stop serving after S seconds (default: at Ctrl-C)")
        ->type_name("S")
        ->check(Seconds);
    app.add_option("--record-dir", RecordDir,
                   "folder the page's Record button writes into (names\nvelmora-UTCTIME.h5 or .bin with .bin.json; default:\n"
                   "no recording)")
        ->type_name("DIR")
        ->check(ExistingDirectory);
    AddCommonOptions(app, Common);
  }

  int Run() override {
    PanelAddress where;
    if (!ParsePanelAddress(Listen, where)) throw UsageError("--listen wants HOST:PORT, as in 127.0.0.1:8080");
    PanelDevice device(Common.Device, RecordDir);
    const std::string token = NewPanelToken();
    PanelServer server(device, where, token);
    if (const std::string why = server.Bind(); !why.empty()) throw Failure("cannot serve on " + Listen + ": " + why);
    if (!server.Loopback())
      std::fprintf(stderr,
                   "velmora panel: serving on %s, beyond this computer; anyone who learns the token can drive "
                   "the device\n",
                   where.Host.c_str());
    const bool v6 = where.Host.find(':') != std::string::npos;
    const std::string shown = where.Host == "0.0.0.0" || where.Host == "::" ? "127.0.0.1"
                              : v6                                           ? "[" + where.Host + "]"
                                                                             : where.Host;
    // The token rides in the address, as the page's first request must
    // carry it; the page then keeps it in a cookie of this port.
    std::printf("velmora panel for %s\nopen http://%s:%d/?token=%s\n", Describe(Common.Device, true).c_str(),
                shown.c_str(), server.Port(), token.c_str());
    std::fflush(stdout);
    CatchInterrupt();
    std::atomic<bool> served{false};
    std::thread watch([&] {
      const double start = NowSeconds();
      while (!served && !Interrupted() && (StopAfter <= 0 || NowSeconds() - start < StopAfter)) SleepMs(50);
      server.Stop();
    });
    server.Serve();
    served = true;
    watch.join();
    return 0;
  }

 private:
  CommonOptions Common;
  std::string Listen = "127.0.0.1:0";
  double StopAfter = 0;
  std::string RecordDir;
};

}  // namespace

std::unique_ptr<Command> MakePanelCommand() { return std::make_unique<PanelCommand>(); }

}  // namespace velmora::cli
