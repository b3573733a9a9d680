// ping: the round-trip time of a request to the device, like ping(8).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "acquisition.h"
#include "commands.h"
#include "device.h"
#include "json.h"
#include "results.h"
#include "terminal.h"

namespace velmora::cli {
namespace {

const char Help[] =
    "usage: velmora ping [OPTIONS]\n"
    "Sends requests to a device channel one at a time and reports each round trip.\n"
    "Any answer counts as a reply, \"NOWRK\" and \"IOERR\" included; a request that\n"
    "times out counts as lost. The requests are real: while acquisition runs, a\n"
    "packet request takes packets away from other readers, and a data request\n"
    "takes a byte out of the channel's data store.\n"
    "  -n, --count N          number of requests (default 4)\n"
    "  -i, --interval S       seconds between requests (default 1)\n"
    "  -r, --request KIND     latest (default): latest packet (RREQL);\n"
    "                         all: all packets (RREQA); data: one data byte (RREQ?)\n"
    "  -q, --quiet            only the summary\n"
    "      --json             print the result as JSON\n"
    "  -h, --help             this text\n";

enum class Kind { Latest, All, Data };

}  // namespace

int RunPing(int argc, char** argv) {
  ArgReader args(argc, argv);
  DeviceOptions d;
  bool json = false, quiet = false;
  int count = 4;
  double interval = 1;
  Kind kind = Kind::Latest;
  std::string v;
  while (!args.Done()) {
    if (args.Flag('h', "help")) {
      std::string text = Help;
      return ShowHelp(text.insert(text.find("  -q, --quiet"), DeviceOptionsHelp).c_str());
    }
    if (ReadDeviceOption(args, d)) continue;
    if (args.Flag(0, "json")) {
      json = JsonRequested = true;
    } else if (args.Flag('q', "quiet")) {
      quiet = true;
    } else if (args.Value('n', "count", v)) {
      count = ParseInt32(v, "--count", 1, 1000000);
    } else if (args.Value('i', "interval", v)) {
      interval = ParseSeconds(v, "--interval");
    } else if (args.Value('r', "request", v)) {
      if (v == "latest") kind = Kind::Latest;
      else if (v == "all") kind = Kind::All;
      else if (v == "data") kind = Kind::Data;
      else throw UsageError("--request takes latest, all or data: " + v);
    } else {
      args.Unknown();
    }
  }
  const char* tag = kind == Kind::Latest ? "RREQL" : kind == Kind::All ? "RREQA" : "RREQ?";
  Device dev(d, true);
  const bool lines = !quiet && !json;
  if (lines)
    std::printf("PING %s: %s requests, connected in %.3f ms\n", dev.Name().c_str(), tag,
                dev.ConnectSeconds() * 1000);
  std::fflush(stdout);

  std::unique_ptr<unsigned char[]> data(new unsigned char[ReplyCapacity]);
  unsigned char time[16];
  std::vector<double> rtts;
  int sent = 0;
  CatchInterrupt();
  for (int i = 0; i < count && !Interrupted(); ++i) {
    if (i > 0) SleepMs(static_cast<int>(interval * 1000 + 0.5));
    if (Interrupted()) break;
    std::int32_t timeCount = sizeof time, dataCount = kind == Kind::Data ? 1 : ReplyCapacity;
    const double start = NowSeconds();
    std::int32_t r;
    const char* call;
    if (kind == Kind::Latest) {
      r = NDX_GetLatestPacketAndDiscard(dev.Handle(), &timeCount, time, &dataCount, data.get());
      call = "NDX_GetLatestPacketAndDiscard";
    } else if (kind == Kind::All) {
      r = NDX_GetAllPackets(dev.Handle(), &timeCount, time, &dataCount, data.get());
      call = "NDX_GetAllPackets";
    } else {
      r = NDX_GetData(dev.Handle(), &dataCount, data.get());
      call = "NDX_GetData";
    }
    const double ms = (NowSeconds() - start) * 1000;
    ++sent;
    std::string what;
    if (r == NDX_ERROR_SUCCESS) {
      what = "RDATA, " + Grouped(static_cast<std::uint64_t>(dataCount)) + " bytes";
    } else if (r == NDX_ERROR_BAD_NET_RESP) {
      const std::int32_t status = LibraryLastError();
      const char* meaning = DeviceStatusMeaning(status);
      what = "NOWRK, status " + std::to_string(status) + (meaning ? std::string(": ") + meaning : "");
    } else if (r == NDX_ERROR_BAD_DEV_TYPE) {
      what = "IOERR";
    } else if (r == NDX_ERROR_TIMEOUT) {
      if (lines) std::printf("request %d: no reply (%s)\n", i + 1, DescribeResult(r).c_str());
      continue;
    } else {
      Check(r, call);
    }
    rtts.push_back(ms);
    if (lines) std::printf("reply %d: time=%.3f ms  %s\n", i + 1, ms, what.c_str());
    std::fflush(stdout);
  }
  dev.Close();

  double mn = 0, mx = 0, avg = 0, mdev = 0, median = 0;
  if (!rtts.empty()) {
    mn = *std::min_element(rtts.begin(), rtts.end());
    mx = *std::max_element(rtts.begin(), rtts.end());
    for (double x : rtts) avg += x;
    avg /= rtts.size();
    for (double x : rtts) mdev += (x - avg) * (x - avg);
    mdev = std::sqrt(mdev / rtts.size());
    std::vector<double> sorted = rtts;
    std::sort(sorted.begin(), sorted.end());
    median = sorted[sorted.size() / 2];
  }
  const int lost = sent - static_cast<int>(rtts.size());
  if (json) {
    JsonWriter j;
    j.BeginObject().Bool("ok", !rtts.empty()).Str("command", "ping");
    j.BeginObject("device").Str("host", d.Host).Int("channel", d.Channel).Int("port", dev.Port()).EndObject();
    j.Str("request", tag)
        .Num("connect_ms", dev.ConnectSeconds() * 1000)
        .Int("sent", sent)
        .Int("replies", static_cast<std::int64_t>(rtts.size()))
        .Int("lost", lost);
    j.BeginObject("rtt_ms").Num("min", mn).Num("avg", avg).Num("median", median).Num("max", mx).Num("mdev", mdev).EndObject();
    j.BeginArray("times_ms");
    for (double x : rtts) j.Num(nullptr, x);
    j.EndArray().EndObject();
    std::printf("%s\n", j.Text().c_str());
  } else {
    std::printf("--- %s ping statistics ---\n", d.Host.c_str());
    std::printf("%d requests, %d replies, %.0f%% lost\n", sent, static_cast<int>(rtts.size()),
                sent > 0 ? 100.0 * lost / sent : 0.0);
    if (!rtts.empty())
      std::printf("round trip min/avg/max/mdev = %.3f/%.3f/%.3f/%.3f ms\n", mn, avg, mx, mdev);
  }
  if (rtts.empty())
    std::fprintf(stderr, "velmora ping: no reply to any request: %s\n",
                 DescribeResult(NDX_ERROR_TIMEOUT).c_str());
  return rtts.empty() ? 1 : 0;
}

}  // namespace velmora::cli
