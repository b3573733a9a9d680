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

#include "device/device.h"
#include "options/device_options.h"
#include "output/json_fwd.h"
#include "panel_recorder.h"

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
  // Recordings go into `recordFolder`; empty: none.
  explicit PanelDevice(DeviceOptions where, std::string recordFolder = "");
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
  // Starts recording the running acquisition into a new file ("h5" or
  // "raw"), or ends the recording; the answer holds the recorder's status.
  Json RecordStart(const std::string& format);
  Json RecordStop();

  // Connection, settings, acquisition figures and the last result; no
  // device call.
  Json State();
  // The latest `span` samples (0: two seconds' worth) as `columns` min-max
  // pairs, so that a peak narrower than a pixel still shows, with the
  // figures of State(); no samples with 0 columns.
  Json Live(int columns, std::uint64_t span);
  // A copy of the samples kept now, so that a view can hold still and be
  // zoomed while the acquisition goes on: {"frozen": {"id", "from", "to",
  // ...}}. The latest KeptFrozen copies stay; an older id is then gone.
  Json Freeze();
  // The samples [from, to) of a frozen copy as `columns` min-max pairs.
  Json View(int id, std::uint64_t from, std::uint64_t to, int columns);

  static constexpr std::size_t KeptFrozen = 2;
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
  // Ends a recording, if one is going, with how the run ended.
  void EndRecording(const std::string& ended);

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
  struct Frozen;
  std::deque<std::shared_ptr<const Frozen>> Frozens;  // newest last
  int LastFrozenId = 0;
  PanelRecorder Recorder;  // its own lock; written on the worker

  // Touched by the worker only.
  std::unique_ptr<Device> In, Out;
  std::thread Worker;
};

}  // namespace velmora::cli
