// errors: the table of result numbers and device status numbers.
#include <cstdio>
#include <string>
#include <vector>

#include "commands/command.h"
#include "output/json_value.h"
#include "options/options.h"
#include "device/results.h"

namespace velmora::cli {
namespace {

class ErrorsCommand : public Command {
 public:
  void Define(OptionSet& app) override {
    app.description(
        "Lists the result numbers the library returns, with their names and meanings,\n"
        "and the status numbers the device puts into a \"NOWRK\" answer (result 58);\n"
        "with numbers, explains only those.");
    app.add_option("number", Wanted, "result numbers to explain");
    AddJsonOption(app, AsJson);
  }
  bool Json() const override { return AsJson; }

  int Run() override {
    int unknown = 0;
    for (std::int32_t w : Wanted) unknown += FindResult(w) == nullptr;
    if (AsJson)
      PrintJson(stdout, Table());
    else if (!Wanted.empty())
      for (std::int32_t w : Wanted) std::printf("%s\n", DescribeResult(w).c_str());
    else
      PrintTable();
    return unknown > 0 ? 1 : 0;
  }

 private:
  bool Shown(std::int32_t number) const {
    if (Wanted.empty()) return true;
    for (std::int32_t w : Wanted)
      if (w == number) return true;
    return false;
  }

  JsonValue Table() const {
    std::size_t count = 0, statusCount = 0;
    const ResultInfo* table = ResultTable(&count);
    const DeviceStatusInfo* statuses = DeviceStatusTable(&statusCount);
    JsonValue results = JsonValue::array(), device = JsonValue::array();
    for (std::size_t i = 0; i < count; ++i)
      if (Shown(table[i].Number))
        results.push_back({{"number", table[i].Number}, {"name", table[i].Name}, {"meaning", table[i].Meaning}});
    for (std::size_t i = 0; i < statusCount; ++i)
      device.push_back({{"status", statuses[i].Status}, {"meaning", statuses[i].Meaning}});
    return {{"ok", true}, {"command", "errors"}, {"results", results}, {"device_status", device}};
  }

  void PrintTable() const {
    std::size_t count = 0, statusCount = 0;
    const ResultInfo* table = ResultTable(&count);
    const DeviceStatusInfo* statuses = DeviceStatusTable(&statusCount);
    std::printf("%6s  %-27s %s\n", "number", "name", "meaning");
    for (std::size_t i = 0; i < count; ++i)
      std::printf("%6d  %-27s %s\n", table[i].Number, table[i].Name, table[i].Meaning);
    std::printf("\nDevice status in a \"NOWRK\" answer (result 58):\n");
    for (std::size_t i = 0; i < statusCount; ++i) std::printf("%6d  %s\n", statuses[i].Status, statuses[i].Meaning);
  }

  std::vector<std::int32_t> Wanted;
  bool AsJson = false;
};

}  // namespace

std::unique_ptr<Command> MakeErrorsCommand() { return std::make_unique<ErrorsCommand>(); }

}  // namespace velmora::cli
