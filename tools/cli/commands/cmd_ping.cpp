// ping: the round-trip time of a request to the device, like ping(8).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "acquisition/acquisition.h"
#include "commands/command.h"
#include "device/device.h"
#include "output/json_value.h"
#include "options/options.h"
#include "device/results.h"
#include "output/terminal.h"

namespace velmora::cli {
namespace {

enum class Kind { Latest, All, Data };

// One request's outcome: a reply of some kind, or none in time.
struct Echo {
  bool Answered = false;
  double Ms = 0;
  std::string What;  // "RDATA, 12 bytes", "NOWRK, status 1: ...", "IOERR"
};

struct RoundTrips {
  double Min = 0, Avg = 0, Median = 0, Max = 0, Mdev = 0;
};

RoundTrips Summarise(const std::vector<double>& rtts) {
  RoundTrips r;
  if (rtts.empty()) return r;
  std::vector<double> sorted = rtts;
  std::sort(sorted.begin(), sorted.end());
  r.Min = sorted.front();
  r.Max = sorted.back();
  r.Median = sorted[sorted.size() / 2];
  for (double x : rtts) r.Avg += x;
  r.Avg /= rtts.size();
  for (double x : rtts) r.Mdev += (x - r.Avg) * (x - r.Avg);
  r.Mdev = std::sqrt(r.Mdev / rtts.size());
  return r;
}

class PingCommand : public Command {
 public:
  void Define(OptionSet& app) override {
    app.description(
        "Sends requests to a device channel one at a time and reports each round trip.\n"
        "Any answer counts as a reply, \"NOWRK\" and \"IOERR\" included; a request that\n"
        "times out counts as lost. The requests are real: while acquisition runs, a\n"
        "packet request takes packets away from other readers, and a data request\n"
        "takes a byte out of the channel's data store.");
    app.add_option("-n,--count", Count, "number of requests (default 4)")->type_name("N")->check(Whole(1, 1000000));
    app.add_option("-i,--interval", Interval, "seconds between requests (default 1)")->type_name("S")->check(Seconds);
    app.add_option("-r,--request", KindName,
                   "latest (default): latest packet (RREQL);\nall: all packets (RREQA); data: one data byte (RREQ?)")
        ->type_name("KIND")
        ->check(OneOf({"latest", "all", "data"}));
    app.add_flag("-q,--quiet", Quiet, "only the summary");
    AddCommonOptions(app, Common);
  }
  bool Json() const override { return Common.Json; }

  int Run() override {
    const Kind kind = KindName == "all" ? Kind::All : KindName == "data" ? Kind::Data : Kind::Latest;
    const std::string tag(kind == Kind::Latest ? wire::tag::GetLatestPacket
                          : kind == Kind::All  ? wire::tag::GetAllPackets
                                               : wire::tag::GetData);
    Device dev(Common.Device, true);
    const bool lines = !Quiet && !Common.Json;
    if (lines)
      std::printf("PING %s: %s requests, connected in %.3f ms\n", dev.Name().c_str(), tag.c_str(), dev.ConnectSeconds() * 1000);
    std::fflush(stdout);

    std::vector<double> rtts;
    int sent = 0;
    CatchInterrupt();
    for (int i = 0; i < Count && !Interrupted(); ++i) {
      if (i > 0) SleepMs(static_cast<int>(Interval * 1000 + 0.5));
      if (Interrupted()) break;
      const Echo e = Request(dev.Handle(), kind);
      ++sent;
      if (e.Answered) rtts.push_back(e.Ms);
      if (lines) std::printf("%s\n", EchoLine(i + 1, e).c_str());
      std::fflush(stdout);
    }
    dev.Close();
    Print(dev, tag, sent, rtts);
    if (rtts.empty())
      std::fprintf(stderr, "velmora ping: no reply to any request: %s\n", DescribeResult(NDX_ERROR_TIMEOUT).c_str());
    return rtts.empty() ? 1 : 0;
  }

 private:
  Echo Request(NDX_HANDLE h, Kind kind) {
    if (!Buffer) Buffer.reset(new unsigned char[ReplyCapacity]);
    unsigned char time[16];
    std::int32_t timeCount = sizeof time, dataCount = kind == Kind::Data ? 1 : ReplyCapacity;
    const double start = NowSeconds();
    std::int32_t r;
    const char* call;
    if (kind == Kind::Latest) {
      r = NDX_GetLatestPacketAndDiscard(h, &timeCount, time, &dataCount, Buffer.get());
      call = "NDX_GetLatestPacketAndDiscard";
    } else if (kind == Kind::All) {
      r = NDX_GetAllPackets(h, &timeCount, time, &dataCount, Buffer.get());
      call = "NDX_GetAllPackets";
    } else {
      r = NDX_GetData(h, &dataCount, Buffer.get());
      call = "NDX_GetData";
    }
    Echo e;
    e.Ms = (NowSeconds() - start) * 1000;
    e.Answered = true;
    if (r == NDX_ERROR_SUCCESS) {
      e.What = "RDATA, " + Grouped(static_cast<std::uint64_t>(dataCount)) + " bytes";
    } else if (r == NDX_ERROR_BAD_NET_RESP) {
      const std::int32_t status = LibraryLastError();
      const char* meaning = DeviceStatusMeaning(status);
      e.What = "NOWRK, status " + std::to_string(status) + (meaning ? std::string(": ") + meaning : "");
    } else if (r == NDX_ERROR_BAD_DEV_TYPE) {
      e.What = "IOERR";
    } else if (r == NDX_ERROR_TIMEOUT) {
      e.Answered = false;
      e.What = DescribeResult(r);
    } else {
      Check(r, call);
    }
    return e;
  }

  static std::string EchoLine(int n, const Echo& e) {
    char head[64];
    if (!e.Answered) {
      std::snprintf(head, sizeof head, "request %d: no reply (", n);
      return head + e.What + ")";
    }
    std::snprintf(head, sizeof head, "reply %d: time=%.3f ms  ", n, e.Ms);
    return head + e.What;
  }

  void Print(const Device& dev, const std::string& tag, int sent, const std::vector<double>& rtts) const {
    const RoundTrips r = Summarise(rtts);
    const int replies = static_cast<int>(rtts.size());
    const int lost = sent - replies;
    if (Common.Json) {
      PrintJson(stdout, {{"ok", !rtts.empty()}, {"command", "ping"}, {"device", dev.ToJson()}, {"request", tag},
                         {"connect_ms", dev.ConnectSeconds() * 1000}, {"sent", sent}, {"replies", replies},
                         {"lost", lost},
                         {"rtt_ms", {{"min", r.Min}, {"avg", r.Avg}, {"median", r.Median}, {"max", r.Max}, {"mdev", r.Mdev}}},
                         {"times_ms", rtts}});
      return;
    }
    std::printf("--- %s ping statistics ---\n", Common.Device.Host.c_str());
    std::printf("%d requests, %d replies, %.0f%% lost\n", sent, replies, sent > 0 ? 100.0 * lost / sent : 0.0);
    if (!rtts.empty())
      std::printf("round trip min/avg/max/mdev = %.3f/%.3f/%.3f/%.3f ms\n", r.Min, r.Avg, r.Max, r.Mdev);
  }

  CommonOptions Common;
  int Count = 4;
  double Interval = 1;
  std::string KindName = "latest";
  bool Quiet = false;
  std::unique_ptr<unsigned char[]> Buffer;
};

}  // namespace

std::unique_ptr<Command> MakePingCommand() { return std::make_unique<PingCommand>(); }

}  // namespace velmora::cli
