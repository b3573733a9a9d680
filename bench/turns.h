// Interleaved turns: the library and the reference take samples in
// alternation (the order swapped every sample), in every thread placement
// within each repetition, so that drift on this shared machine falls on both
// sides alike. Also the small helpers every measure shares.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "measures.h"

namespace velmora::bench {

using Clock = std::chrono::steady_clock;

inline double Us(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::micro>(b - a).count();
}

// Times one call in microseconds.
template <class F>
double Time(F&& f) {
  const auto t0 = Clock::now();
  f();
  return Us(t0, Clock::now());
}

// A failed call ends the run with status 2: a figure built on failures
// would mean nothing.
[[noreturn]] void Fail(const char* what, long detail = 0);
inline void Check(bool ok, const char* what, long detail = 0) {
  if (!ok) Fail(what, detail);
}

using Sample = std::function<double()>;

// Runs the settings' repetitions of `samples` alternating pairs in each
// placement. `prepare` (may be empty) runs before each timed call, outside
// the timing; `lib` and `raw` return the sample for one call.
void Alternate(const Settings& s, Comparison& c, int samples, const std::function<void()>& prepare,
               const Sample& lib, const Sample& raw);

// A few calls of each side before measuring, so that first-use costs (page
// faults of fresh buffers, the peer's threads waking) are not sampled.
void WarmUp(int n, const std::function<void()>& prepare, const Sample& lib, const Sample& raw);

// A latency comparison whose ratio must stay at or under `limit`: its target
// reads "<= 1.5x" and then `more`, if given.
Comparison AtMost(std::string name, std::string reference, double limit, const std::string& more = {});
// The same, where each pinned placement must also stay at or under `pinned`:
// "<= 1.30x, 1.25x pinned".
Comparison AtMostPinned(std::string name, std::string reference, double limit, double pinned);
// A rate that must reach at least `fraction` of the reference's: ">= 85%".
Comparison RateAtLeast(std::string name, std::string reference, double fraction);

// Warms both sides up `warmUps` times, takes `samples` alternating pairs
// (Alternate) and adds the comparison to `rows`.
void Measure(const Settings& s, std::vector<Comparison>& rows, Comparison c, int warmUps, int samples,
             const std::function<void()>& prepare, const Sample& lib, const Sample& raw);

// The request bytes the library sends for NDX_GetData and NDX_SetFreq.
std::string GetDataRequest(std::int32_t count);
std::string SetFreqRequest(std::int32_t hz);

// Waits until the device has counted `expected` chunks on `port`, at most
// `limit`. Polled rather than woken: the device signals every chunk, and a
// waiter woken that often would compete with the very threads being measured.
void AwaitDelivered(sim::SimulatedDevice& dev, std::uint16_t port, std::size_t expected,
                    std::chrono::seconds limit = std::chrono::seconds(20));

// One small NDX_GetData on `h` / one raw request and its reply, timed.
double LibraryRead(NDX_HANDLE h, std::int32_t bytes, char* buffer);
double RawRead(RawReference& raw, const std::string& request);

}  // namespace velmora::bench
