#include "sim/simulated_device.h"

#include <algorithm>

#include "sim/channels.h"
#include "sim/network.h"
#include "sim/protocol.h"

namespace velmora::sim {

// The device in three rooms. Declared in the order they depend on each
// other: the connections go first when the device is destroyed, so no
// reader thread is left to hand a frame to the protocol.
struct SimulatedDevice::Impl {
  explicit Impl(std::string address) : Net(std::move(address), Talk) {}

  ChannelBank Channels;
  Protocol Talk{Net, Channels};
  Network Net;
};

SimulatedDevice::SimulatedDevice(std::string address) : D(std::make_unique<Impl>(std::move(address))) {}

SimulatedDevice::~SimulatedDevice() { D->Net.Stop(); }

bool SimulatedDevice::Start() { return D->Net.Start(); }
void SimulatedDevice::Stop() { D->Net.Stop(); }
const std::string& SimulatedDevice::Address() const { return D->Net.Address(); }

// ---- what arrived

std::vector<std::string> SimulatedDevice::Received(std::uint16_t port) const {
  return D->Net.AtPort(port, std::vector<std::string>(),
                       [](const PortState& p) { return p.Chunks; });
}

std::vector<std::string> SimulatedDevice::ReceivedTags(std::uint16_t port) const {
  return D->Net.AtPort(port, std::vector<std::string>(), [](const PortState& p) {
    std::vector<std::string> tags;
    tags.reserve(p.Chunks.size());
    for (const auto& c : p.Chunks) tags.push_back(ChunkTag(c));
    return tags;
  });
}

std::size_t SimulatedDevice::ReceivedCount(std::uint16_t port) const {
  return D->Net.AtPort(port, std::size_t(0), [](const PortState& p) { return p.ChunkCount; });
}

bool SimulatedDevice::WaitForReceived(std::uint16_t port, std::size_t count, int timeoutMs) const {
  return D->Net.WaitAtPort(port, timeoutMs,
                           [&](const PortState& p) { return p.ChunkCount >= count; });
}

std::uint64_t SimulatedDevice::BytesReceived(std::uint16_t port) const {
  return D->Net.AtPort(port, std::uint64_t(0), [](const PortState& p) { return p.ByteCount; });
}

void SimulatedDevice::ClearReceived(std::uint16_t port) {
  D->Net.AtPort(port, [](PortState& p) {
    p.Chunks.clear();
    p.ChunkCount = 0;
    p.ByteCount = 0;
  });
}

void SimulatedDevice::SetRecording(bool on) {
  D->Net.Locked([&] { D->Net.Recording = on; });
}

std::size_t SimulatedDevice::Connections(std::uint16_t port) const {
  return D->Net.AtPort(port, std::size_t(0), [](const PortState& p) { return p.Accepted; });
}

bool SimulatedDevice::WaitForConnections(std::uint16_t port, std::size_t count,
                                         int timeoutMs) const {
  return D->Net.WaitAtPort(port, timeoutMs,
                           [&](const PortState& p) { return p.Accepted >= count; });
}

std::size_t SimulatedDevice::LiveConnections(std::uint16_t port) const {
  return D->Net.AtPort(port, std::size_t(0), [](const PortState& p) {
    return std::size_t(std::count_if(p.Live.begin(), p.Live.end(),
                                     [](const ConnectionPtr& c) { return !c->Closing; }));
  });
}

bool SimulatedDevice::WaitForPeerClosed(std::uint16_t port, int timeoutMs) const {
  return D->Net.WaitAtPort(port, timeoutMs,
                           [](const PortState& p) { return p.Latest && p.Latest->PeerClosed; });
}

// ---- device state

ChannelConfig SimulatedDevice::Config(int channel) const { return D->Channels.Config(channel); }
AcquisitionState SimulatedDevice::State(int channel) const { return D->Channels.State(channel); }
std::size_t SimulatedDevice::StoredBytes(int channel) const {
  return D->Channels.StoredBytes(channel);
}
std::size_t SimulatedDevice::FillStore(int channel, std::string bytes) {
  return D->Channels.Store(channel, std::move(bytes));
}
std::size_t SimulatedDevice::DiscardStore(int channel) { return D->Channels.DiscardStore(channel); }
void SimulatedDevice::SetManualClock(bool on) { D->Channels.SetManualClock(on); }
void SimulatedDevice::AdvanceClock(std::uint64_t microseconds) {
  D->Channels.AdvanceClock(microseconds);
}

// ---- fault injection

void SimulatedDevice::Script(std::uint16_t port, Reply reply) {
  D->Net.AtPort(port, [&](PortState& p) { p.Scripts.push_back(std::move(reply)); });
}

void SimulatedDevice::ClearScripts(std::uint16_t port) {
  D->Net.AtPort(port, [](PortState& p) { p.Scripts.clear(); });
}

std::size_t SimulatedDevice::PendingScripts(std::uint16_t port) const {
  return D->Net.AtPort(port, std::size_t(0), [](const PortState& p) { return p.Scripts.size(); });
}

void SimulatedDevice::SetShaping(std::uint16_t port, Shaping shaping) {
  D->Net.AtPort(port, [&](PortState& p) { p.Shape = shaping; });
}

void SimulatedDevice::SetSilent(std::uint16_t port, bool silent) {
  D->Net.AtPort(port, [&](PortState& p) { p.Silent = silent; });
}

void SimulatedDevice::SetReading(std::uint16_t port, bool reading) {
  D->Net.SetReading(port, reading);
}

void SimulatedDevice::DropNow(std::uint16_t port) { D->Net.DropAll(port); }

void SimulatedDevice::DropAfterNextRequest(std::uint16_t port) {
  D->Net.AtPort(port, [](PortState& p) { p.DropOnNextChunk = true; });
}

void SimulatedDevice::DropAfterReplyBytes(std::uint16_t port, std::size_t bytes) {
  D->Net.AtPort(port, [&](PortState& p) {
    p.DropAfterReply = (long long)std::min<std::uint64_t>(bytes, std::uint64_t(1) << 62);
  });
}

bool SimulatedDevice::SendNow(std::uint16_t port, std::string bytes) {
  return D->Net.AtPort(port, false, [&](PortState& p) {
    if (!p.Latest || p.Latest->Closing) return false;
    D->Net.Enqueue(*p.Latest,
                   OutItem{std::make_shared<const std::string>(std::move(bytes)), Shaping{}, -1});
    return true;
  });
}

}  // namespace velmora::sim
