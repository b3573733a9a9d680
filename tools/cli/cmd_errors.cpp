// errors: the table of result numbers and device status numbers.
#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "args.h"
#include "commands.h"
#include "json.h"
#include "results.h"

namespace velmora::cli {
namespace {

const char Help[] =
    "usage: velmora errors [NUMBER...]\n"
    "Lists the result numbers the library returns, with their names and meanings,\n"
    "and the status numbers the device puts into a \"NOWRK\" answer (result 58);\n"
    "with numbers, explains only those.\n"
    "      --json             print the table as JSON\n"
    "  -h, --help             this text\n";

}  // namespace

int RunErrors(int argc, char** argv) {
  ArgReader args(argc, argv);
  bool json = false;
  std::vector<std::int32_t> wanted;
  std::string v;
  while (!args.Done()) {
    if (args.Flag('h', "help")) return ShowHelp(Help);
    if (args.Flag(0, "json"))
      json = JsonRequested = true;
    else if (args.Positional(v))
      wanted.push_back(ParseInt32(v, "NUMBER", INT32_MIN, INT32_MAX));
    else
      args.Unknown();
  }
  std::size_t count = 0, statusCount = 0;
  const ResultInfo* table = ResultTable(&count);
  const DeviceStatusInfo* statuses = DeviceStatusTable(&statusCount);
  int unknown = 0;
  if (json) {
    JsonWriter j;
    j.BeginObject().Bool("ok", true).Str("command", "errors").BeginArray("results");
    for (std::size_t i = 0; i < count; ++i) {
      bool show = wanted.empty();
      for (std::int32_t w : wanted) show = show || w == table[i].Number;
      if (show)
        j.BeginObject().Int("number", table[i].Number).Str("name", table[i].Name).Str("meaning", table[i].Meaning).EndObject();
    }
    j.EndArray().BeginArray("device_status");
    for (std::size_t i = 0; i < statusCount; ++i)
      j.BeginObject().Int("status", statuses[i].Status).Str("meaning", statuses[i].Meaning).EndObject();
    j.EndArray().EndObject();
    std::printf("%s\n", j.Text().c_str());
    for (std::int32_t w : wanted) unknown += FindResult(w) == nullptr;
    return unknown > 0 ? 1 : 0;
  }
  if (!wanted.empty()) {
    for (std::int32_t w : wanted) {
      std::printf("%s\n", DescribeResult(w).c_str());
      unknown += FindResult(w) == nullptr;
    }
    return unknown > 0 ? 1 : 0;
  }
  std::printf("%6s  %-27s %s\n", "number", "name", "meaning");
  for (std::size_t i = 0; i < count; ++i)
    std::printf("%6d  %-27s %s\n", table[i].Number, table[i].Name, table[i].Meaning);
  std::printf("\nDevice status in a \"NOWRK\" answer (result 58):\n");
  for (std::size_t i = 0; i < statusCount; ++i)
    std::printf("%6d  %s\n", statuses[i].Status, statuses[i].Meaning);
  return 0;
}

}  // namespace velmora::cli
