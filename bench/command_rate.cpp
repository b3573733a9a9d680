// Commands per second: a batch of NDX_SetFreq against raw sends of the same
// bytes, each timed until the device has taken the whole batch.
#include "device/device_api.h"
#include "turns.h"

namespace velmora::bench {

void CommandRate(const Settings& s, Links& l, std::vector<Comparison>& rows) {
  sim::SimulatedDevice& dev = *l.Device;
  Comparison c = RateAtLeast("commands delivered: NDX_SetFreq loop", "raw sends of the same bytes", 0.85);
  c.Note = "a sample is one batch of commands, timed from the first call until the device has "
           "received the last command (polled every 50 us), per command";
  // Long enough that one run's figure agrees with the next: shorter batches
  // landed either side of a scheduling pattern and gave bimodal figures.
  const int batch = s.Smoke ? 200 : 20000;
  const std::uint16_t port = sim::InputPort(0);
  const std::string command = SetFreqRequest(1000);
  auto timed = [&](const std::function<void()>& one) {
    const std::size_t expected = dev.ReceivedCount(port) + std::size_t(batch);
    const double t = Time([&] {
      for (int i = 0; i < batch; ++i) one();
      AwaitDelivered(dev, port, expected);
    });
    return t / batch;
  };
  auto lib = [&] {
    return timed([&] { Check(device::SetFreq(l.In, 1000) == 0, "SetFreq"); });
  };
  auto raw = [&] { return timed([&] { Check(l.RawIn.Send(command), "raw command"); }); };
  WarmUp(1, nullptr, lib, raw);
  Alternate(s, c, s.Samples(4), nullptr, lib, raw);
  rows.push_back(std::move(c));
}

}  // namespace velmora::bench
