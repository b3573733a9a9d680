// One side of one operation in a loop and nothing else, so that a profiler
// or a system-call counter run on this program sees that operation alone
// (plus the simulated device, which the raw loops show on its own):
//
//   strace -c -f velmora-bench --loop lib-small 20000
//   perf record -g velmora-bench --loop lib-16m 200
//   strace -c -f velmora-bench --loop lib-command 100000
#include <chrono>
#include <cstdio>

#include "device/device_api.h"

#include "turns.h"

namespace velmora::bench {

namespace {

// NDX_SetFreq, or raw sends of its bytes, until the device has all of them.
int CommandLoop(Links& l, bool library, int count) {
  const std::uint16_t port = sim::InputPort(0);
  const std::size_t expected = l.Device->ReceivedCount(port) + std::size_t(count);
  const std::string command = SetFreqRequest(1000);
  const double total = Time([&] {
    for (int i = 0; i < count; ++i) {
      Check(library ? device::SetFreq(l.In, 1000) == 0 : l.RawIn.Send(command), "command");
    }
    AwaitDelivered(*l.Device, port, expected, std::chrono::seconds(60));
  });
  std::printf("%s-command: %d commands, %.2f us per command\n", library ? "lib" : "raw", count,
              count > 0 ? total / count : 0.0);
  return 0;
}

}  // namespace

int ProfileLoop(Links& l, const std::string& what, int count) {
  const bool library = what.rfind("lib-", 0) == 0;
  if (what == "lib-command" || what == "raw-command") return CommandLoop(l, library, count);
  const bool large = what.size() > 4 && what.substr(4) == "16m";
  if ((!library && what.rfind("raw-", 0) != 0) || (!large && what.substr(4) != "small")) {
    std::fprintf(stderr, "velmora-bench: --loop takes lib-small, raw-small, lib-16m, raw-16m, "
                         "lib-command or raw-command\n");
    return 1;
  }
  const std::int32_t bytes = large ? std::int32_t(16u << 20) : 16;
  std::vector<char> buffer(std::size_t(bytes), 'p');
  const std::string request = GetDataRequest(bytes);
  sim::SimulatedDevice& dev = *l.Device;
  dev.DiscardStore(0);
  if (!large) dev.FillStore(0, std::string(std::size_t(bytes) * std::size_t(count + 1), 's'));
  double total = 0;
  for (int i = 0; i < count; ++i) {
    if (large) dev.FillStore(0, std::string(std::size_t(bytes), 'b'));
    total += library ? LibraryRead(l.In, bytes, buffer.data()) : RawRead(l.RawIn, request);
  }
  std::printf("%s: %d calls, %.1f us per call (timed part only)\n", what.c_str(), count,
              count > 0 ? total / count : 0.0);
  return 0;
}

}  // namespace velmora::bench
