// Many callers at once: N threads, each with a handle of its own, doing small
// NDX_GetData calls, against N threads each with a raw socket of its own.
// The library serialises every call under one lock, so its aggregate rate
// stays near one caller's while the raw clients' grows with the threads.
#include <sched.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "device/device_api.h"
#include "turns.h"

namespace velmora::bench {

namespace {

constexpr int FirstChannel = 8;  // channels of their own, away from the other measures

// Runs `body(i)` on `threads` threads released together; returns the time
// from the release until the last one finished, and adds the CPUs they ran
// on to `cpus`.
double Together(int threads, const std::function<void(int)>& body, std::set<int>& cpus) {
  std::atomic<bool> go{false};
  std::atomic<int> ready{0};
  std::mutex m;
  std::vector<std::thread> pool;
  for (int i = 0; i < threads; ++i) {
    pool.emplace_back([&, i] {
      ++ready;
      while (!go.load()) std::this_thread::yield();
      const int first = sched_getcpu();
      body(i);
      const int last = sched_getcpu();
      std::lock_guard<std::mutex> g(m);
      cpus.insert(first);
      cpus.insert(last);
    });
  }
  while (ready.load() < threads) std::this_thread::yield();
  const auto t0 = Clock::now();
  go = true;
  for (std::thread& t : pool) t.join();
  return Us(t0, Clock::now());
}

// The library's rate with many threads as a fraction of its rate with one:
// what the hand-over of the one library lock costs, apart from the
// serialisation itself, which the raw clients do not have.
Comparison ThreadsAgainstOne(const Comparison& many, const Comparison& one, int perRep) {
  Comparison c = RateAtLeast("aggregate: 8 threads against 1 thread, the library alone",
                             "1 thread x own handle", 0.80);
  c.Note = "the two aggregate rows above, library against library: every call holds the one "
           "library lock for its exchange, so 8 threads cannot beat 1; what they lose is the lock's "
           "hand-over";
  for (std::size_t from = 0; from + std::size_t(perRep) <= many.Library.size() &&
                             from + std::size_t(perRep) <= one.Library.size();
       from += std::size_t(perRep)) {
    const std::size_t libFrom = c.Library.size(), rawFrom = c.Raw.size();
    for (std::size_t i = from; i < from + std::size_t(perRep); ++i) {
      AddSample(c, true, -1, many.Library[i]);
      AddSample(c, false, -1, one.Library[i]);
    }
    EndRepetition(c, libFrom, rawFrom);
  }
  return c;
}

}  // namespace

void ManyHandles(const Settings& s, Links& l, std::vector<Comparison>& rows) {
  sim::SimulatedDevice& dev = *l.Device;
  const int calls = s.Smoke ? 20 : 100;  // per thread and sample
  const int samples = s.Samples(10);
  const std::string request = GetDataRequest(16);
  std::vector<Comparison> rates;  // the library's rate with 1 and with 8 threads
  for (int threads : {1, 8}) {
    std::vector<NDX_HANDLE> handles;
    std::vector<std::unique_ptr<RawReference>> raws;
    for (int i = 0; i < threads; ++i) {
      const int channel = FirstChannel + i;
      handles.push_back(device::Connect(s.Address.c_str(), 1, channel));
      raws.push_back(std::make_unique<RawReference>());
      Check(handles.back() != nullptr &&
                raws.back()->Open(s.Address.c_str(), sim::InputPort(channel), true, 64),
            "connect for many handles");
      dev.DiscardStore(channel);
      dev.FillStore(channel,
                    std::string(std::size_t(16) * std::size_t(calls) * 2 *
                                    std::size_t((samples + 2) * s.Reps + 2),
                                'h'));
    }
    Comparison c;
    c.Name = "aggregate: " + std::to_string(threads) + " thread(s) x own handle, NDX_GetData 16 B";
    c.Reference = std::to_string(threads) + " raw client(s)";
    c.Unit = Comparison::Kind::Rate;
    std::set<int> cpus;
    const int perSample = threads * calls;
    auto lib = [&] {
      return Together(threads, [&](int i) {
        char buffer[64];
        for (int k = 0; k < calls; ++k) LibraryRead(handles[std::size_t(i)], 16, buffer);
      }, cpus) / perSample;
    };
    auto raw = [&] {
      return Together(threads, [&](int i) {
        for (int k = 0; k < calls; ++k) RawRead(*raws[std::size_t(i)], request);
      }, cpus) / perSample;
    };
    Settings unpinned = s;
    unpinned.Where = {Placement{"unpinned", -1, -1}};
    unpinned.Seen.assign(1, Seen());
    WarmUp(1, nullptr, lib, raw);
    Alternate(unpinned, c, samples, nullptr, lib, raw);
    std::string seen;
    for (int cpu : cpus) seen += (seen.empty() ? "" : ",") + std::to_string(cpu);
    c.Note = "not pinned; calls per second of all threads together; the threads ran on cpu " +
             seen + (threads > 1 ? "; compare its ratio with the 1-thread row to see what "
                                   "serialising every call under one library lock costs"
                                 : "");
    rates.push_back(c);
    rows.push_back(std::move(c));
    for (NDX_HANDLE h : handles) device::Close(h);
  }
  rows.push_back(ThreadsAgainstOne(rates[1], rates[0], samples));
}

}  // namespace velmora::bench
