// The simulated device's protocol: what it does with each frame that
// arrives (record it, act on a command, answer a request or play a scripted
// reply, resend for "RETRY") and the replies it builds.
#pragma once

#include <memory>
#include <optional>
#include <string_view>

#include "sim/channels.h"
#include "sim/network.h"

namespace velmora::sim {

class Protocol final : public FrameHandler {
 public:
  // Both must outlive this object; `net` is not used before its first frame.
  Protocol(Network& net, ChannelBank& channels) : Net(net), Channels(channels) {}

  // The frame is counted and recorded after the device has acted on it and
  // before its reply is queued, so whoever has seen the reply or the count
  // also sees the effect (a setting changed, data stored).
  bool OnFrame(const ConnectionPtr& c, std::string_view frame) override;

 private:
  // Acts on one request; returns the reply to queue, if any.
  std::optional<OutItem> Dispatch(Connection& c, std::unique_ptr<diff::TDIFFChunk> chunk);
  std::optional<OutItem> TakeScript(PortState& p);  // with the lock held
  void Command(int channel, diff::TDIFFChunk& chunk);
  std::string Answer(int channel, diff::TDIFFChunk& request);
  std::string Packets(int channel, bool latestOnly);

  Network& Net;
  ChannelBank& Channels;
};

}  // namespace velmora::sim
