#include "sim/foreground.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

#include "sim/simulated_device.h"

namespace velmora::sim {
namespace {

std::atomic<bool> StopRequested{false};

extern "C" void OnStopSignal(int) { StopRequested.store(true); }

// SIGUSR1 only raises this flag: closing sockets and joining threads is for
// the main loop, not for a signal handler.
std::atomic<bool> DropRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "a signal handler may only touch lock-free atomics");

#ifdef SIGUSR1
extern "C" void OnDropSignal(int) { DropRequested.store(true); }
#endif

struct Traffic {
  std::size_t Connections = 0;
  std::size_t Chunks = 0;
  std::uint64_t Bytes = 0;
};

Traffic Measure(const SimulatedDevice& device) {
  Traffic t;
  for (int i = 0; i < PortCount; ++i) {
    const auto port = std::uint16_t(FirstPort + i);
    t.Connections += device.Connections(port);
    t.Chunks += device.ReceivedCount(port);
    t.Bytes += device.BytesReceived(port);
  }
  return t;
}

}  // namespace

int RunInForeground(const ForegroundOptions& options, std::FILE* out) {
  SimulatedDevice device(options.Address);
  device.SetRecording(false);  // a long run must not keep every chunk
  if (!device.Start()) {
    std::fprintf(out, "cannot listen on %s ports 0xED00-0xED1F (address in use or not local?)\n",
                 options.Address.c_str());
    std::fflush(out);
    return 1;
  }
  StopRequested.store(false);
  auto previousInt = std::signal(SIGINT, OnStopSignal);
  auto previousTerm = std::signal(SIGTERM, OnStopSignal);
  DropRequested.store(false);
#ifdef SIGUSR1
  auto previousUsr1 = std::signal(SIGUSR1, OnDropSignal);
#endif
  std::fprintf(out, "listening on %s ports 0xED00-0xED1F\n", options.Address.c_str());
  std::fflush(out);

  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  auto nextReport = start + std::chrono::seconds(1);
  Traffic last;
  while (!StopRequested.load()) {
    const auto now = Clock::now();
    if (options.Seconds > 0 && now - start >= std::chrono::duration<double>(options.Seconds)) break;
    if (DropRequested.exchange(false)) {
      // A link cut by the device itself: every connection ends, the ports
      // keep listening and each channel keeps its settings.
      std::size_t open = 0;
      for (int i = 0; i < PortCount; ++i) {
        open += device.LiveConnections(std::uint16_t(FirstPort + i));
        device.DropNow(std::uint16_t(FirstPort + i));
      }
      std::fprintf(out, "dropped %zu open connections\n", open);
      std::fflush(out);
    }
    if (!options.Quiet && now >= nextReport) {
      const Traffic t = Measure(device);
      if (t.Connections != last.Connections || t.Chunks != last.Chunks) {
        std::fprintf(out, "%zu connections, %zu chunks, %llu bytes received\n", t.Connections,
                     t.Chunks, static_cast<unsigned long long>(t.Bytes));
        std::fflush(out);
      }
      last = t;
      nextReport += std::chrono::seconds(1);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const Traffic t = Measure(device);
  device.Stop();
  std::signal(SIGINT, previousInt);
  std::signal(SIGTERM, previousTerm);
#ifdef SIGUSR1
  std::signal(SIGUSR1, previousUsr1);
#endif
  std::fprintf(out, "stopped: %zu connections, %zu chunks, %llu bytes received\n", t.Connections,
               t.Chunks, static_cast<unsigned long long>(t.Bytes));
  std::fflush(out);
  return 0;
}

}  // namespace velmora::sim
