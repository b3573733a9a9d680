#include "sim/simulated_device.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

#include "diff/diff_chunk.h"
#include "platform/platform.h"

namespace velmora::sim {

namespace platform = velmora::platform;
using diff::TDIFFChunk;

// ------------------------------------------------------------- helpers

std::string MakeChunk(std::string_view tag, const HeaderList& headers, std::string_view payload) {
  auto chunk = TDIFFChunk::Make();
  chunk->SetTag(tag);
  for (const auto& h : headers) chunk->AddHeader(h.first, h.second);
  chunk->Payload.assign(payload.data(), payload.size());
  return chunk->SaveToString();
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

int SampleBytesFor(std::int32_t packetBits) {
  if (packetBits < 1) return 1;
  if (packetBits > MaxPacketBits) return 8;
  return (packetBits + 7) / 8;
}

std::string AcquisitionBytes(int sampleBytes, std::uint64_t offset, std::size_t length) {
  const unsigned width = unsigned(std::clamp(sampleBytes, 1, 8));
  std::string out(length, '\0');
  std::uint64_t sample = offset / width;
  unsigned byte = unsigned(offset % width);
  char* p = out.data();
  char* const end = p + length;
  while (p != end) {
    for (; byte < width && p != end; ++byte) *p++ = char((sample >> (8 * byte)) & 0xFF);
    byte = 0;
    ++sample;
  }
  return out;
}

namespace {

// t * rate / 1e6 and s * 1e6 / rate without overflowing for any run length
// a test or benchmark can reach.
std::uint64_t SamplesBy(std::uint64_t elapsedUs, std::uint64_t hz) {
  return (elapsedUs / 1000000u) * hz + (elapsedUs % 1000000u) * hz / 1000000u;
}

std::uint64_t MicrosOfSample(std::uint64_t sample, std::uint64_t hz) {
  return (sample / hz) * 1000000u + (sample % hz) * 1000000u / hz;
}

}  // namespace

std::uint64_t PacketTimeUs(std::uint64_t packet, std::int32_t blockBytes, int sampleBytes,
                           std::int32_t frequencyHz) {
  if (blockBytes < 1 || frequencyHz < 1) return 0;
  const std::uint64_t firstSample =
      packet * std::uint64_t(blockBytes) / std::uint64_t(std::clamp(sampleBytes, 1, 8));
  return MicrosOfSample(firstSample, std::uint64_t(frequencyHz));
}

// ------------------------------------------------------------ internals

namespace {

using Lock = std::unique_lock<std::mutex>;
using Bytes = std::shared_ptr<const std::string>;

// Replies waiting for the writer beyond this make the reader wait, as a
// real device's full send buffer would.
constexpr std::size_t MaxQueuedReplyBytes = 64u << 20;
// Smallest receive offered to the OS.
constexpr std::size_t MinReceive = 256u << 10;

bool ValidPort(std::uint16_t port) { return port >= FirstPort && port < FirstPort + PortCount; }

std::uint16_t ToNetworkOrder(std::uint16_t port) {
  const unsigned char b[2] = {std::uint8_t(port >> 8), std::uint8_t(port & 0xFF)};
  std::uint16_t out;
  std::memcpy(&out, b, 2);
  return out;
}

std::string Build(std::string_view tag, HeaderList headers, std::string&& payload) {
  auto chunk = TDIFFChunk::Make();
  chunk->SetTag(tag);
  for (auto& h : headers) chunk->AddHeader(std::move(h.first), std::move(h.second));
  chunk->Payload = std::move(payload);
  return chunk->SaveToString();
}

std::string NoWork(std::int32_t status) {
  return Build("NOWRK", {{"Status", diff::IntToBytes(status)}}, std::string());
}

std::string IoError() { return Build("IOERR", {}, std::string()); }

// Received bytes, with whole frames cut off the front. A frame whose header
// has arrived gets room for all of it, so large bodies arrive in large
// receives straight into place and are never moved.
class ReceiveBuffer {
 public:
  // Space for the next receive.
  std::pair<char*, std::size_t> Room() {
    const std::size_t have = End - Begin;
    std::size_t want = have + MinReceive;
    const std::uint64_t frame = Claimed();
    if (frame != 0 && frame <= 8 + MaxFrameBodyBytes) want = std::max<std::size_t>(want, frame);
    if (Capacity - Begin < want) {
      if (Capacity < want) {
        const std::size_t capacity = std::max(want, std::min(Capacity * 2, want + (4u << 20)));
        std::unique_ptr<char[]> bigger(new char[capacity]);
        if (have > 0) std::memcpy(bigger.get(), Data.get() + Begin, have);
        Data = std::move(bigger);
        Capacity = capacity;
      } else if (have > 0) {
        std::memmove(Data.get(), Data.get() + Begin, have);
      }
      Begin = 0;
      End = have;
    }
    return {Data.get() + End, Capacity - End};
  }
  void Commit(std::size_t n) { End += n; }

  // The complete frame at the front, or empty.
  std::string_view Front() const {
    const std::uint64_t frame = Claimed();
    if (frame == 0 || frame > End - Begin) return {};
    return std::string_view(Data.get() + Begin, std::size_t(frame));
  }
  void Pop(std::size_t n) {
    Begin += n;
    if (Begin == End) Begin = End = 0;
  }
  // A frame that claims more than the device can hold.
  bool Oversized() const { return Claimed() > 8 + std::uint64_t(MaxFrameBodyBytes); }

 private:
  std::uint64_t Claimed() const {
    if (End - Begin < 8) return 0;
    return 8 + std::uint64_t(diff::ReadU32(Data.get() + Begin + 4));
  }

  std::unique_ptr<char[]> Data;
  std::size_t Capacity = 0;
  std::size_t Begin = 0;
  std::size_t End = 0;
};

struct OutItem {
  Bytes Data;
  Shaping Shape;
  long long DropAfter = -1;
};

struct Connection {
  Connection(int portIndex, platform::Socket sock) : PortIndex(portIndex), Sock(sock) {}

  const int PortIndex;
  platform::Socket Sock;  // closed only after both threads have ended

  // Guarded by the device lock.
  bool Closing = false;
  bool PeerClosed = false;
  bool ReaderDone = false;
  bool WriterDone = false;
  std::deque<OutItem> Out;
  std::size_t OutBytes = 0;
  // Wakes this connection's own reader and writer. A condition shared by
  // every connection would wake every thread of the device for each reply,
  // which on a small machine costs more than the reply itself.
  std::condition_variable Wake;

  std::thread Reader;
  std::thread Writer;

  // Reader thread only: what "RETRY" answers. The reply last produced by the
  // protocol, or the request still outstanding because a script answered it.
  Bytes LastReply;
  std::unique_ptr<TDIFFChunk> Unanswered;
};
using ConnectionPtr = std::shared_ptr<Connection>;

struct PortState {
  platform::Socket Listener = platform::InvalidSocket;
  std::thread Acceptor;

  std::vector<std::string> Chunks;
  std::size_t ChunkCount = 0;
  std::uint64_t ByteCount = 0;
  std::size_t Accepted = 0;
  std::vector<ConnectionPtr> Live;  // not yet reaped
  ConnectionPtr Latest;

  std::deque<Reply> Scripts;
  Shaping Shape;
  bool Silent = false;
  bool Reading = true;
  bool DropOnNextChunk = false;
  long long DropAfterReply = -1;
};

struct ChannelState {
  ChannelConfig Config;

  AcquisitionState Mode = AcquisitionState::Idle;
  // Settings taken when the acquisition started; later commands wait for the
  // next start.
  std::uint64_t Hz = 0;
  std::uint64_t Width = 0;
  std::uint64_t Block = 0;
  std::uint64_t StartUs = 0;
  std::uint64_t NextPacket = 0;  // first packet not yet fetched

  std::deque<std::string> Store;
  std::size_t StoreFront = 0;  // bytes of Store.front() already read
  std::size_t StoreSize = 0;
};

void JoinAndClose(const std::vector<ConnectionPtr>& connections) {
  for (const auto& c : connections) {
    if (c->Reader.joinable()) c->Reader.join();
    if (c->Writer.joinable()) c->Writer.join();
    if (c->Sock != platform::InvalidSocket) {
      platform::SocketClose(c->Sock);
      c->Sock = platform::InvalidSocket;
    }
  }
}

}  // namespace

struct SimulatedDevice::Impl {
  explicit Impl(std::string address) : Address(std::move(address)) {}

  const std::string Address;
  std::uint32_t AddressNet = 0;

  std::mutex StartStop;  // serialises Start and Stop
  bool Started = false;

  mutable std::mutex M;
  mutable std::condition_variable Changed;
  bool Stopping = false;
  bool Recording = true;
  bool ManualClock = false;
  std::uint64_t ManualUs = 0;
  const std::chrono::steady_clock::time_point Epoch = std::chrono::steady_clock::now();

  PortState Ports[PortCount];
  ChannelState Channels[ChannelCount];

  // ---- time

  std::uint64_t RealUs() const {
    return std::uint64_t(std::chrono::duration_cast<std::chrono::microseconds>(
                             std::chrono::steady_clock::now() - Epoch)
                             .count());
  }
  std::uint64_t NowUs() const { return ManualClock ? ManualUs : RealUs(); }

  // ---- connection lifetime

  // Marks the connection as ending and wakes both of its threads; the socket
  // stays open (shut down) until the threads are joined.
  void Drop(Connection& c) {
    Lock l(M);
    DropLocked(c);
  }
  void DropLocked(Connection& c) {
    c.Closing = true;
    platform::SocketShutdownBoth(c.Sock);
    c.Wake.notify_all();
    Changed.notify_all();
  }

  std::vector<ConnectionPtr> TakeFinished(PortState& p) {
    std::vector<ConnectionPtr> finished;
    auto keep = std::partition(p.Live.begin(), p.Live.end(),
                               [](const ConnectionPtr& c) { return !(c->ReaderDone && c->WriterDone); });
    finished.assign(keep, p.Live.end());
    p.Live.erase(keep, p.Live.end());
    return finished;
  }

  void AcceptLoop(int index) {
    PortState& p = Ports[index];
    for (;;) {
      const platform::Socket s = platform::SocketAccept(p.Listener);
      std::vector<ConnectionPtr> finished;
      {
        Lock l(M);
        if (Stopping) {
          if (s != platform::InvalidSocket) platform::SocketClose(s);
          return;
        }
        if (s == platform::InvalidSocket) {
          // A failed accept (a peer that reset in the backlog, a shortage of
          // handles) must not spin; try again shortly.
          Changed.wait_for(l, std::chrono::milliseconds(20), [&] { return Stopping; });
          continue;
        }
        platform::SocketSetNoDelay(s);
        finished = TakeFinished(p);
        auto c = std::make_shared<Connection>(index, s);
        ++p.Accepted;
        p.Live.push_back(c);
        p.Latest = c;
        try {
          c->Reader = std::thread([this, c] { ReadLoop(c); });
        } catch (...) {
          c->ReaderDone = true;
        }
        try {
          c->Writer = std::thread([this, c] { WriteLoop(c); });
        } catch (...) {
          c->WriterDone = true;
        }
        if (c->ReaderDone || c->WriterDone) DropLocked(*c);
        Changed.notify_all();
      }
      JoinAndClose(finished);
    }
  }

  void ReadLoop(const ConnectionPtr& c) {
    try {
      ReceiveBuffer buffer;
      PortState& p = Ports[c->PortIndex];
      bool keep = true;
      while (keep) {
        {
          Lock l(M);
          c->Wake.wait(l, [&] { return c->Closing || p.Reading; });
          if (c->Closing) break;
        }
        const auto room = buffer.Room();
        const long n = platform::SocketRecv(c->Sock, room.first, room.second);
        if (n <= 0) {
          Lock l(M);
          if (!c->Closing) c->PeerClosed = true;
          DropLocked(*c);
          break;
        }
        buffer.Commit(std::size_t(n));
        {
          Lock l(M);
          p.ByteCount += std::uint64_t(n);
        }
        for (std::string_view frame = buffer.Front(); keep && !frame.empty();
             frame = buffer.Front()) {
          {
            Lock l(M);
            c->Wake.wait(l, [&] { return c->Closing || c->OutBytes <= MaxQueuedReplyBytes; });
            if (c->Closing) {
              keep = false;
              break;
            }
          }
          keep = OnFrame(c, frame);
          buffer.Pop(frame.size());
        }
        // The stream cannot be resynchronised past a frame we refuse to hold.
        if (buffer.Oversized()) keep = false;
      }
    } catch (...) {
      // Out of memory and the like: end this connection, keep the device.
    }
    Lock l(M);
    c->ReaderDone = true;
    DropLocked(*c);
  }

  bool Pause(Connection& c, int ms) {
    Lock l(M);
    return !c.Wake.wait_for(l, std::chrono::milliseconds(ms), [&] { return c.Closing; });
  }

  bool SendAll(Connection& c, const char* data, std::size_t n) {
    while (n > 0) {
      const long sent = platform::SocketSend(c.Sock, data, n);
      if (sent <= 0) return false;
      data += sent;
      n -= std::size_t(sent);
    }
    return true;
  }

  enum class Sent { Done, Dropped, Interrupted, Failed };

  Sent Transmit(Connection& c, const OutItem& item) {
    if (item.Shape.DelayMs > 0 && !Pause(c, item.Shape.DelayMs)) return Sent::Interrupted;
    const std::string& bytes = *item.Data;
    std::size_t limit = bytes.size();
    if (item.DropAfter >= 0) limit = std::min(limit, std::size_t(item.DropAfter));
    std::size_t offset = 0;
    while (offset < limit) {
      const std::size_t piece =
          item.Shape.PieceSize > 0 ? std::min(item.Shape.PieceSize, limit - offset) : limit - offset;
      if (!SendAll(c, bytes.data() + offset, piece)) return Sent::Failed;
      offset += piece;
      if (offset < limit && item.Shape.PauseMs > 0 && !Pause(c, item.Shape.PauseMs)) {
        return Sent::Interrupted;
      }
    }
    return item.DropAfter >= 0 ? Sent::Dropped : Sent::Done;
  }

  void WriteLoop(const ConnectionPtr& c) {
    try {
      for (;;) {
        OutItem item;
        {
          Lock l(M);
          c->Wake.wait(l, [&] { return c->Closing || !c->Out.empty(); });
          if (c->Closing) break;
          item = std::move(c->Out.front());
          c->Out.pop_front();
        }
        const Sent sent = Transmit(*c, item);
        {
          Lock l(M);
          c->OutBytes -= item.Data->size();
          // A send refused while we were not closing: the host went away.
          if (sent == Sent::Failed && !c->Closing) c->PeerClosed = true;
          if (sent != Sent::Done) DropLocked(*c);
          c->Wake.notify_all();  // a reader held back by a full reply queue
        }
        if (sent != Sent::Done) break;
      }
    } catch (...) {
    }
    Lock l(M);
    c->WriterDone = true;
    DropLocked(*c);
  }

  void Enqueue(Connection& c, OutItem item) {
    // Called with M held.
    c.OutBytes += item.Data->size();
    c.Out.push_back(std::move(item));
    c.Wake.notify_all();
  }

  // A protocol reply shaped as the port says. With M held.
  OutItem ProtocolItem(PortState& p, Bytes reply) {
    OutItem item{std::move(reply), p.Shape, p.DropAfterReply};
    p.DropAfterReply = -1;
    return item;
  }

  // ---- protocol

  // Handles one complete frame. False when the connection is to end.
  // The frame is counted and recorded after the device has acted on it and
  // before its reply is queued, so whoever has seen the reply or the count
  // also sees the effect (a setting changed, data stored).
  bool OnFrame(const ConnectionPtr& c, std::string_view frame) {
    PortState& p = Ports[c->PortIndex];
    bool drop;
    bool silent;
    bool record;
    {
      Lock l(M);
      drop = p.DropOnNextChunk;
      p.DropOnNextChunk = false;
      silent = p.Silent;
      record = Recording;
    }
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
        Lock l(M);
        reply = ProtocolItem(p, std::make_shared<const std::string>(IoError()));
      }
    }
    std::string copy;
    if (record) copy.assign(frame.data(), frame.size());
    {
      Lock l(M);
      ++p.ChunkCount;
      if (record) p.Chunks.push_back(std::move(copy));
      if (reply) Enqueue(*c, std::move(*reply));
      Changed.notify_all();
    }
    if (drop) {
      Drop(*c);
      return false;
    }
    return true;
  }

  // Acts on one request; returns the reply to queue, if any.
  std::optional<OutItem> Dispatch(Connection& c, std::unique_ptr<TDIFFChunk> chunk) {
    const int channel = c.PortIndex & 0x0F;
    const std::string& tag = chunk->Tag;
    if (tag == "WFREQ" || tag == "WBITS" || tag == "WBKSZ" || tag == "WDIO1" || tag == "GOGO." ||
        tag == "GOCLR" || tag == "CLEAR") {
      Command(Channels[channel], *chunk);
      return std::nullopt;
    }
    const bool retry = tag == "RETRY";
    if (!retry && tag != "RREQA" && tag != "RREQL" && tag != "RREQ?" && tag != "WDATA") {
      return std::nullopt;  // not a request of this device: ignored, as a device ignores noise
    }

    std::optional<OutItem> scripted;
    {
      Lock l(M);
      PortState& p = Ports[c.PortIndex];
      if (!p.Scripts.empty()) {
        Reply script = std::move(p.Scripts.front());
        p.Scripts.pop_front();
        OutItem item{std::make_shared<const std::string>(std::move(script.Bytes)),
                     Shaping{script.PieceSize, script.PauseMs, script.DelayMs}, script.DropAfterBytes};
        if (p.DropAfterReply >= 0) {
          item.DropAfter =
              item.DropAfter < 0 ? p.DropAfterReply : std::min(item.DropAfter, p.DropAfterReply);
          p.DropAfterReply = -1;
        }
        scripted = std::move(item);
      }
    }
    if (scripted) {
      if (!retry) {
        c.Unanswered = std::move(chunk);
        c.LastReply.reset();
      }
      return scripted;
    }

    Bytes reply;
    if (!retry) {
      reply = std::make_shared<const std::string>(Answer(channel, *chunk));
      c.Unanswered.reset();
      c.LastReply = reply;
    } else if (c.LastReply) {
      reply = c.LastReply;
    } else if (c.Unanswered) {
      // The outstanding request was answered by a script; the device acts
      // on it now, once.
      reply = std::make_shared<const std::string>(Answer(channel, *c.Unanswered));
      c.Unanswered.reset();
      c.LastReply = reply;
    } else {
      reply = std::make_shared<const std::string>(NoWork(StatusNoRequest));
    }
    Lock l(M);
    return ProtocolItem(Ports[c.PortIndex], std::move(reply));
  }

  void Command(ChannelState& ch, TDIFFChunk& chunk) {
    const std::string& tag = chunk.Tag;
    Lock l(M);
    if (tag == "WFREQ" || tag == "WBITS" || tag == "WBKSZ") {
      const char* name = tag == "WFREQ" ? "Hz" : tag == "WBITS" ? "Bits" : "Bytes";
      const diff::THeaderEntry* h = chunk.FindHeader(name);
      if (h == nullptr) return;  // nothing to set
      const std::int32_t value = diff::BytesToInt(h->Value);
      if (tag == "WFREQ") ch.Config.FrequencyHz = value;
      else if (tag == "WBITS") ch.Config.PacketBits = value;
      else ch.Config.BlockBytes = value;
    } else if (tag == "WDIO1") {
      for (const auto& h : chunk.Headers) {
        if (h.Name.size() != 1 || std::uint8_t(h.Name[0]) >= 32) continue;
        const std::uint32_t bit = 1u << std::uint8_t(h.Name[0]);
        if (diff::BytesToInt(h.Value) != 0) ch.Config.Lines |= bit;
        else ch.Config.Lines &= ~bit;
      }
    } else if (tag == "GOGO.") {
      if (ch.Mode != AcquisitionState::Running) Begin(ch);
    } else if (tag == "GOCLR") {
      Begin(ch);
    } else if (tag == "CLEAR") {
      ch.Mode = AcquisitionState::Idle;
    }
  }

  // With M held.
  void Begin(ChannelState& ch) {
    const ChannelConfig& k = ch.Config;
    const bool valid = k.FrequencyHz >= 1 && k.FrequencyHz <= MaxFrequencyHz && k.PacketBits >= 1 &&
                       k.PacketBits <= MaxPacketBits && k.BlockBytes >= 1 &&
                       k.BlockBytes <= MaxBlockBytes;
    if (!valid) {
      ch.Mode = AcquisitionState::Fault;
      return;
    }
    ch.Mode = AcquisitionState::Running;
    ch.Hz = std::uint64_t(k.FrequencyHz);
    ch.Width = std::uint64_t(SampleBytesFor(k.PacketBits));
    ch.Block = std::uint64_t(k.BlockBytes);
    ch.StartUs = NowUs();
    ch.NextPacket = 0;
  }

  std::string Answer(int channel, TDIFFChunk& request) {
    ChannelState& ch = Channels[channel];
    const std::string& tag = request.Tag;
    if (tag == "RREQA" || tag == "RREQL") return Packets(ch, tag == "RREQL");
    if (tag == "WDATA") {
      std::size_t taken;
      {
        Lock l(M);
        taken = Store(ch, std::move(request.Payload));
      }
      return Build("WRESP", {{"Bytes", diff::IntToBytes(std::int32_t(taken))}}, std::string());
    }
    // "RREQ?"
    const diff::THeaderEntry* len = request.FindHeader("Len");
    const std::int32_t wanted = len != nullptr ? diff::BytesToInt(len->Value) : 0;
    if (wanted <= 0) return IoError();
    std::string data;
    {
      Lock l(M);
      if (ch.StoreSize == 0) return NoWork(StatusStoreEmpty);
      data = Take(ch, std::min<std::size_t>(std::size_t(wanted), ch.StoreSize));
    }
    return Build("RDATA", {}, std::move(data));
  }

  std::string Packets(ChannelState& ch, bool latestOnly) {
    std::uint64_t first;
    std::uint64_t count;
    std::uint64_t width, block, hz;
    {
      Lock l(M);
      if (ch.Mode == AcquisitionState::Idle) return NoWork(StatusNotStarted);
      if (ch.Mode == AcquisitionState::Fault) return IoError();
      const std::uint64_t now = NowUs();
      const std::uint64_t elapsed = now > ch.StartUs ? now - ch.StartUs : 0;
      const std::uint64_t produced = SamplesBy(elapsed, ch.Hz) * ch.Width / ch.Block;
      const std::uint64_t kept = std::max<std::uint64_t>(1, PacketBufferBytes / ch.Block);
      if (produced - std::min(produced, ch.NextPacket) > kept) ch.NextPacket = produced - kept;
      if (produced <= ch.NextPacket) return NoWork(StatusNothingNew);
      if (latestOnly) {
        first = produced - 1;
        count = 1;
      } else {
        first = ch.NextPacket;
        const std::uint64_t fits = std::max<std::uint64_t>(1, MaxPacketReplyBytes / ch.Block);
        count = std::min(produced - first, fits);
      }
      ch.NextPacket = first + count;
      width = ch.Width;
      block = ch.Block;
      hz = ch.Hz;
    }
    std::string payload = AcquisitionBytes(int(width), first * block, std::size_t(count * block));
    const std::uint64_t time = MicrosOfSample(first * block / width, hz);
    return Build("RDATA", {{"Time", U64ToBytes(time)}, {"Packet", U64ToBytes(first)}},
                 std::move(payload));
  }

  // With M held. Returns the count accepted.
  std::size_t Store(ChannelState& ch, std::string&& bytes) {
    const std::size_t taken = std::min(bytes.size(), StoreCapacityBytes - ch.StoreSize);
    if (taken == 0) return 0;
    if (taken < bytes.size()) bytes.resize(taken);
    ch.Store.push_back(std::move(bytes));
    ch.StoreSize += taken;
    return taken;
  }

  // With M held; n <= StoreSize.
  std::string Take(ChannelState& ch, std::size_t n) {
    ch.StoreSize -= n;
    if (ch.StoreFront == 0 && ch.Store.front().size() == n) {
      std::string whole = std::move(ch.Store.front());
      ch.Store.pop_front();
      return whole;
    }
    std::string out;
    out.reserve(n);
    while (out.size() < n) {
      const std::string& block = ch.Store.front();
      const std::size_t part = std::min(n - out.size(), block.size() - ch.StoreFront);
      out.append(block, ch.StoreFront, part);
      ch.StoreFront += part;
      if (ch.StoreFront == block.size()) {
        ch.Store.pop_front();
        ch.StoreFront = 0;
      }
    }
    return out;
  }

  // ---- start and stop

  bool Start() {
    std::lock_guard<std::mutex> g(StartStop);
    if (Started) return true;
    AddressNet = platform::ParseDottedAddress(Address.c_str());
    if (AddressNet == 0xFFFFFFFFu) return false;
    for (int i = 0; i < PortCount; ++i) {
      Ports[i].Listener =
          platform::SocketListen(AddressNet, ToNetworkOrder(std::uint16_t(FirstPort + i)), 16);
      if (Ports[i].Listener == platform::InvalidSocket) {
        for (int j = 0; j < i; ++j) {
          platform::SocketClose(Ports[j].Listener);
          Ports[j].Listener = platform::InvalidSocket;
        }
        return false;
      }
    }
    {
      Lock l(M);
      Stopping = false;
    }
    Started = true;
    for (int i = 0; i < PortCount; ++i) {
      try {
        Ports[i].Acceptor = std::thread([this, i] { AcceptLoop(i); });
      } catch (...) {
        StopLocked();
        return false;
      }
    }
    return true;
  }

  void Stop() {
    std::lock_guard<std::mutex> g(StartStop);
    StopLocked();
  }

  // With StartStop held.
  void StopLocked() {
    if (!Started) return;
    {
      Lock l(M);
      Stopping = true;
      Changed.notify_all();
    }
    for (int i = 0; i < PortCount; ++i) {
      PortState& p = Ports[i];
      if (p.Acceptor.joinable()) {
        // Connecting to ourselves ends the blocking accept on every platform,
        // and the listener stays open until its thread is gone.
        platform::Socket wake = platform::SocketCreateTcp();
        const bool woken = wake != platform::InvalidSocket &&
                           platform::SocketConnect(wake, AddressNet,
                                                   ToNetworkOrder(std::uint16_t(FirstPort + i)));
        bool closed = false;
        if (!woken) {
          // Shutting down wakes accept on POSIX, closing does on Windows.
          platform::SocketShutdownBoth(p.Listener);
          platform::SocketClose(p.Listener);
          closed = true;
        }
        p.Acceptor.join();
        if (wake != platform::InvalidSocket) platform::SocketClose(wake);
        if (closed) p.Listener = platform::InvalidSocket;
      }
      if (p.Listener != platform::InvalidSocket) {
        platform::SocketClose(p.Listener);
        p.Listener = platform::InvalidSocket;
      }
    }
    std::vector<ConnectionPtr> all;
    {
      Lock l(M);
      for (PortState& p : Ports) {
        for (const auto& c : p.Live) {
          DropLocked(*c);
          all.push_back(c);
        }
        p.Live.clear();
      }
    }
    JoinAndClose(all);
    {
      Lock l(M);
      Stopping = false;
    }
    Started = false;
  }

  PortState* PortAt(std::uint16_t port) {
    return ValidPort(port) ? &Ports[port - FirstPort] : nullptr;
  }

  // ---- waits

  template <class Pred>
  bool WaitFor(int timeoutMs, Pred pred) const {
    Lock l(M);
    return Changed.wait_for(l, std::chrono::milliseconds(std::max(timeoutMs, 0)), pred);
  }
};

// ------------------------------------------------------------ public side

namespace {

std::once_flag TagTableOnce;

}  // namespace

SimulatedDevice::SimulatedDevice(std::string address) : D(std::make_unique<Impl>(std::move(address))) {
  // The library builds the tag table at load; a program that links only the
  // device may not have run that start-up.
  std::call_once(TagTableOnce, [] {
    if (diff::TagCode('A') == 0) diff::BuildReverseTable();
  });
}

SimulatedDevice::~SimulatedDevice() { D->Stop(); }

bool SimulatedDevice::Start() { return D->Start(); }
void SimulatedDevice::Stop() { D->Stop(); }
const std::string& SimulatedDevice::Address() const { return D->Address; }

std::vector<std::string> SimulatedDevice::Received(std::uint16_t port) const {
  PortState* const q = D->PortAt(port);
  if (q == nullptr) return {};
  PortState& p = *q;
  Lock l(D->M);
  return p.Chunks;
}

std::vector<std::string> SimulatedDevice::ReceivedTags(std::uint16_t port) const {
  PortState* const q = D->PortAt(port);
  if (q == nullptr) return {};
  PortState& p = *q;
  Lock l(D->M);
  std::vector<std::string> tags;
  tags.reserve(p.Chunks.size());
  for (const auto& c : p.Chunks) tags.push_back(ChunkTag(c));
  return tags;
}

std::size_t SimulatedDevice::ReceivedCount(std::uint16_t port) const {
  PortState* const q = D->PortAt(port);
  if (q == nullptr) return 0;
  PortState& p = *q;
  Lock l(D->M);
  return p.ChunkCount;
}

bool SimulatedDevice::WaitForReceived(std::uint16_t port, std::size_t count, int timeoutMs) const {
  PortState* const q = D->PortAt(port);
  if (q == nullptr) return false;
  PortState& p = *q;
  return D->WaitFor(timeoutMs, [&] { return p.ChunkCount >= count; });
}

std::uint64_t SimulatedDevice::BytesReceived(std::uint16_t port) const {
  PortState* const q = D->PortAt(port);
  if (q == nullptr) return 0;
  PortState& p = *q;
  Lock l(D->M);
  return p.ByteCount;
}

void SimulatedDevice::ClearReceived(std::uint16_t port) {
  PortState* const q = D->PortAt(port);
  if (q == nullptr) return;
  PortState& p = *q;
  Lock l(D->M);
  p.Chunks.clear();
  p.ChunkCount = 0;
  p.ByteCount = 0;
}

void SimulatedDevice::SetRecording(bool on) {
  Lock l(D->M);
  D->Recording = on;
}

std::size_t SimulatedDevice::Connections(std::uint16_t port) const {
  PortState* const q = D->PortAt(port);
  if (q == nullptr) return 0;
  PortState& p = *q;
  Lock l(D->M);
  return p.Accepted;
}

bool SimulatedDevice::WaitForConnections(std::uint16_t port, std::size_t count,
                                         int timeoutMs) const {
  PortState* const q = D->PortAt(port);
  if (q == nullptr) return false;
  PortState& p = *q;
  return D->WaitFor(timeoutMs, [&] { return p.Accepted >= count; });
}

std::size_t SimulatedDevice::LiveConnections(std::uint16_t port) const {
  PortState* const q = D->PortAt(port);
  if (q == nullptr) return 0;
  PortState& p = *q;
  Lock l(D->M);
  return std::size_t(std::count_if(p.Live.begin(), p.Live.end(),
                                   [](const ConnectionPtr& c) { return !c->Closing; }));
}

bool SimulatedDevice::WaitForPeerClosed(std::uint16_t port, int timeoutMs) const {
  PortState* const q = D->PortAt(port);
  if (q == nullptr) return false;
  PortState& p = *q;
  return D->WaitFor(timeoutMs, [&] { return p.Latest && p.Latest->PeerClosed; });
}

ChannelConfig SimulatedDevice::Config(int channel) const {
  Lock l(D->M);
  return D->Channels[channel & 0x0F].Config;
}

AcquisitionState SimulatedDevice::State(int channel) const {
  Lock l(D->M);
  return D->Channels[channel & 0x0F].Mode;
}

std::size_t SimulatedDevice::StoredBytes(int channel) const {
  Lock l(D->M);
  return D->Channels[channel & 0x0F].StoreSize;
}

std::size_t SimulatedDevice::FillStore(int channel, std::string bytes) {
  Lock l(D->M);
  return D->Store(D->Channels[channel & 0x0F], std::move(bytes));
}

std::size_t SimulatedDevice::DiscardStore(int channel) {
  std::deque<std::string> dropped;
  std::size_t size;
  {
    Lock l(D->M);
    ChannelState& ch = D->Channels[channel & 0x0F];
    dropped.swap(ch.Store);
    size = ch.StoreSize;
    ch.StoreSize = 0;
    ch.StoreFront = 0;
  }
  return size;  // the strings are freed here, outside the device lock
}

void SimulatedDevice::SetManualClock(bool on) {
  Lock l(D->M);
  if (on && !D->ManualClock) D->ManualUs = D->RealUs();
  D->ManualClock = on;
}

void SimulatedDevice::AdvanceClock(std::uint64_t microseconds) {
  Lock l(D->M);
  D->ManualUs += microseconds;
}

void SimulatedDevice::Script(std::uint16_t port, Reply reply) {
  PortState* const q = D->PortAt(port);
  if (q == nullptr) return;
  PortState& p = *q;
  Lock l(D->M);
  p.Scripts.push_back(std::move(reply));
}

void SimulatedDevice::ClearScripts(std::uint16_t port) {
  PortState* const q = D->PortAt(port);
  if (q == nullptr) return;
  PortState& p = *q;
  Lock l(D->M);
  p.Scripts.clear();
}

std::size_t SimulatedDevice::PendingScripts(std::uint16_t port) const {
  PortState* const q = D->PortAt(port);
  if (q == nullptr) return 0;
  PortState& p = *q;
  Lock l(D->M);
  return p.Scripts.size();
}

void SimulatedDevice::SetShaping(std::uint16_t port, Shaping shaping) {
  PortState* const q = D->PortAt(port);
  if (q == nullptr) return;
  PortState& p = *q;
  Lock l(D->M);
  p.Shape = shaping;
}

void SimulatedDevice::SetSilent(std::uint16_t port, bool silent) {
  PortState* const q = D->PortAt(port);
  if (q == nullptr) return;
  PortState& p = *q;
  Lock l(D->M);
  p.Silent = silent;
}

void SimulatedDevice::SetReading(std::uint16_t port, bool reading) {
  PortState* const q = D->PortAt(port);
  if (q == nullptr) return;
  PortState& p = *q;
  Lock l(D->M);
  p.Reading = reading;
  for (const auto& c : p.Live) c->Wake.notify_all();
  D->Changed.notify_all();
}

void SimulatedDevice::DropNow(std::uint16_t port) {
  PortState* const q = D->PortAt(port);
  if (q == nullptr) return;
  PortState& p = *q;
  Lock l(D->M);
  for (const auto& c : p.Live) D->DropLocked(*c);
  // Wait (bounded) until both threads have left the socket, so that the
  // drop has happened when this returns.
  D->Changed.wait_for(l, std::chrono::seconds(2), [&] {
    return std::all_of(p.Live.begin(), p.Live.end(),
                       [](const ConnectionPtr& c) { return c->ReaderDone && c->WriterDone; });
  });
}

void SimulatedDevice::DropAfterNextRequest(std::uint16_t port) {
  PortState* const q = D->PortAt(port);
  if (q == nullptr) return;
  PortState& p = *q;
  Lock l(D->M);
  p.DropOnNextChunk = true;
}

void SimulatedDevice::DropAfterReplyBytes(std::uint16_t port, std::size_t bytes) {
  PortState* const q = D->PortAt(port);
  if (q == nullptr) return;
  PortState& p = *q;
  Lock l(D->M);
  p.DropAfterReply = (long long)std::min<std::uint64_t>(bytes, std::uint64_t(1) << 62);
}

bool SimulatedDevice::SendNow(std::uint16_t port, std::string bytes) {
  PortState* const q = D->PortAt(port);
  if (q == nullptr) return false;
  PortState& p = *q;
  Lock l(D->M);
  if (!p.Latest || p.Latest->Closing) return false;
  D->Enqueue(*p.Latest, OutItem{std::make_shared<const std::string>(std::move(bytes)), Shaping{}, -1});
  return true;
}


}  // namespace velmora::sim
