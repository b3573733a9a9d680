#include "turns.h"

#include <cstdio>
#include <cstdlib>

#include "device/device_api.h"
#include "device/exchange.h"
#include "diff/diff_chunk.h"

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

std::string GetDataRequest(std::int32_t count) {
  return device::BuildRequest("RREQ?", "Len", diff::IntToBytes(count), true);
}

std::string SetFreqRequest(std::int32_t hz) {
  return device::BuildRequest("WFREQ", "Hz", diff::IntToBytes(hz), true);
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
