// Small request/reply round trips, and a command followed by a request.
#include <thread>

#include "device/device_api.h"
#include "diff/chunk_builder.h"
#include "diff/wire_vocabulary.h"
#include "turns.h"

namespace velmora::bench {

void SmallRoundTrips(const Settings& s, Links& l, std::vector<Comparison>& rows) {
  sim::SimulatedDevice& dev = *l.Device;
  char buffer[64];
  const int samples = s.Samples(300);
  const int calls = (samples + 1) * int(s.Where.size()) * s.Reps + 20;
  {
    const std::string request = GetDataRequest(16);
    auto lib = [&] { return LibraryRead(l.In, 16, buffer); };
    auto raw = [&] { return RawRead(l.RawIn, request); };
    dev.DiscardStore(0);
    dev.FillStore(0, std::string(std::size_t(16) * 2 * std::size_t(calls), 'd'));
    Measure(s, rows, AtMostPinned("round trip: NDX_GetData 16 B", "raw request/reply", 1.3, 1.25), 10, samples,
            nullptr, lib, raw);
  }
  {
    // A 16-byte packet per request: 8 samples of 16 bits at 1 kHz, and the
    // device's clock moved on by exactly one packet before each request.
    dev.SetManualClock(true);
    Check(device::SetBlockSize(l.In, 16) == 0 && device::SetPacketBits(l.In, 16) == 0 &&
              device::SetFreq(l.In, 1000) == 0 && device::GoClear(l.In) == 0,
          "packet setup");
    for (int i = 0; i < 200 && dev.State(0) != sim::AcquisitionState::Running; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    Check(dev.State(0) == sim::AcquisitionState::Running, "acquisition start");
    const std::string request = diff::SerializeChunk(wire::tag::GetAllPackets);
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
    auto raw = [&] { return RawRead(l.RawIn, request); };
    Measure(s, rows, AtMostPinned("round trip: NDX_GetAllPackets, one 16 B packet", "raw request/reply", 1.3, 1.25), 10,
            samples, prepare, lib, raw);
    Check(device::Clear(l.In) == 0, "Clear");
    dev.SetManualClock(false);
  }
}

void CommandThenRequest(const Settings& s, Links& l, std::vector<Comparison>& rows) {
  sim::SimulatedDevice& dev = *l.Device;
  char buffer[64];
  const std::string command = SetFreqRequest(1000);
  const std::string request = GetDataRequest(16);
  const int samples = s.Samples(200);
  const int nagleSamples = s.Smoke ? 1 : 2;  // each waits out a delayed ACK
  const int calls = (samples + nagleSamples + 2) * 2 * int(s.Where.size()) * s.Reps + 20;
  dev.DiscardStore(0);
  dev.FillStore(0, std::string(std::size_t(16) * std::size_t(calls), 'f'));

  auto libPair = [&] {
    std::int32_t count = 16;
    std::int32_t rc = 0, rf = 0;
    const double t = Time([&] {
      rf = device::SetFreq(l.In, 1000);
      rc = device::GetData(l.In, &count, buffer);
    });
    Check(rf == 0 && rc == 0 && count == 16, "SetFreq then GetData", rf != 0 ? rf : rc);
    return t;
  };
  auto rawPair = [&](RawReference& r) {
    return Time([&] {
      Check(r.Send(command) && r.Send(request) && r.ReadFrame(), "raw command then request");
    });
  };
  Comparison c = AtMost("NDX_SetFreq then NDX_GetData 16 B", "raw command then request", 1.3, ", p99 < 1 ms");
  c.P99LimitUs = 1000;
  Measure(s, rows, std::move(c), 5, samples, nullptr, libPair, [&] { return rawPair(l.RawIn); });

  Comparison nagle;
  nagle.Name = "NDX_SetFreq then NDX_GetData 16 B, against Nagle";
  nagle.Reference = "raw command then request, Nagle on";
  nagle.Note = "Nagle holds the request until the device acknowledges the command, which it "
               "delays; the library sets TCP_NODELAY in Connect to avoid exactly this";
  Alternate(s, nagle, nagleSamples, nullptr, libPair, [&] { return rawPair(l.RawNagle); });
  rows.push_back(std::move(nagle));
  dev.DiscardStore(0);
}

}  // namespace velmora::bench
