// Running the simulated device as a program: in the foreground, on one
// address, until the time is up or the user interrupts it. Shared by the
// velmora-sim program and the command-line tool's `sim` subcommand.
#pragma once

#include <cstdio>
#include <string>

namespace velmora::sim {

struct ForegroundOptions {
  std::string Address = "127.0.0.1";
  double Seconds = 0;   // 0: until interrupted (Ctrl-C, SIGTERM)
  bool Quiet = false;   // no per-second activity lines
};

// Starts the device, prints "listening on <address> ports 0xED00-0xED1F"
// (one flushed line a supervising program can wait for), then a line per
// second with new connections and traffic unless quiet, and a last line when
// it stops. SIGUSR1 drops every open connection (a line says how many); the
// ports keep listening and the channels keep their settings. Returns 0, or 1
// when the address cannot be bound.
int RunInForeground(const ForegroundOptions& options, std::FILE* out);

}  // namespace velmora::sim
