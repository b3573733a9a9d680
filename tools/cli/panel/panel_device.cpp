#include "panel_device.h"

#include <algorithm>
#include <chrono>
#include <future>
#include <utility>

#include "acquisition/acquisition.h"
#include "output/json.h"
#include "recordings/recording.h"
#include "acquisition/samples.h"
#include "output/terminal.h"
#include "sample_ring.h"

namespace velmora::cli {

namespace {

// How many of the latest samples the plot can draw from: ten seconds'
// worth, within this bound (16 bytes each).
constexpr std::size_t KeptSamples = std::size_t(1) << 20;
constexpr std::size_t KeptSeconds = 10;

// Results after which the connection is gone until reconnected.
bool LinkLost(std::int32_t result) {
  return result == NDX_ERROR_NOT_CONNECTED || result == NDX_ERROR_NO_NET_OR_BAD_PATH ||
         result == NDX_ERROR_BAD_UNIT;
}

// A JSON number as an integer from lowest to highest: beyond either end,
// however far, it is that end; a fraction is cut.
std::int64_t Clamped(const Json& v, std::int64_t lowest, std::int64_t highest) {
  if (v.is_number_unsigned()) {
    const std::uint64_t u = v.get<std::uint64_t>();
    return u > static_cast<std::uint64_t>(highest) ? highest : std::max(lowest, static_cast<std::int64_t>(u));
  }
  if (v.is_number_integer()) return std::clamp(v.get<std::int64_t>(), lowest, highest);
  const double d = v.get<double>();
  if (!(d > static_cast<double>(lowest))) return lowest;
  if (!(d < static_cast<double>(highest))) return highest;
  return static_cast<std::int64_t>(d);
}

// "0" to "31", written plainly; -1 for any other name of a line.
int LineIndex(const std::string& key) {
  if (key.empty() || key.size() > 2 || key.find_first_not_of("0123456789") != std::string::npos) return -1;
  if (key.size() == 2 && key[0] == '0') return -1;
  const int line = std::stoi(key);
  return line <= 31 ? line : -1;
}

Json ResultJson(std::int32_t result) {
  return {{"result", result}, {"name", NDX_ResultName(result)}, {"meaning", NDX_ResultText(result)}};
}

}  // namespace

namespace {

// The settings of a run the panel started, as the acquisition loop and the
// recording's description take them.
AcquireSettings RunSettings(const PanelSettings& s) {
  AcquireSettings a;
  a.Attach = true;  // started and stopped by the panel's own requests
  a.Format.FrequencyHz = s.FrequencyHz;
  a.Format.SampleBytes = SampleBytesFor(s.PacketBits);
  a.Format.BlockBytes = s.BlockBytes;
  a.PacketBits = s.PacketBits;
  a.AZero = s.AZero;
  for (std::size_t line = 0; line < s.Lines.size(); ++line)
    if (s.Lines[line] >= 0) a.Lines.push_back({static_cast<std::uint32_t>(line), s.Lines[line] != 0});
  return a;
}

}  // namespace

Json PanelSettings::ToJson() const {
  Json lines = Json::array();
  for (int v : Lines) lines.push_back(v < 0 ? Json(nullptr) : Json(v != 0));
  return {{"frequency_hz", FrequencyHz}, {"packet_bits", PacketBits}, {"block_bytes", BlockBytes},
          {"azero", AZero < 0 ? Json(nullptr) : Json(AZero != 0)}, {"lines", lines}};
}

// The running acquisition's samples and figures, written by the worker's
// listener and read by the page's requests, both under PanelDevice::M.
struct PanelDevice::Acquisition : AcquireListener {
  Acquisition(std::mutex& m, const PanelSettings& s)
      : M(m), Settings(s), FrequencyHz(s.FrequencyHz), SampleBytes(SampleBytesFor(s.PacketBits)),
        Decoder(SampleBytes, [this](std::uint64_t index, std::uint64_t value) { Fresh.push_back({index, value}); }),
        Ring(std::min<std::size_t>(KeptSamples, std::max<std::size_t>(64, std::size_t(FrequencyHz) * KeptSeconds))) {}

  void Reply(std::uint64_t, std::uint64_t, std::uint64_t offset, const unsigned char* data,
             std::size_t length) override {
    const double now = NowSeconds();
    Fresh.clear();
    Decoder.Feed(offset, data, length);
    std::lock_guard<std::mutex> lock(M);
    FetchMs = (now - FetchStart) * 1000;
    if (!Fresh.empty() && Ring.Empty()) Origin = Fresh.front().first;
    for (const auto& s : Fresh) Ring.Add(s.first, s.second);
    Measure(now);
  }

  // Rates over the last half second or more.
  void Measure(double now) {
    if (MarkTime == 0) MarkTime = now, MarkBytes = Stats.Bytes, MarkPackets = Stats.Packets;
    if (now - MarkTime < 0.5) return;
    BytesPerSecond = (Stats.Bytes - MarkBytes) / (now - MarkTime);
    PacketsPerSecond = (Stats.Packets - MarkPackets) / (now - MarkTime);
    MarkTime = now, MarkBytes = Stats.Bytes, MarkPackets = Stats.Packets;
  }

  Json Figures() const {
    return {{"bytes", Stats.Bytes}, {"packets", Stats.Packets}, {"lost_samples", Stats.LostSamples},
            {"gaps", Stats.GapCount}, {"bytes_per_s", BytesPerSecond},
            {"samples_per_s", BytesPerSecond / SampleBytes}, {"packets_per_s", PacketsPerSecond},
            {"last_sample", Ring.Empty() ? Json(nullptr) : Json(Ring.NewestIndex())}};
  }

  // What the page needs to label a plot of this run: time is counted from
  // the run's first sample.
  Json Format() const {
    return {{"frequency_hz", FrequencyHz}, {"sample_bytes", SampleBytes}, {"packet_bits", Settings.PacketBits},
            {"origin", Origin}, {"history", Ring.Capacity()}};
  }

  std::mutex& M;
  const PanelSettings Settings;
  const std::int32_t FrequencyHz;
  const int SampleBytes;
  SampleDecoder Decoder;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> Fresh;  // worker only
  SampleRing Ring;
  std::uint64_t Origin = 0;
  AcquireStats Stats;  // written by the acquisition loop on the worker
  double FetchStart = 0, FetchMs = -1;
  double MarkTime = 0, BytesPerSecond = 0, PacketsPerSecond = 0;
  std::uint64_t MarkBytes = 0, MarkPackets = 0;
};

// A copy of a run's samples that holds still for the page.
struct PanelDevice::Frozen {
  int Id;
  SampleRing Ring;
  Json Format;
};

PanelDevice::PanelDevice(DeviceOptions where, std::string recordFolder)
    : Where(std::move(where)), Recorder(std::move(recordFolder)) {
  Worker = std::thread([this] { Work(); });
  Reconnect();
}

PanelDevice::~PanelDevice() {
  {
    std::lock_guard<std::mutex> lock(M);
    Quit = true;
  }
  Wake.notify_all();
  Worker.join();
}

void PanelDevice::Work() {
  for (;;) {
    std::unique_lock<std::mutex> lock(M);
    Wake.wait(lock, [this] { return Quit || !Jobs.empty() || Acquiring; });
    if (Quit) break;
    if (!Jobs.empty()) {
      auto job = std::move(Jobs.front());
      Jobs.pop_front();
      lock.unlock();
      job();
      continue;
    }
    lock.unlock();
    RunAcquisition();
  }
  Disconnect();
}

void PanelDevice::RunPending() {
  for (;;) {
    std::unique_lock<std::mutex> lock(M);
    if (Jobs.empty()) return;
    auto job = std::move(Jobs.front());
    Jobs.pop_front();
    lock.unlock();
    job();
  }
}

Json PanelDevice::Call(const char* what, Job job) {
  auto task = std::make_shared<std::packaged_task<Json()>>([this, what, job = std::move(job)] {
    try {
      Json answer = job();
      Note(0, what);
      answer["ok"] = true;
      return answer;
    } catch (const Failure& f) {
      return Failed(f);
    } catch (const std::exception& e) {
      return Failed(Failure(std::string(what) + ": " + e.what()));
    }
  });
  std::future<Json> answer = task->get_future();
  {
    std::lock_guard<std::mutex> lock(M);
    if (Quit) return {{"ok", false}, {"error", {{"message", "the panel is stopping"}}}};
    Jobs.push_back([task] { (*task)(); });
  }
  Wake.notify_all();
  return answer.get();
}

void PanelDevice::Note(std::int32_t result, const std::string& context) {
  std::lock_guard<std::mutex> lock(M);
  LastResult = result;
  LastContext = context;
}

Json PanelDevice::Failed(const Failure& f) {
  Json error = {{"context", f.Context}, {"message", f.what()}};
  if (f.Result >= 0) {
    error.update(ResultJson(f.Result));
    Note(f.Result, f.Context);
    if (LinkLost(f.Result)) Disconnect();
  }
  {
    std::lock_guard<std::mutex> lock(M);
    LastMessage = f.what();
  }
  return {{"ok", false}, {"error", error}};
}

void PanelDevice::Connect() {
  if (!In) In = std::make_unique<Device>(Where, true);
  std::lock_guard<std::mutex> lock(M);
  Connected = true;
}

void PanelDevice::Disconnect() {
  {
    std::lock_guard<std::mutex> lock(M);
    Connected = false;
    Acquiring = false;
  }
  // A dropped link makes Close report nothing useful; the handles go either way.
  In.reset();
  Out.reset();
}

Json PanelDevice::Reconnect() {
  return Call("connect", [this] {
    Disconnect();
    Connect();
    return Json{{"device", ToNlohmann(In->ToJson())}};
  });
}

Json PanelDevice::Configure(const Json& wanted) {
  return Call("settings", [this, wanted] {
    if (!In) throw Failure("connect", NDX_ERROR_NOT_CONNECTED);
    const NDX_HANDLE h = In->Handle();
    PanelSettings s;
    {
      std::lock_guard<std::mutex> lock(M);
      s = Sent;
    }
    // Every line named must exist before anything is sent.
    const bool lines = wanted.contains("lines") && wanted["lines"].is_object();
    if (lines)
      for (const auto& [key, value] : wanted["lines"].items())
        if (value.is_boolean() && LineIndex(key) < 0) throw Failure("NDX_SetMDIO1", NDX_ERROR_INVALID_INDEX);
    auto number = [&](const char* key, std::int64_t lowest, std::int64_t highest, std::int32_t& into) {
      if (!wanted.contains(key) || !wanted[key].is_number()) return false;
      into = static_cast<std::int32_t>(Clamped(wanted[key], lowest, highest));
      return true;
    };
    if (number("frequency_hz", 1, wire::MaxFrequencyHz, s.FrequencyHz)) Check(NDX_SetFreq(h, s.FrequencyHz), "NDX_SetFreq");
    if (number("packet_bits", 1, wire::MaxPacketBits, s.PacketBits)) Check(NDX_SetPacketBits(h, s.PacketBits), "NDX_SetPacketBits");
    if (number("block_bytes", 1, wire::MaxBlockBytes, s.BlockBytes)) Check(NDX_SetBlockSize(h, s.BlockBytes), "NDX_SetBlockSize");
    if (wanted.contains("azero") && wanted["azero"].is_boolean()) {
      s.AZero = wanted["azero"].get<bool>() ? 1 : 0;
      Check(NDX_SetAZero(h, s.AZero), "NDX_SetAZero");
      s.Lines[0] = s.AZero;  // line 0 is the auto-zero switch
    }
    if (lines) {
      for (const auto& [key, value] : wanted["lines"].items()) {
        if (!value.is_boolean()) continue;
        const int line = LineIndex(key);
        s.Lines[line] = value.get<bool>() ? 1 : 0;
        Check(NDX_SetMDIO1(h, static_cast<std::uint32_t>(line), s.Lines[line]), "NDX_SetMDIO1");
        if (line == 0) s.AZero = s.Lines[0];
      }
    }
    std::lock_guard<std::mutex> lock(M);
    Sent = s;
    return Json{{"sent", s.ToJson()}};
  });
}

Json PanelDevice::Start(bool clear) {
  return Call(clear ? "start cleared" : "start", [this, clear] {
    if (!In) throw Failure("connect", NDX_ERROR_NOT_CONNECTED);
    const NDX_HANDLE h = In->Handle();
    PanelSettings s;
    {
      std::lock_guard<std::mutex> lock(M);
      s = Sent;
    }
    // The format the samples are decoded with is the one the device gets.
    Check(NDX_SetFreq(h, s.FrequencyHz), "NDX_SetFreq");
    Check(NDX_SetPacketBits(h, s.PacketBits), "NDX_SetPacketBits");
    Check(NDX_SetBlockSize(h, s.BlockBytes), "NDX_SetBlockSize");
    Check(clear ? NDX_GoClear(h) : NDX_Go(h), clear ? "NDX_GoClear" : "NDX_Go");
    std::lock_guard<std::mutex> lock(M);
    Live_ = std::make_shared<Acquisition>(M, s);
    Acquiring = true;
    return Json{{"sent", s.ToJson()}, {"request", clear ? wire::tag::GoClear : wire::tag::Go}};
  });
}

Json PanelDevice::Stop() {
  return Call("stop", [this] {
    {
      std::lock_guard<std::mutex> lock(M);
      Acquiring = false;
    }
    if (!In) throw Failure("connect", NDX_ERROR_NOT_CONNECTED);
    Check(NDX_Clear(In->Handle()), "NDX_Clear");
    return Json{{"request", wire::tag::Clear}};
  });
}

void PanelDevice::RunAcquisition() {
  std::shared_ptr<Acquisition> live;
  {
    std::lock_guard<std::mutex> lock(M);
    live = Live_;
  }
  if (!live || !In) {
    std::lock_guard<std::mutex> lock(M);
    Acquiring = false;
    return;
  }
  AcquireSettings a = RunSettings(live->Settings);
  a.Between = [this, live] {
    RunPending();
    std::lock_guard<std::mutex> lock(M);
    live->FetchStart = NowSeconds();
    // A start while running begins a new run, perhaps in another format.
    return !Acquiring || Quit || Live_ != live;
  };
  ProgressLine quiet(false);
  AcquireStats stats;
  try {
    // Stats are copied into the shared figures at every reply.
    struct Forward : AcquireListener {
      Acquisition& To;
      AcquireStats& From;
      std::mutex& M;
      PanelRecorder& Recorder;
      Forward(Acquisition& to, AcquireStats& from, std::mutex& m, PanelRecorder& r)
          : To(to), From(from), M(m), Recorder(r) {}
      void Reply(std::uint64_t t, std::uint64_t p, std::uint64_t o, const unsigned char* d, std::size_t n) override {
        {
          std::lock_guard<std::mutex> lock(M);
          To.Stats = From;
        }
        To.Reply(t, p, o, d, n);
        Recorder.Reply(t, p, o, d, n);
      }
      void Lost(const LossGap& gap) override {
        {
          std::lock_guard<std::mutex> lock(M);
          To.Stats = From;
        }
        Recorder.Lost(gap);
      }
    } forward(*live, stats, M, Recorder);
    Acquire(In->Handle(), a, forward, quiet, stats);
    bool quitting;
    {
      std::lock_guard<std::mutex> lock(M);
      quitting = Quit;
    }
    EndRecording(quitting ? "interrupted" : "complete");
  } catch (const Failure& f) {
    Failed(f);
    EndRecording(std::string("failed: ") + f.what());
  }
  std::lock_guard<std::mutex> lock(M);
  live->Stats = stats;
  if (Live_ == live) Acquiring = false;
}

Json PanelDevice::Ping() {
  return Call("ping", [this] {
    if (!In) throw Failure("connect", NDX_ERROR_NOT_CONNECTED);
    {
      // A packet request would take packets from the running acquisition;
      // its own fetches are timed instead.
      std::lock_guard<std::mutex> lock(M);
      if (Acquiring && Live_) return Json{{"rtt_ms", Live_->FetchMs}, {"request", "RREQA, the acquisition's own"}};
    }
    unsigned char time[16], data[1];
    std::int32_t timeCount = sizeof time, dataCount = sizeof data;
    const double start = NowSeconds();
    const std::int32_t r = NDX_GetLatestPacketAndDiscard(In->Handle(), &timeCount, time, &dataCount, data);
    const double ms = (NowSeconds() - start) * 1000;
    // Any answer is a round trip, "NOWRK" and "IOERR" included.
    if (r != 0 && r != NDX_ERROR_BAD_NET_RESP && r != NDX_ERROR_BAD_DEV_TYPE) Check(r, "NDX_GetLatestPacketAndDiscard");
    return Json{{"rtt_ms", ms}, {"request", wire::tag::GetLatestPacket}};
  });
}

Json PanelDevice::ReadBlock(std::int64_t bytes, std::string& data) {
  return Call("read", [this, bytes, &data] {
    if (!In) throw Failure("connect", NDX_ERROR_NOT_CONNECTED);
    data.assign(static_cast<std::size_t>(std::clamp<std::int64_t>(bytes, 1, MaxBlockBytes)), '\0');
    std::int32_t count = static_cast<std::int32_t>(data.size());
    Check(NDX_GetData(In->Handle(), &count, data.data()), "NDX_GetData");
    data.resize(static_cast<std::size_t>(count));
    return Json{{"bytes", count}};
  });
}

Json PanelDevice::WriteBlock(const std::string& data) {
  return Call("write", [this, &data] {
    if (!In) throw Failure("connect", NDX_ERROR_NOT_CONNECTED);
    if (data.empty()) throw Failure("NDX_PutData", NDX_ERROR_BAD_LENGTH);
    if (!Out) Out = std::make_unique<Device>(Where, false);
    std::int32_t count = static_cast<std::int32_t>(data.size());
    Check(NDX_PutData(Out->Handle(), &count, data.data()), "NDX_PutData");
    return Json{{"sent", data.size()}, {"bytes", count}};
  });
}

Json PanelDevice::State() {
  std::lock_guard<std::mutex> lock(M);
  Json state = {{"connected", Connected},
                {"device", {{"host", Where.Host}, {"channel", Where.Channel}, {"port", wire::DevicePort(true, Where.Channel)}}},
                {"acquiring", Acquiring},
                {"settings", Sent.ToJson()},
                {"last", ResultJson(LastResult)}};
  state["last"]["context"] = LastContext;
  if (!LastMessage.empty()) state["last_failure"] = LastMessage;
  if (Live_) state["acquisition"] = Live_->Figures();
  state["recording"] = Recorder.Status();
  state["server_ms"] = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
  return state;
}

Json PanelDevice::Live(int columns, std::uint64_t span) {
  Json state = State();
  std::lock_guard<std::mutex> lock(M);
  if (Live_ && columns > 0) {
    const SampleRing& ring = Live_->Ring;
    if (span == 0) span = std::uint64_t(2) * static_cast<std::uint64_t>(Live_->FrequencyHz);
    span = std::clamp<std::uint64_t>(span, 16, ring.Capacity());
    const std::uint64_t to = ring.Empty() ? Live_->Origin : ring.NewestIndex() + 1;
    // Until the run has filled the window, the plot starts at its start.
    const std::uint64_t from = std::max(Live_->Origin, to > span ? to - span : 0);
    state["plot"] = ring.Columns(from, to, columns);
    state["plot"].update(Live_->Format());
    state["plot"].update({{"from", from}, {"to", to}});
  }
  return state;
}

Json PanelDevice::Freeze() {
  std::lock_guard<std::mutex> lock(M);
  if (!Live_ || Live_->Ring.Empty())
    return {{"ok", false}, {"error", {{"message", "freeze: no samples yet"}}}};
  auto frozen = std::make_shared<Frozen>(Frozen{++LastFrozenId, Live_->Ring, Live_->Format()});
  Frozens.push_back(frozen);
  while (Frozens.size() > KeptFrozen) Frozens.pop_front();
  Json answer = frozen->Format;
  answer.update({{"id", frozen->Id}, {"from", frozen->Ring.OldestIndex()}, {"to", frozen->Ring.NewestIndex() + 1}});
  return {{"ok", true}, {"frozen", answer}};
}

Json PanelDevice::View(int id, std::uint64_t from, std::uint64_t to, int columns) {
  std::shared_ptr<const Frozen> frozen;
  {
    std::lock_guard<std::mutex> lock(M);
    for (const auto& f : Frozens)
      if (f->Id == id) frozen = f;
  }
  if (!frozen) return {{"ok", false}, {"error", {{"message", "view: that frozen copy is gone; freeze again"}}}};
  // Drawn outside the lock: the copy never changes, and the acquisition
  // must not wait for a wide view.
  Json plot = frozen->Ring.Columns(from, to, columns);
  plot.update(frozen->Format);
  plot.update({{"from", from}, {"to", to}});
  return {{"ok", true}, {"plot", plot}};
}

void PanelDevice::EndRecording(const std::string& ended) {
  try {
    Recorder.End(ended);
  } catch (const Failure& f) {
    std::lock_guard<std::mutex> lock(M);
    LastMessage = f.what();
  }
}

Json PanelDevice::RecordStart(const std::string& format) {
  return Call("record", [this, format] {
    std::shared_ptr<Acquisition> live;
    std::uint64_t next = 0;
    {
      std::lock_guard<std::mutex> lock(M);
      if (Acquiring) live = Live_;
      if (live) next = live->Ring.Empty() ? live->Origin : live->Ring.NewestIndex() + 1;
    }
    if (!live) throw Failure("record: start an acquisition first");
    Recorder.Begin(DescribeRun(Where.Host, Where.Channel, RunSettings(live->Settings)), format, next);
    return Json{{"recording", Recorder.Status()}};
  });
}

Json PanelDevice::RecordStop() {
  return Call("stop recording", [this] {
    Recorder.End("complete");
    return Json{{"recording", Recorder.Status()}};
  });
}

}  // namespace velmora::cli
