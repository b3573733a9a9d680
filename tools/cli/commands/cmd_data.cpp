// read and write: one data block from the device into a file (NDX_GetData)
// and one file to the device as a data block (NDX_PutData).
#include <cstdio>
#include <string>
#include <vector>

#include "commands/command.h"
#include "device/device.h"
#include "recordings/files.h"
#include "output/json_value.h"
#include "options/options.h"
#include "output/terminal.h"

namespace velmora::cli {
namespace {

constexpr std::int64_t MaxBlock = std::int64_t(1) << 30;

// What one transfer did, for either direction.
struct Transfer {
  std::int64_t Asked = 0;  // bytes asked for (read) or sent (write)
  std::int64_t Bytes = 0;  // bytes the device sent (read) or took (write)
  double Seconds = 0;
};

class ReadCommand : public Command {
 public:
  void Define(OptionSet& app) override {
    app.description(
        "Reads one data block from a device channel into FILE (- for standard output)\n"
        "and prints how many bytes the device sent.");
    app.add_option("file", File, "where the block goes")->required();
    app.add_option("-n,--bytes", Asked, "bytes to ask for, 1-1G (suffixes k, M, G; default 1M)")
        ->type_name("N")
        ->transform(ByteCount(1, MaxBlock));
    AddCommonOptions(app, Common);
  }
  bool Json() const override { return Common.Json; }

  int Run() override {
    if (File == "-" && IsTerminal(stdout))
      throw UsageError("not writing raw data to a terminal; give a file or redirect standard output");
    // The device gives a block up once: a file that cannot be written must
    // be found before the block is taken. Opened only, not yet cut, so that
    // a failed read leaves an earlier file there as it was.
    CheckCreatable(File);
    Device dev(Common.Device, true);
    std::vector<unsigned char> buffer(static_cast<std::size_t>(Asked));
    const Transfer t = Fetch(dev, buffer);
    dev.Close();
    try {
      OutputFile out(File);
      out.Write(buffer.data(), static_cast<std::size_t>(t.Bytes));
      out.Close();
    } catch (const Failure& f) {
      throw Failure(std::string(f.what()) + "; the " + Grouped(static_cast<std::uint64_t>(t.Bytes)) +
                    " bytes read from the device are not saved (the device no longer holds them)");
    }
    Print(dev, t);
    return 0;
  }

 private:
  Transfer Fetch(Device& dev, std::vector<unsigned char>& buffer) {
    Transfer t;
    t.Asked = Asked;
    std::int32_t count = static_cast<std::int32_t>(Asked);
    const double start = NowSeconds();
    Check(NDX_GetData(dev.Handle(), &count, buffer.data()), "NDX_GetData");
    t.Seconds = NowSeconds() - start;
    t.Bytes = count;
    return t;
  }

  void Print(const Device& dev, const Transfer& t) const {
    if (Common.Json) {
      PrintJson(stdout, {{"ok", true}, {"command", "read"}, {"device", dev.ToJson()}, {"file", File},
                         {"asked", t.Asked}, {"bytes", t.Bytes}, {"seconds", t.Seconds},
                         {"bytes_per_second", t.Seconds > 0 ? t.Bytes / t.Seconds : 0}});
      return;
    }
    // With the data on standard output the result goes to standard error.
    std::fprintf(File == "-" ? stderr : stdout, "%s: read %s of %s bytes asked into %s\n", dev.Name().c_str(),
                 Grouped(static_cast<std::uint64_t>(t.Bytes)).c_str(),
                 Grouped(static_cast<std::uint64_t>(t.Asked)).c_str(), ShownPath(File).c_str());
  }

  CommonOptions Common;
  std::string File;
  std::int64_t Asked = 1 << 20;
};

class WriteCommand : public Command {
 public:
  void Define(OptionSet& app) override {
    app.description(
        "Writes FILE (- for standard input) to a device channel as one data block and\n"
        "prints how many bytes the device took.");
    app.add_option("file", File, "what to send")->required();
    AddCommonOptions(app, Common);
  }
  bool Json() const override { return Common.Json; }

  int Run() override {
    const std::vector<unsigned char> bytes = ReadWhole(File, static_cast<std::size_t>(MaxBlock));
    if (bytes.empty()) throw Failure("nothing to write: " + File + " is empty");
    Device dev(Common.Device, false);
    Transfer t;
    t.Asked = static_cast<std::int64_t>(bytes.size());
    std::int32_t count = static_cast<std::int32_t>(bytes.size());
    const double start = NowSeconds();
    Check(NDX_PutData(dev.Handle(), &count, bytes.data()), "NDX_PutData");
    t.Seconds = NowSeconds() - start;
    t.Bytes = count;
    dev.Close();
    if (t.Bytes < t.Asked)
      throw Failure(dev.Name() + ": the device took only " + Grouped(static_cast<std::uint64_t>(t.Bytes)) + " of " +
                    Grouped(static_cast<std::uint64_t>(t.Asked)) + " bytes (its store is full?)");
    Print(dev, t);
    return 0;
  }

 private:
  void Print(const Device& dev, const Transfer& t) const {
    if (Common.Json) {
      PrintJson(stdout, {{"ok", true}, {"command", "write"}, {"device", dev.ToJson()}, {"file", File},
                         {"sent", t.Asked}, {"taken", t.Bytes}, {"seconds", t.Seconds},
                         {"bytes_per_second", t.Seconds > 0 ? t.Bytes / t.Seconds : 0}});
      return;
    }
    std::printf("%s: wrote %s bytes from %s; the device took %s\n", dev.Name().c_str(),
                Grouped(static_cast<std::uint64_t>(t.Asked)).c_str(),
                File == "-" ? "standard input" : File.c_str(), Grouped(static_cast<std::uint64_t>(t.Bytes)).c_str());
  }

  CommonOptions Common;
  std::string File;
};

}  // namespace

std::unique_ptr<Command> MakeReadCommand() { return std::make_unique<ReadCommand>(); }
std::unique_ptr<Command> MakeWriteCommand() { return std::make_unique<WriteCommand>(); }

}  // namespace velmora::cli
