// config, start and clear: the commands that only send. The device answers
// none of them, so success means the requests were handed over; settings
// are taken by the device when acquisition next starts.
#include <cstdio>
#include <string>

#include "commands/command.h"
#include "device/device.h"
#include "output/json_value.h"
#include "options/options.h"

namespace velmora::cli {
namespace {

// What one of these commands sent: a line of text and its JSON form.
struct Sent {
  std::string Summary;
  JsonValue Details = JsonValue::object();
  void Add(const std::string& text) { Summary += (Summary.empty() ? "" : ", ") + text; }
};

// The shared frame: connect, send, close (which lets what is still queued
// leave first), print what was sent.
class SendingCommand : public Command {
 public:
  bool Json() const override { return Common.Json; }
  int Run() override {
    Validate();
    Device dev(Common.Device, true);
    const Sent sent = Send(dev.Handle());
    dev.Close();
    if (Common.Json)
      PrintJson(stdout, {{"ok", true}, {"command", Name}, {"device", dev.ToJson()}, {"sent", sent.Details}});
    else
      std::printf("%s: sent %s\n", dev.Name().c_str(), sent.Summary.c_str());
    return 0;
  }

 protected:
  explicit SendingCommand(const char* name) : Name(name) {}
  virtual void Validate() {}
  virtual Sent Send(NDX_HANDLE h) = 0;
  CommonOptions Common;

 private:
  const char* Name;
};

class ConfigCommand : public SendingCommand {
 public:
  ConfigCommand() : SendingCommand("config") {}
  void Define(OptionSet& app) override {
    app.description(
        "Sends settings to a device channel. The device takes them when acquisition\n"
        "next starts (velmora start).");
    AddSettingsOptions(app, Settings, nullptr);
    AddCommonOptions(app, Common);
  }

 private:
  void Validate() override {
    ResolveLines(Settings);
    if (Settings.FrequencyHz < 0 && Settings.PacketBits < 0 && Settings.BlockBytes < 0 && Settings.AZero < 0 &&
        Settings.Lines.empty())
      throw UsageError("nothing to send: give at least one setting");
  }

  Sent Send(NDX_HANDLE h) override {
    const DeviceSettings& s = Settings;
    Sent sent;
    if (s.FrequencyHz >= 0) {
      Check(NDX_SetFreq(h, static_cast<std::int32_t>(s.FrequencyHz)), "NDX_SetFreq");
      sent.Add("frequency " + std::to_string(s.FrequencyHz) + " Hz");
      sent.Details["frequency_hz"] = s.FrequencyHz;
    }
    if (s.PacketBits >= 0) {
      Check(NDX_SetPacketBits(h, static_cast<std::int32_t>(s.PacketBits)), "NDX_SetPacketBits");
      sent.Add("packet bits " + std::to_string(s.PacketBits));
      sent.Details["packet_bits"] = s.PacketBits;
    }
    if (s.BlockBytes >= 0) {
      Check(NDX_SetBlockSize(h, static_cast<std::int32_t>(s.BlockBytes)), "NDX_SetBlockSize");
      sent.Add("block size " + std::to_string(s.BlockBytes) + " bytes");
      sent.Details["block_bytes"] = s.BlockBytes;
    }
    if (s.AZero >= 0) {
      Check(NDX_SetAZero(h, s.AZero), "NDX_SetAZero");
      sent.Add(std::string("auto-zero ") + (s.AZero ? "on" : "off"));
      sent.Details["azero"] = s.AZero != 0;
    }
    for (const auto& line : s.Lines) {
      Check(NDX_SetMDIO1(h, line.first, line.second ? 1 : 0), "NDX_SetMDIO1");
      sent.Add("line " + std::to_string(line.first) + (line.second ? " on" : " off"));
      sent.Details["lines"].push_back({{"line", line.first}, {"on", line.second}});
    }
    return sent;
  }

  DeviceSettings Settings;
};

class StartCommand : public SendingCommand {
 public:
  StartCommand() : SendingCommand("start") {}
  void Define(OptionSet& app) override {
    app.description("Starts acquisition on a device channel; one already running goes on.");
    app.add_flag("-C,--clear", Clear, "discard everything and start afresh (sample 0, time 0)");
    AddCommonOptions(app, Common);
  }

 private:
  Sent Send(NDX_HANDLE h) override {
    Check(Clear ? NDX_GoClear(h) : NDX_Go(h), Clear ? "NDX_GoClear" : "NDX_Go");
    Sent sent;
    sent.Add(Clear ? "start, cleared (GOCLR)" : "start (GOGO.)");
    sent.Details["request"] = Clear ? wire::tag::GoClear : wire::tag::Go;
    return sent;
  }
  bool Clear = false;
};

class ClearCommand : public SendingCommand {
 public:
  ClearCommand() : SendingCommand("clear") {}
  void Define(OptionSet& app) override {
    app.description("Stops acquisition on a device channel and discards its packets.");
    AddCommonOptions(app, Common);
  }

 private:
  Sent Send(NDX_HANDLE h) override {
    Check(NDX_Clear(h), "NDX_Clear");
    Sent sent;
    sent.Add("clear (CLEAR)");
    sent.Details["request"] = wire::tag::Clear;
    return sent;
  }
};

}  // namespace

std::unique_ptr<Command> MakeConfigCommand() { return std::make_unique<ConfigCommand>(); }
std::unique_ptr<Command> MakeStartCommand() { return std::make_unique<StartCommand>(); }
std::unique_ptr<Command> MakeClearCommand() { return std::make_unique<ClearCommand>(); }

}  // namespace velmora::cli
