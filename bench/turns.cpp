#include "turns.h"

#include <cstdio>
#include <cstdlib>
#include <thread>

#include "device/device_api.h"
#include "diff/chunk_builder.h"
#include "diff/wire_vocabulary.h"

namespace velmora::bench {

void Fail(const char* what, long detail) {
  std::fprintf(stderr, "velmora-bench: %s failed (%ld)\n", what, detail);
  std::exit(2);
}

void Alternate(const Settings& s, Comparison& c, int samples, const std::function<void()>& prepare,
               const Sample& lib, const Sample& raw) {
  for (int r = 0; r < s.Reps; ++r) {
    const std::size_t libFrom = c.Library.size(), rawFrom = c.Raw.size();
    for (std::size_t p = 0; p < s.Where.size(); ++p) {
      Apply(s.Where[p]);
      const int at = s.Where.size() > 1 ? int(p) : -1;  // one placement: nothing to pick
      if (at >= 0 && s.Where[p].CallerCpu < 0) c.Unpinned = at;
      WarmUp(1, prepare, lib, raw);  // the first calls after a move pay for it
      for (int i = 0; i < samples; ++i) {
        const bool libFirst = (i + r + int(p)) % 2 == 0;
        for (int side = 0; side < 2; ++side) {
          if (prepare) prepare();
          const bool library = (side == 0) == libFirst;
          AddSample(c, library, at, library ? lib() : raw());
        }
      }
      Observe(s.Seen[p]);
    }
    EndRepetition(c, libFrom, rawFrom);
  }
  Unpin();
}

void WarmUp(int n, const std::function<void()>& prepare, const Sample& lib, const Sample& raw) {
  for (int i = 0; i < n; ++i) {
    if (prepare) prepare();
    lib();
    if (prepare) prepare();
    raw();
  }
}

Comparison RateAtLeast(std::string name, std::string reference, double fraction) {
  Comparison c;
  c.Name = std::move(name);
  c.Reference = std::move(reference);
  c.Unit = Comparison::Kind::Rate;
  c.Target = ">= " + std::to_string(int(fraction * 100 + 0.5)) + "%";
  c.Limit = fraction;
  c.LowerIsBetter = false;
  return c;
}

Comparison AtMostPinned(std::string name, std::string reference, double limit, double pinned) {
  char more[48];
  std::snprintf(more, sizeof more, ", %.2fx pinned", pinned);
  Comparison c = AtMost(std::move(name), std::move(reference), limit, more);
  c.PinnedLimit = pinned;
  return c;
}

Comparison AtMost(std::string name, std::string reference, double limit, const std::string& more) {
  Comparison c;
  c.Name = std::move(name);
  c.Reference = std::move(reference);
  char target[32];
  std::snprintf(target, sizeof target, limit * 10 == double(int(limit * 10)) ? "<= %.1fx" : "<= %.2fx",
                limit);
  c.Target = target + more;
  c.Limit = limit;
  return c;
}

void Measure(const Settings& s, std::vector<Comparison>& rows, Comparison c, int warmUps, int samples,
             const std::function<void()>& prepare, const Sample& lib, const Sample& raw) {
  WarmUp(warmUps, prepare, lib, raw);
  Alternate(s, c, samples, prepare, lib, raw);
  rows.push_back(std::move(c));
}

std::string GetDataRequest(std::int32_t count) {
  return diff::SerializeChunk(wire::tag::GetData, {{std::string(wire::header::Length), diff::IntToBytes(count)}});
}

std::string SetFreqRequest(std::int32_t hz) {
  return diff::SerializeChunk(wire::tag::SetFrequency, {{std::string(wire::header::Hz), diff::IntToBytes(hz)}});
}

void AwaitDelivered(sim::SimulatedDevice& dev, std::uint16_t port, std::size_t expected,
                    std::chrono::seconds limit) {
  const auto deadline = Clock::now() + limit;
  while (dev.ReceivedCount(port) < expected) {
    Check(Clock::now() < deadline, "commands delivered");
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
}

double LibraryRead(NDX_HANDLE h, std::int32_t bytes, char* buffer) {
  std::int32_t count = bytes;
  std::int32_t rc = 0;
  const double t = Time([&] { rc = device::GetData(h, &count, buffer); });
  Check(rc == 0 && count == bytes, "NDX_GetData", rc != 0 ? rc : count);
  return t;
}

double RawRead(RawReference& raw, const std::string& request) {
  return Time([&] { Check(raw.Send(request) && raw.ReadFrame(), "raw request/reply"); });
}

}  // namespace velmora::bench
