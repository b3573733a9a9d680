// The subcommands. Each takes its own argv (argv[0] is its name), prints its
// results on standard output and returns the exit status; usage mistakes
// throw UsageError (status 2), failed library calls throw Failure (status 1).
#pragma once

#include <string>

namespace velmora::cli {

int RunInfo(int argc, char** argv);
int RunPing(int argc, char** argv);
int RunConfig(int argc, char** argv);
int RunStart(int argc, char** argv);
int RunClear(int argc, char** argv);
int RunAcquire(int argc, char** argv);
int RunRead(int argc, char** argv);
int RunWrite(int argc, char** argv);
int RunSim(int argc, char** argv);
int RunDemo(int argc, char** argv);
int RunErrors(int argc, char** argv);

// Set by a subcommand once it has seen --json: failures are then also
// reported as a JSON object on standard output.
extern bool JsonRequested;

// Prints `text` and returns 0: the --help of every subcommand.
int ShowHelp(const char* text);

}  // namespace velmora::cli
