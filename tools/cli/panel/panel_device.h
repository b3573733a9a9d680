// The device as the panel drives it. One worker thread owns the handles and
// makes every library call, so requests from the page run one at a time and
// never interleave on the wire; while an acquisition runs, the worker takes
// queued requests between two fetches. The page reads the latest samples
// and figures from a snapshot under a lock, without waiting for the worker.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../device.h"
#include "../device_options.h"
#include "../json_fwd.h"

namespace velmora::cli {

// What the panel sends with every start, after clamping to what the device
// takes; the page shows these.
struct PanelSettings {
  std::int32_t FrequencyHz = 1000;
  std::int32_t PacketBits = 16;
  std::int32_t BlockBytes = 256;
  int AZero = -1;                      // -1: never sent
  std::vector<int> Lines = std::vector<int>(32, -1);  // -1: never sent, else 0/1
  Json ToJson() const;
};

class PanelDevice {
 public:
  // Connects at once; a failure leaves the panel disconnected, not ended.
  explicit PanelDevice(DeviceOptions where);
  ~PanelDevice();
  PanelDevice(const PanelDevice&) = delete;
  PanelDevice& operator=(const PanelDevice&) = delete;

  // Each runs on the worker and answers {"ok": true, ...} or
  // {"ok": false, "error": {"result", "name", "meaning", "context"}}.
  Json Configure(const Json& wanted);
  Json Start(bool clear);
  Json Stop();
  Json Ping();
  Json Reconnect();
  Json ReadBlock(std::int64_t bytes, std::string& data);
  Json WriteBlock(const std::string& data);

  // Connection, settings, acquisition figures and the last result; no
  // device call.
  Json State();
  // The latest samples as `columns` min-max pairs, so that a peak narrower
  // than a pixel still shows, with the figures of State().
  Json Live(int columns);

  static constexpr std::int64_t MaxBlockBytes = std::int64_t(64) << 20;

 private:
  struct Acquisition;
  using Job = std::function<Json()>;

  Json Call(const char* what, Job job);
  void Work();
  void RunPending();
  void RunAcquisition();
  void Connect();
  void Disconnect();
  Json Failed(const Failure& f);
  void Note(std::int32_t result, const std::string& context);

  DeviceOptions Where;
  std::mutex M;  // guards everything below except the handles
  std::condition_variable Wake;
  std::deque<std::function<void()>> Jobs;
  bool Quit = false;
  bool Acquiring = false;
  bool Connected = false;
  PanelSettings Sent;
  std::int32_t LastResult = 0;
  std::string LastContext;
  std::string LastMessage;
  double LastFetchMs = -1;
  std::shared_ptr<Acquisition> Live_;  // the latest run; a new start replaces it

  // Touched by the worker only.
  std::unique_ptr<Device> In, Out;
  std::thread Worker;
};

}  // namespace velmora::cli
