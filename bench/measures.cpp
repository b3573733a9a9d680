#include "measures.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "device/device_api.h"
#include "device/exchange.h"
#include "diff/diff_chunk.h"

namespace velmora::bench {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint16_t InPort = sim::InputPort(0);
constexpr std::uint16_t OutPort = sim::OutputPort(0);
constexpr std::size_t MiB = 1u << 20;

double Us(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::micro>(b - a).count();
}

// Times one call in microseconds.
template <class F>
double Time(F&& f) {
  const auto t0 = Clock::now();
  f();
  return Us(t0, Clock::now());
}

[[noreturn]] void Fail(const char* what, long detail = 0) {
  std::fprintf(stderr, "velmora-bench: %s failed (%ld)\n", what, detail);
  std::exit(2);
}

void Check(bool ok, const char* what, long detail = 0) {
  if (!ok) Fail(what, detail);
}

// Runs `reps` repetitions of `samples` alternating pairs. `prepare` runs
// before each timed call, outside the timing; `lib` and `raw` return the
// sample for one call.
void Alternate(Comparison& c, int reps, int samples, const std::function<void()>& prepare,
               const std::function<double()>& lib, const std::function<double()>& raw) {
  for (int r = 0; r < reps; ++r) {
    const std::size_t libFrom = c.Library.size(), rawFrom = c.Raw.size();
    for (int i = 0; i < samples; ++i) {
      const bool libFirst = (i + r) % 2 == 0;
      for (int side = 0; side < 2; ++side) {
        if (prepare) prepare();
        if ((side == 0) == libFirst) c.Library.push_back(lib());
        else c.Raw.push_back(raw());
      }
    }
    EndRepetition(c, libFrom, rawFrom);
  }
}

std::string GetDataRequest(std::int32_t count) {
  return device::BuildRequest("RREQ?", "Len", diff::IntToBytes(count), true);
}

std::string SetFreqRequest(std::int32_t hz) {
  return device::BuildRequest("WFREQ", "Hz", diff::IntToBytes(hz), true);
}

// A few calls of each side before measuring, so that first-use costs (page
// faults of fresh buffers, the peer's threads waking) are not sampled.
void WarmUp(int n, const std::function<void()>& prepare, const std::function<double()>& lib,
            const std::function<double()>& raw) {
  for (int i = 0; i < n; ++i) {
    if (prepare) prepare();
    lib();
    if (prepare) prepare();
    raw();
  }
}

}  // namespace

void SmallRoundTrips(const Settings& s, Links& l, std::vector<Comparison>& rows) {
  sim::SimulatedDevice& dev = *l.Device;
  char buffer[64];
  {
    Comparison c;
    c.Name = "round trip: NDX_GetData 16 B";
    c.Reference = "raw request/reply";
    c.Target = "<= 2.0x";
    c.Limit = 2.0;
    const int samples = s.Samples(300);
    const std::string request = GetDataRequest(16);
    auto lib = [&] {
      std::int32_t count = 16;
      std::int32_t rc = 0;
      const double t = Time([&] { rc = device::GetData(l.In, &count, buffer); });
      Check(rc == 0 && count == 16, "GetData 16", rc);
      return t;
    };
    auto raw = [&] {
      return Time([&] { Check(l.RawIn.Send(request) && l.RawIn.ReadFrame(), "raw read 16"); });
    };
    dev.DiscardStore(0);
    dev.FillStore(0, std::string(std::size_t(16) * 2 * (samples * s.Reps + 20), 'd'));
    WarmUp(10, nullptr, lib, raw);
    Alternate(c, s.Reps, samples, nullptr, lib, raw);
    rows.push_back(std::move(c));
  }
  {
    // A 16-byte packet per request: 8 samples of 16 bits at 1 kHz, and the
    // device's clock moved on by exactly one packet before each request.
    Comparison c;
    c.Name = "round trip: NDX_GetAllPackets, one 16 B packet";
    c.Reference = "raw request/reply";
    c.Target = "<= 2.0x";
    c.Limit = 2.0;
    dev.SetManualClock(true);
    Check(device::SetBlockSize(l.In, 16) == 0 && device::SetPacketBits(l.In, 16) == 0 &&
              device::SetFreq(l.In, 1000) == 0 && device::GoClear(l.In) == 0,
          "packet setup");
    for (int i = 0; i < 200 && dev.State(0) != sim::AcquisitionState::Running; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    Check(dev.State(0) == sim::AcquisitionState::Running, "acquisition start");
    const std::string request = device::BuildRequest("RREQA");
    char time[16];
    auto prepare = [&] { dev.AdvanceClock(8000); };
    auto lib = [&] {
      std::int32_t timeCount = sizeof time, dataCount = sizeof buffer;
      std::int32_t rc = 0;
      const double t =
          Time([&] { rc = device::GetAllPackets(l.In, &timeCount, time, &dataCount, buffer); });
      Check(rc == 0 && dataCount == 16, "GetAllPackets", rc != 0 ? rc : dataCount);
      return t;
    };
    auto raw = [&] {
      return Time([&] { Check(l.RawIn.Send(request) && l.RawIn.ReadFrame(), "raw packets"); });
    };
    WarmUp(10, prepare, lib, raw);
    Alternate(c, s.Reps, s.Samples(300), prepare, lib, raw);
    Check(device::Clear(l.In) == 0, "Clear");
    dev.SetManualClock(false);
    rows.push_back(std::move(c));
  }
}

void BulkTransfers(const Settings& s, Links& l, std::vector<Comparison>& rows) {
  sim::SimulatedDevice& dev = *l.Device;
  std::vector<char> buffer(16 * MiB, 'c');  // the caller's buffer, touched once
  struct Size {
    std::size_t Bytes;
    const char* Label;
    int Samples;
    double ReadTarget;
  };
  const Size sizes[] = {{64 * 1024, "64 KiB", 40, 0}, {MiB, "1 MiB", 15, 0.6},
                        {16 * MiB, "16 MiB", 3, 0.8}};
  for (const Size& z : sizes) {
    Comparison c;
    c.Name = std::string("bulk: NDX_GetData ") + z.Label;
    c.Reference = "raw request/reply";
    c.Unit = Comparison::Kind::Throughput;
    c.Bytes = z.Bytes;
    if (z.ReadTarget > 0) {
      c.Limit = z.ReadTarget;
      c.LowerIsBetter = false;
      c.Target = ">= " + std::to_string(int(z.ReadTarget * 100)) + "%";
    }
    const std::string request = GetDataRequest(std::int32_t(z.Bytes));
    // The store gets exactly one reply's worth before each call, outside the
    // timing; building that string costs far more than the transfer here.
    auto prepare = [&] {
      dev.DiscardStore(0);
      dev.FillStore(0, std::string(z.Bytes, 'g'));
    };
    auto lib = [&] {
      std::int32_t count = std::int32_t(z.Bytes);
      std::int32_t rc = 0;
      const double t = Time([&] { rc = device::GetData(l.In, &count, buffer.data()); });
      Check(rc == 0 && std::size_t(count) == z.Bytes, "GetData bulk", rc);
      return t;
    };
    auto raw = [&] {
      const double t =
          Time([&] { Check(l.RawIn.Send(request) && l.RawIn.ReadFrame(), "raw read bulk"); });
      Check(l.RawIn.FrameLength() == 8 + z.Bytes, "raw read length");
      return t;
    };
    // A handle's first large replies grow its buffers into fresh memory;
    // the figures are for the steady state after that.
    WarmUp(4, prepare, lib, raw);
    Alternate(c, s.Reps, s.Samples(z.Samples), prepare, lib, raw);
    rows.push_back(std::move(c));
  }
  for (const Size& z : sizes) {
    Comparison c;
    c.Name = std::string("bulk: NDX_PutData ") + z.Label;
    c.Reference = "raw request/reply";
    c.Unit = Comparison::Kind::Throughput;
    c.Bytes = z.Bytes;
    if (z.Bytes == MiB) {
      c.Limit = 0.6;
      c.LowerIsBetter = false;
      c.Target = ">= 60%";
    }
    const std::string request =
        device::BuildRequest("WDATA", {}, {}, false, std::string(buffer.data(), z.Bytes));
    auto prepare = [&] { dev.DiscardStore(0); };
    auto lib = [&] {
      std::int32_t count = std::int32_t(z.Bytes);
      std::int32_t rc = 0;
      const double t = Time([&] { rc = device::PutData(l.Out, &count, buffer.data()); });
      Check(rc == 0 && std::size_t(count) == z.Bytes, "PutData bulk", rc);
      return t;
    };
    auto raw = [&] {
      return Time([&] { Check(l.RawOut.Send(request) && l.RawOut.ReadFrame(), "raw write"); });
    };
    WarmUp(4, prepare, lib, raw);
    Alternate(c, s.Reps, s.Samples(z.Samples), prepare, lib, raw);
    rows.push_back(std::move(c));
  }
  dev.DiscardStore(0);
}

void CommandThenRequest(const Settings& s, Links& l, std::vector<Comparison>& rows) {
  sim::SimulatedDevice& dev = *l.Device;
  char buffer[64];
  const std::string command = SetFreqRequest(1000);
  const std::string request = GetDataRequest(16);
  const int samples = s.Samples(200);
  const int nagleSamples = s.Smoke ? 2 : 6;  // each may wait out a delayed ACK
  dev.DiscardStore(0);
  dev.FillStore(0, std::string(std::size_t(16) * 3 * (samples + nagleSamples + 20) *
                                   std::size_t(s.Reps + 1),
                               'f'));

  Comparison lib;
  lib.Name = "NDX_SetFreq then NDX_GetData 16 B";
  lib.Reference = "raw round trip";
  lib.Target = "<= 2.5x, p99 < 1 ms";
  lib.Limit = 2.5;
  lib.P99LimitUs = 1000;
  Comparison noDelay;
  noDelay.Name = "raw command then request, TCP_NODELAY";
  noDelay.Reference = "raw round trip";
  Comparison nagle;
  nagle.Name = "raw command then request, Nagle on";
  nagle.Reference = "raw round trip";
  nagle.Note = "Nagle holds the request until the device acknowledges the command, which it "
               "delays; the library sets TCP_NODELAY in Connect to avoid exactly this";

  auto rawTrip = [&] {
    return Time([&] { Check(l.RawIn.Send(request) && l.RawIn.ReadFrame(), "raw round trip"); });
  };
  auto libPair = [&] {
    std::int32_t count = 16;
    std::int32_t rc = 0, rf = 0;
    const double t = Time([&] {
      rf = device::SetFreq(l.In, 1000);
      rc = device::GetData(l.In, &count, buffer);
    });
    Check(rf == 0 && rc == 0 && count == 16, "SetFreq then GetData", rc);
    return t;
  };
  auto rawPair = [&](RawReference& r) {
    return Time([&] {
      Check(r.Send(command) && r.Send(request) && r.ReadFrame(), "raw command then request");
    });
  };
  WarmUp(5, nullptr, libPair, rawTrip);
  for (int rep = 0; rep < s.Reps; ++rep) {
    const std::size_t a = lib.Library.size(), b = lib.Raw.size();
    const std::size_t c = noDelay.Library.size(), d = noDelay.Raw.size();
    for (int i = 0; i < samples; ++i) {
      const double ref = rawTrip();
      lib.Raw.push_back(ref);
      noDelay.Raw.push_back(ref);
      nagle.Raw.push_back(ref);
      if (i % 2 == 0) {
        lib.Library.push_back(libPair());
        noDelay.Library.push_back(rawPair(l.RawIn));
      } else {
        noDelay.Library.push_back(rawPair(l.RawIn));
        lib.Library.push_back(libPair());
      }
    }
    EndRepetition(lib, a, b);
    EndRepetition(noDelay, c, d);
    const std::size_t e = nagle.Library.size(), f = nagle.Raw.size() - std::size_t(samples);
    for (int i = 0; i < nagleSamples; ++i) nagle.Library.push_back(rawPair(l.RawNagle));
    EndRepetition(nagle, e, f);
  }
  dev.DiscardStore(0);
  rows.push_back(std::move(lib));
  rows.push_back(std::move(noDelay));
  rows.push_back(std::move(nagle));
}

void CommandRate(const Settings& s, Links& l, std::vector<Comparison>& rows) {
  sim::SimulatedDevice& dev = *l.Device;
  Comparison c;
  c.Name = "commands queued: NDX_SetFreq loop";
  c.Reference = "raw sends of the same bytes";
  c.Unit = Comparison::Kind::Rate;
  c.Target = ">= 50%";
  c.Limit = 0.5;
  c.LowerIsBetter = false;
  c.Note = "a sample is one batch of commands, timed until the last call returns; each batch "
           "is delivered to the device before the next starts";
  const int batch = s.Smoke ? 200 : 2000;
  const std::string command = SetFreqRequest(1000);
  std::size_t expected = dev.ReceivedCount(InPort);
  auto delivered = [&] {
    expected += std::size_t(batch);
    Check(dev.WaitForReceived(InPort, expected, 20000), "commands delivered");
  };
  auto lib = [&] {
    const double t = Time([&] {
      for (int i = 0; i < batch; ++i) Check(device::SetFreq(l.In, 1000) == 0, "SetFreq");
    });
    delivered();
    return t / batch;
  };
  auto raw = [&] {
    const double t = Time([&] {
      for (int i = 0; i < batch; ++i) Check(l.RawIn.Send(command), "raw command");
    });
    delivered();
    return t / batch;
  };
  WarmUp(1, nullptr, lib, raw);
  Alternate(c, s.Reps, s.Samples(8), nullptr, lib, raw);
  rows.push_back(std::move(c));
}

void Codec(const Settings& s, std::vector<Comparison>& rows) {
  const int samples = s.Samples(60);
  std::string payload(MiB, 'p');
  std::vector<char> target(MiB, 't');
  auto copy = [&] {
    return Time([&] { std::memcpy(target.data(), payload.data(), MiB); });
  };
  {
    Comparison c;
    c.Name = "codec: SaveToString, 1 MiB payload";
    c.Reference = "memcpy 1 MiB";
    c.Target = "<= 3.0x";
    c.Limit = 3.0;
    auto chunk = diff::TDIFFChunk::Make();
    chunk->SetTag("RDATA");
    chunk->Payload = payload;
    std::string out;
    auto lib = [&] {
      out = std::string();  // the previous result goes, outside the timing
      return Time([&] { out = chunk->SaveToString(); });
    };
    WarmUp(3, nullptr, lib, copy);
    Alternate(c, s.Reps, samples, nullptr, lib, copy);
    rows.push_back(std::move(c));
  }
  {
    Comparison c;
    c.Name = "codec: MakeFromString, 1 MiB payload";
    c.Reference = "memcpy 1 MiB";
    c.Target = "<= 3.0x";
    c.Limit = 3.0;
    const std::string frame = device::BuildRequest("RDATA", "Time", std::string(8, 't'), true,
                                                   payload);
    std::unique_ptr<diff::TDIFFChunk> loaded;
    auto lib = [&] {
      loaded.reset();
      return Time([&] { loaded = diff::TDIFFChunk::MakeFromString(frame); });
    };
    WarmUp(3, nullptr, lib, copy);
    Alternate(c, s.Reps, samples, nullptr, lib, copy);
    Check(loaded && loaded->Payload.size() == MiB, "load");
    rows.push_back(std::move(c));
  }
  {
    // Cutting N small chunks off one buffer: time per chunk at N = 10,000
    // against N = 1,000. Linear cutting keeps the two equal.
    Comparison c;
    c.Name = "codec: cut 10,000 small chunks, per chunk";
    c.Reference = "cut 1,000, per chunk";
    c.Target = "<= 1.5x (linear)";
    c.Limit = 1.5;
    const std::string one = SetFreqRequest(1000);
    auto cut = [&](int n) {
      std::string all;
      all.reserve(one.size() * std::size_t(n));
      for (int i = 0; i < n; ++i) all += one;
      diff::TChunkBuffer buffer;
      buffer.Append(std::move(all));
      int got = 0;
      const double t = Time([&] {
        while (auto chunk = diff::ExtractChunk(buffer)) ++got;
      });
      Check(got == n && buffer.empty(), "cutting", got);
      return t / n;
    };
    auto big = [&] { return cut(10000); };
    auto small = [&] { return cut(1000); };
    WarmUp(1, nullptr, big, small);
    Alternate(c, s.Reps, s.Samples(10), nullptr, big, small);
    rows.push_back(std::move(c));
  }
}

}  // namespace velmora::bench
