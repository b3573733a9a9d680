// A simulated acquisition device: the TCP peer that tests, the demonstration
// and the benchmarks talk to instead of real hardware.
//
// One SimulatedDevice listens on all 32 device ports of one IPv4 address and
// speaks the device's side of the DIFF request/reply protocol (docs/device.md
// describes what it answers and why). On top of the protocol, every port can
// be told to misbehave: scripted raw replies, replies cut into pieces with
// pauses, delays, silence, dropped connections, unsolicited bytes, and a
// receiver that stops reading.
//
// Threads: every public member may be called from any thread at any time.
// Stop (and the destructor) ends every thread the device started and returns
// within a bounded time whatever the peers are doing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "diff/chunk_builder.h"
#include "diff/wire_vocabulary.h"

namespace velmora::sim {

// Ports: 0xED00 + 0x10 for the input direction + channel index (0..15).
// Output port i and input port i belong to the same device channel i.
constexpr std::uint16_t FirstPort = wire::FirstDevicePort;
constexpr int PortCount = wire::DevicePortCount;
constexpr int ChannelCount = wire::ChannelCount;
constexpr std::uint16_t OutputPort(int channel) { return wire::DevicePort(false, channel); }
constexpr std::uint16_t InputPort(int channel) { return wire::DevicePort(true, channel); }
constexpr int ChannelOf(std::uint16_t port) { return (port - FirstPort) & 0x0F; }

// Limits of the device. An acquisition started with a setting outside them
// faults (its packet requests are answered "IOERR").
constexpr std::int32_t MaxFrequencyHz = wire::MaxFrequencyHz;
constexpr std::int32_t MaxPacketBits = wire::MaxPacketBits;
constexpr std::int32_t MaxBlockBytes = wire::MaxBlockBytes;
// At most this many payload bytes (whole packets) go into one "RREQA" reply;
// the rest waits for the next request.
constexpr std::size_t MaxPacketReplyBytes = 16u << 20;
// Unfetched packets beyond this many bytes are overwritten, oldest first.
constexpr std::size_t PacketBufferBytes = 64u << 20;
// Capacity of each channel's data store ("WDATA" / "RREQ?").
constexpr std::size_t StoreCapacityBytes = 64u << 20;
// A frame claiming a larger body cannot be held; the device drops the link.
constexpr std::size_t MaxFrameBodyBytes = 128u << 20;

// Settings after power-up, before any command.
constexpr std::int32_t DefaultFrequencyHz = 1000;
constexpr std::int32_t DefaultPacketBits = 16;
constexpr std::int32_t DefaultBlockBytes = 256;

// ------------------------------------------------------------- helpers

using HeaderList = diff::HeaderList;

// The framed bytes of one chunk with the given tag (5 bytes), headers in
// order, and payload. Raises the codec's EDIFFParseError for a bad tag.
std::string MakeChunk(std::string_view tag, const HeaderList& headers = {},
                      std::string_view payload = {});
// The tag of framed chunk bytes (from the tag word alone), or "" when fewer
// than 4 bytes are given.
std::string ChunkTag(std::string_view chunkBytes);
// 8-byte little-endian values, as in the "Time" and "Packet" headers.
std::string U64ToBytes(std::uint64_t value);
std::uint64_t BytesToU64(std::string_view bytes);  // missing high bytes count as 0

// The acquisition stream: sample n (counted from the start of acquisition)
// is the value n, truncated to the sample width and written little-endian.
// Samples are packed back to back; packet k is bytes [k*B, (k+1)*B) of the
// stream for a block size of B bytes.
int SampleBytesFor(std::int32_t packetBits);  // ceil(bits / 8); bits is 1..64
// `length` bytes of the stream starting at byte `offset`, for samples of
// `sampleBytes` (1..8) bytes.
std::string AcquisitionBytes(int sampleBytes, std::uint64_t offset, std::size_t length);
// The "Time" value of packet `packet`: microseconds from the start of
// acquisition to its first sample, rounded down.
std::uint64_t PacketTimeUs(std::uint64_t packet, std::int32_t blockBytes, int sampleBytes,
                           std::int32_t frequencyHz);

// ------------------------------------------------------- fault injection

// A raw reply that replaces the device's own answer to one request.
struct Reply {
  std::string Bytes;              // sent as given; empty: the request gets no answer
  std::size_t PieceSize = 0;      // >0: sent in pieces of this many bytes
  int PauseMs = 0;                // pause between pieces
  int DelayMs = 0;                // wait before the first byte
  long long DropAfterBytes = -1;  // >=0: close the connection after this many bytes
};

// How the device's own (protocol) replies leave a port.
struct Shaping {
  std::size_t PieceSize = 0;  // 0: each reply in as few sends as the OS allows
  int PauseMs = 0;
  int DelayMs = 0;
};

struct ChannelConfig {
  std::int32_t FrequencyHz = DefaultFrequencyHz;
  std::int32_t PacketBits = DefaultPacketBits;
  std::int32_t BlockBytes = DefaultBlockBytes;
  std::uint32_t Lines = 0;  // bit n = digital line n
};

enum class AcquisitionState { Idle, Running, Fault };

class SimulatedDevice {
 public:
  // `address`: dotted IPv4 address to listen on, e.g. "127.0.0.40".
  explicit SimulatedDevice(std::string address);
  ~SimulatedDevice();  // Stop()
  SimulatedDevice(const SimulatedDevice&) = delete;
  SimulatedDevice& operator=(const SimulatedDevice&) = delete;

  // Listens on the 32 ports. False (and nothing listening) when the address
  // is not dotted IPv4 or any port cannot be bound. True when already started.
  bool Start();
  // Closes the listeners and every connection, joins every thread. Queued
  // replies are dropped. Recorded data, settings and stores survive, and
  // Start may be called again.
  void Stop();
  const std::string& Address() const;

  // ---- what arrived (ports outside 0xED00..0xED1F give empty answers)

  // Every complete chunk received on the port, framed bytes, in order, over
  // all its connections. Empty while recording is off.
  std::vector<std::string> Received(std::uint16_t port) const;
  std::vector<std::string> ReceivedTags(std::uint16_t port) const;
  // Complete chunks received, counted even while recording is off. A chunk
  // counts once the device has acted on it: a command's setting is in place
  // and a request's reply is queued.
  std::size_t ReceivedCount(std::uint16_t port) const;
  bool WaitForReceived(std::uint16_t port, std::size_t count, int timeoutMs) const;
  // Raw bytes taken off the port's connections, whole frames or not.
  std::uint64_t BytesReceived(std::uint16_t port) const;
  void ClearReceived(std::uint16_t port);  // chunks, count and byte count
  // Keeping a copy of every chunk costs memory at benchmark rates; counts go on.
  void SetRecording(bool on);

  std::size_t Connections(std::uint16_t port) const;  // accepted so far
  bool WaitForConnections(std::uint16_t port, std::size_t count, int timeoutMs) const;
  std::size_t LiveConnections(std::uint16_t port) const;
  // True once the host has closed (or reset) the port's most recently
  // accepted connection. A connection the device dropped does not count.
  bool WaitForPeerClosed(std::uint16_t port, int timeoutMs) const;

  // ---- device state (channel 0..15; others are masked to 4 bits)

  ChannelConfig Config(int channel) const;
  AcquisitionState State(int channel) const;
  std::size_t StoredBytes(int channel) const;
  // Appends to the channel's data store as "WDATA" would; returns the count taken.
  std::size_t FillStore(int channel, std::string bytes);
  // Empties the channel's data store; returns the count dropped. Benchmarks
  // use it so that repeated writes never meet a full store.
  std::size_t DiscardStore(int channel);
  // A manual clock makes acquisition deterministic: time stands still except
  // through AdvanceClock. Switching keeps the current time.
  void SetManualClock(bool on);
  void AdvanceClock(std::uint64_t microseconds);

  // ---- fault injection, per port, effective from the next event

  // Queues a raw reply for the next request that expects one ("RREQA",
  // "RREQL", "RREQ?", "WDATA", "RETRY"); the device then does not act on that
  // request at all. Scripts are used in order, one per request.
  void Script(std::uint16_t port, Reply reply);
  void ClearScripts(std::uint16_t port);
  std::size_t PendingScripts(std::uint16_t port) const;
  void SetShaping(std::uint16_t port, Shaping shaping);
  // Silent: chunks are received and recorded but not acted on or answered.
  void SetSilent(std::uint16_t port, bool silent);
  // Not reading: the device stops taking bytes off the port's connections
  // after the receive in progress, so the host's sends back up.
  void SetReading(std::uint16_t port, bool reading);
  // Closes every connection of the port now.
  void DropNow(std::uint16_t port);
  // The next chunk that arrives is recorded, then the connection is closed.
  void DropAfterNextRequest(std::uint16_t port);
  // The next reply (protocol or scripted) is cut after `bytes` bytes and the
  // connection closed.
  void DropAfterReplyBytes(std::uint16_t port, std::size_t bytes);
  // Queues bytes on the port's most recent connection, behind any reply
  // already queued. False when it has no live connection.
  bool SendNow(std::uint16_t port, std::string bytes);

 private:
  struct Impl;
  std::unique_ptr<Impl> D;
};

}  // namespace velmora::sim
