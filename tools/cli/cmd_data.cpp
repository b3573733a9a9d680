// read and write: one data block from the device into a file (NDX_GetData)
// and one file to the device as a data block (NDX_PutData).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "device.h"
#include "json.h"
#include "terminal.h"

namespace velmora::cli {
namespace {

const char ReadHelp[] =
    "usage: velmora read [OPTIONS] FILE\n"
    "Reads one data block from a device channel into FILE (- for standard output)\n"
    "and prints how many bytes the device sent.\n"
    "  -n, --bytes N          bytes to ask for, 1-1G (suffixes k, M, G; default 1M)\n"
    "      --json             print the result as JSON\n"
    "  -h, --help             this text\n";

const char WriteHelp[] =
    "usage: velmora write [OPTIONS] FILE\n"
    "Writes FILE (- for standard input) to a device channel as one data block and\n"
    "prints how many bytes the device took.\n"
    "      --json             print the result as JSON\n"
    "  -h, --help             this text\n";

constexpr std::int64_t MaxBlock = std::int64_t(1) << 30;

std::string WithDeviceOptions(const char* help) {
  std::string text = help;
  return text.insert(text.find("      --json"), DeviceOptionsHelp);
}

std::vector<unsigned char> ReadAll(const std::string& path) {
  std::FILE* f = stdin;
  if (path == "-") {
    SetBinary(stdin);
  } else if ((f = std::fopen(path.c_str(), "rb")) == nullptr) {
    throw Failure("cannot open " + path + ": " + std::strerror(errno));
  }
  std::vector<unsigned char> bytes;
  unsigned char chunk[65536];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
    bytes.insert(bytes.end(), chunk, chunk + n);
    if (static_cast<std::int64_t>(bytes.size()) > MaxBlock) break;
  }
  const bool bad = std::ferror(f) != 0;
  if (f != stdin) std::fclose(f);
  if (bad) throw Failure("cannot read " + path);
  if (static_cast<std::int64_t>(bytes.size()) > MaxBlock)
    throw Failure(path + " is larger than one data block may be (1 GiB)");
  return bytes;
}

void PrintResult(bool json, const char* command, const DeviceOptions& d, const Device& dev,
                 const std::string& file, std::int64_t asked, std::int64_t bytes, double seconds,
                 const std::string& text) {
  if (json) {
    JsonWriter j;
    j.BeginObject().Bool("ok", true).Str("command", command);
    j.BeginObject("device").Str("host", d.Host).Int("channel", d.Channel).Int("port", dev.Port()).EndObject();
    j.Str("file", file)
        .Int(command[0] == 'r' ? "asked" : "sent", asked)
        .Int(command[0] == 'r' ? "bytes" : "taken", bytes)
        .Num("seconds", seconds)
        .Num("bytes_per_second", seconds > 0 ? bytes / seconds : 0)
        .EndObject();
    std::printf("%s\n", j.Text().c_str());
  } else {
    // With the data on standard output the result goes to standard error.
    std::fprintf(file == "-" && command[0] == 'r' ? stderr : stdout, "%s\n", text.c_str());
  }
}

}  // namespace

int RunRead(int argc, char** argv) {
  ArgReader args(argc, argv);
  DeviceOptions d;
  bool json = false;
  std::int64_t asked = 1 << 20;
  std::string file, v;
  while (!args.Done()) {
    if (args.Flag('h', "help")) return ShowHelp(WithDeviceOptions(ReadHelp).c_str());
    if (ReadDeviceOption(args, d)) continue;
    if (args.Flag(0, "json"))
      json = JsonRequested = true;
    else if (args.Value('n', "bytes", v))
      asked = ParseBytes(v, "--bytes", 1, MaxBlock);
    else if (file.empty() && args.Positional(file))
      continue;
    else
      args.Unknown();
  }
  if (file.empty()) throw UsageError("give the file to write the block to (- for standard output)");
  if (file == "-" && IsTerminal(stdout))
    throw UsageError("not writing raw data to a terminal; give a file or redirect standard output");

  Device dev(d, true);
  std::vector<unsigned char> buffer(static_cast<std::size_t>(asked));
  std::int32_t count = static_cast<std::int32_t>(asked);
  const double start = NowSeconds();
  Check(NDX_GetData(dev.Handle(), &count, buffer.data()), "NDX_GetData");
  const double seconds = NowSeconds() - start;
  dev.Close();

  std::FILE* f = stdout;
  if (file == "-") {
    SetBinary(stdout);
  } else if ((f = std::fopen(file.c_str(), "wb")) == nullptr) {
    throw Failure("cannot create " + file + ": " + std::strerror(errno));
  }
  const bool written = std::fwrite(buffer.data(), 1, static_cast<std::size_t>(count), f) ==
                       static_cast<std::size_t>(count);
  const bool closed = f == stdout ? std::fflush(f) == 0 : std::fclose(f) == 0;
  if (!written || !closed) throw Failure("cannot write " + file);

  PrintResult(json, "read", d, dev, file, asked, count, seconds,
              dev.Name() + ": read " + Grouped(static_cast<std::uint64_t>(count)) + " of " +
                  Grouped(static_cast<std::uint64_t>(asked)) + " bytes asked into " +
                  (file == "-" ? std::string("standard output") : file));
  return 0;
}

int RunWrite(int argc, char** argv) {
  ArgReader args(argc, argv);
  DeviceOptions d;
  bool json = false;
  std::string file;
  while (!args.Done()) {
    if (args.Flag('h', "help")) return ShowHelp(WithDeviceOptions(WriteHelp).c_str());
    if (ReadDeviceOption(args, d)) continue;
    if (args.Flag(0, "json"))
      json = JsonRequested = true;
    else if (file.empty() && args.Positional(file))
      continue;
    else
      args.Unknown();
  }
  if (file.empty()) throw UsageError("give the file to send (- for standard input)");
  const std::vector<unsigned char> bytes = ReadAll(file);
  if (bytes.empty()) throw Failure("nothing to write: " + file + " is empty");

  Device dev(d, false);
  const std::int32_t sent = static_cast<std::int32_t>(bytes.size());
  std::int32_t count = sent;
  const double start = NowSeconds();
  Check(NDX_PutData(dev.Handle(), &count, bytes.data()), "NDX_PutData");
  const double seconds = NowSeconds() - start;
  dev.Close();
  if (count < sent)
    throw Failure(dev.Name() + ": the device took only " + Grouped(static_cast<std::uint64_t>(count)) +
                  " of " + Grouped(static_cast<std::uint64_t>(sent)) + " bytes (its store is full?)");
  PrintResult(json, "write", d, dev, file, sent, count, seconds,
              dev.Name() + ": wrote " + Grouped(static_cast<std::uint64_t>(sent)) + " bytes from " +
                  (file == "-" ? std::string("standard input") : file) + "; the device took " +
                  Grouped(static_cast<std::uint64_t>(count)));
  return 0;
}

}  // namespace velmora::cli
