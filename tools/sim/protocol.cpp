#include "sim/protocol.h"

#include <algorithm>

namespace velmora::sim {

using diff::TDIFFChunk;
namespace tag = wire::tag;
namespace header = wire::header;

std::string MakeChunk(std::string_view tag, const HeaderList& headers, std::string_view payload) {
  return diff::SerializeChunk(tag, headers, std::string(payload));
}

std::string ChunkTag(std::string_view chunkBytes) {
  if (chunkBytes.size() < 4) return std::string();
  return diff::UnpackTag(diff::ReadU32(chunkBytes.data())).Tag;
}

std::string U64ToBytes(std::uint64_t value) {
  std::string bytes(8, '\0');
  for (int i = 0; i < 8; ++i) bytes[i] = char((value >> (8 * i)) & 0xFF);
  return bytes;
}

std::uint64_t BytesToU64(std::string_view bytes) {
  std::uint64_t value = 0;
  const std::size_t n = std::min<std::size_t>(bytes.size(), 8);
  for (std::size_t i = 0; i < n; ++i) value |= std::uint64_t(std::uint8_t(bytes[i])) << (8 * i);
  return value;
}

namespace {

std::string NoWork(std::int32_t status) {
  return diff::SerializeChunk(tag::NoWork, {{std::string(header::Status), diff::IntToBytes(status)}});
}

std::string IoError() { return diff::SerializeChunk(tag::IoError); }

Bytes Shared(std::string bytes) { return std::make_shared<const std::string>(std::move(bytes)); }

// A protocol reply shaped as the port says. With the lock held.
OutItem ProtocolItem(PortState& p, Bytes reply) {
  OutItem item{std::move(reply), p.Shape, p.DropAfterReply};
  p.DropAfterReply = -1;
  return item;
}

}  // namespace

bool Protocol::OnFrame(const ConnectionPtr& c, std::string_view frame) {
  PortState& p = Net.Port(c->PortIndex);
  bool drop;
  bool silent;
  bool record;
  Net.Locked([&] {
    drop = p.DropOnNextChunk;
    p.DropOnNextChunk = false;
    silent = p.Silent;
    record = Net.Recording;
  });
  std::optional<OutItem> reply;
  if (!drop && !silent) {
    std::unique_ptr<TDIFFChunk> chunk;
    try {
      chunk = TDIFFChunk::MakeFromString(frame);
    } catch (const diff::EDIFFError&) {
      chunk.reset();
    }
    if (chunk) {
      reply = Dispatch(*c, std::move(chunk));
    } else {
      reply = Net.Locked([&] { return ProtocolItem(p, Shared(IoError())); });
    }
  }
  std::string copy;
  if (record) copy.assign(frame.data(), frame.size());
  Net.Locked([&] {
    ++p.ChunkCount;
    if (record) p.Chunks.push_back(std::move(copy));
    if (reply) Net.Enqueue(*c, std::move(*reply));
    Net.NotifyChanged();
  });
  if (drop) {
    Net.Drop(*c);
    return false;
  }
  return true;
}

std::optional<OutItem> Protocol::Dispatch(Connection& c, std::unique_ptr<TDIFFChunk> chunk) {
  const int channel = c.PortIndex & 0x0F;
  const std::string& t = chunk->Tag;
  if (t == tag::SetFrequency || t == tag::SetPacketBits || t == tag::SetBlockSize ||
      t == tag::SetLine || t == tag::Go || t == tag::GoClear || t == tag::Clear) {
    Command(channel, *chunk);
    return std::nullopt;
  }
  const bool retry = t == tag::Retry;
  if (!retry && t != tag::GetAllPackets && t != tag::GetLatestPacket && t != tag::GetData &&
      t != tag::PutData) {
    return std::nullopt;  // not a request of this device: ignored, as a device ignores noise
  }

  PortState& p = Net.Port(c.PortIndex);
  std::optional<OutItem> scripted = Net.Locked([&] { return TakeScript(p); });
  if (scripted) {
    if (!retry) {
      c.Unanswered = std::move(chunk);
      c.LastReply.reset();
    }
    return scripted;
  }

  Bytes reply;
  if (!retry) {
    reply = Shared(Answer(channel, *chunk));
    c.Unanswered.reset();
    c.LastReply = reply;
  } else if (c.LastReply) {
    reply = c.LastReply;
  } else if (c.Unanswered) {
    // The outstanding request was answered by a script; the device acts
    // on it now, once.
    reply = Shared(Answer(channel, *c.Unanswered));
    c.Unanswered.reset();
    c.LastReply = reply;
  } else {
    reply = Shared(NoWork(wire::status::NoRequest));
  }
  return Net.Locked([&] { return ProtocolItem(p, std::move(reply)); });
}

std::optional<OutItem> Protocol::TakeScript(PortState& p) {
  if (p.Scripts.empty()) return std::nullopt;
  Reply script = std::move(p.Scripts.front());
  p.Scripts.pop_front();
  OutItem item{Shared(std::move(script.Bytes)),
               Shaping{script.PieceSize, script.PauseMs, script.DelayMs}, script.DropAfterBytes};
  if (p.DropAfterReply >= 0) {
    item.DropAfter =
        item.DropAfter < 0 ? p.DropAfterReply : std::min(item.DropAfter, p.DropAfterReply);
    p.DropAfterReply = -1;
  }
  return item;
}

void Protocol::Command(int channel, TDIFFChunk& chunk) {
  const std::string& t = chunk.Tag;
  if (t == tag::SetFrequency || t == tag::SetPacketBits || t == tag::SetBlockSize) {
    const std::string_view name = t == tag::SetFrequency    ? header::Hz
                                  : t == tag::SetPacketBits ? header::Bits
                                                            : header::Bytes;
    const diff::THeaderEntry* h = chunk.FindHeader(name);
    if (h == nullptr) return;  // nothing to set
    const std::int32_t value = diff::BytesToInt(h->Value);
    Channels.Configure(channel, [&](ChannelConfig& config) {
      if (t == tag::SetFrequency) config.FrequencyHz = value;
      else if (t == tag::SetPacketBits) config.PacketBits = value;
      else config.BlockBytes = value;
    });
  } else if (t == tag::SetLine) {
    Channels.Configure(channel, [&](ChannelConfig& config) {
      for (const auto& h : chunk.Headers) {
        if (h.Name.size() != 1 || std::uint8_t(h.Name[0]) >= 32) continue;
        const std::uint32_t bit = 1u << std::uint8_t(h.Name[0]);
        if (diff::BytesToInt(h.Value) != 0) config.Lines |= bit;
        else config.Lines &= ~bit;
      }
    });
  } else if (t == tag::Go) {
    Channels.Go(channel, false);
  } else if (t == tag::GoClear) {
    Channels.Go(channel, true);
  } else if (t == tag::Clear) {
    Channels.Clear(channel);
  }
}

std::string Protocol::Answer(int channel, TDIFFChunk& request) {
  const std::string& t = request.Tag;
  if (t == tag::GetAllPackets || t == tag::GetLatestPacket) {
    return Packets(channel, t == tag::GetLatestPacket);
  }
  if (t == tag::PutData) {
    const std::size_t taken = Channels.Store(channel, std::move(request.Payload));
    return diff::SerializeChunk(tag::WriteAccepted,
                                {{std::string(header::Bytes), diff::IntToBytes(std::int32_t(taken))}});
  }
  // GetData
  const diff::THeaderEntry* len = request.FindHeader(header::Length);
  const std::int32_t wanted = len != nullptr ? diff::BytesToInt(len->Value) : 0;
  if (wanted <= 0) return IoError();
  std::optional<std::string> data = Channels.Take(channel, std::size_t(wanted));
  if (!data) return NoWork(wire::status::StoreEmpty);
  return diff::SerializeChunk(tag::Data, {}, std::move(*data));
}

std::string Protocol::Packets(int channel, bool latestOnly) {
  PacketFetch fetch = Channels.FetchPackets(channel, latestOnly);
  switch (fetch.Result) {
    case PacketFetch::Outcome::NotStarted: return NoWork(wire::status::NotStarted);
    case PacketFetch::Outcome::NothingNew: return NoWork(wire::status::NothingNew);
    case PacketFetch::Outcome::Fault: return IoError();
    case PacketFetch::Outcome::Data: break;
  }
  return diff::SerializeChunk(tag::Data,
                              {{std::string(header::Time), U64ToBytes(fetch.TimeUs)},
                               {std::string(header::Packet), U64ToBytes(fetch.First)}},
                              std::move(fetch.Payload));
}

}  // namespace velmora::sim
