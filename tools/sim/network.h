// The simulated device's network side: a listener per port, and per accepted
// connection a reader that cuts whole frames off the stream and a writer that
// sends the queued replies, shaped and cut as the port's faults say.
//
// One lock (M) guards every port's and connection's state below; the
// protocol takes it through AtPort and Locked. Frames are handed to the
// FrameHandler on the connection's reader thread, without the lock.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "diff/diff_chunk.h"
#include "platform/platform.h"
#include "sim/simulated_device.h"

namespace velmora::sim {

using Bytes = std::shared_ptr<const std::string>;

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

  // Reader thread only (the protocol's): what "RETRY" answers. The reply
  // last produced by the protocol, or the request still outstanding because
  // a script answered it.
  Bytes LastReply;
  std::unique_ptr<diff::TDIFFChunk> Unanswered;
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

class FrameHandler {
 public:
  // One complete frame from `c`, on its reader thread. False ends the
  // connection.
  virtual bool OnFrame(const ConnectionPtr& c, std::string_view frame) = 0;

 protected:
  ~FrameHandler() = default;
};

class Network {
 public:
  using Lock = std::unique_lock<std::mutex>;

  // `handler` must outlive this object.
  Network(std::string address, FrameHandler& handler);
  ~Network();  // Stop()

  bool Start();
  void Stop();
  const std::string& Address() const { return Addr; }

  // f(PortState&) with the lock held; `absent` for a port outside the
  // device's range.
  template <class R, class F>
  R AtPort(std::uint16_t port, R absent, F&& f) {
    if (!ValidPort(port)) return absent;
    Lock l(M);
    return f(Ports[port - FirstPort]);
  }
  template <class R, class F>
  R AtPort(std::uint16_t port, R absent, F&& f) const {
    if (!ValidPort(port)) return absent;
    Lock l(M);
    return f(static_cast<const PortState&>(Ports[port - FirstPort]));
  }
  template <class F>
  void AtPort(std::uint16_t port, F&& f) {
    AtPort(port, 0, [&](PortState& p) {
      f(p);
      return 0;
    });
  }
  // Waits (bounded) until pred(PortState&) holds; false for a port outside
  // the range or on time-out.
  template <class Pred>
  bool WaitAtPort(std::uint16_t port, int timeoutMs, Pred&& pred) const {
    if (!ValidPort(port)) return false;
    const PortState& p = Ports[port - FirstPort];
    Lock l(M);
    return Changed.wait_for(l, std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0),
                            [&] { return pred(p); });
  }
  // f() with the lock held.
  template <class F>
  auto Locked(F&& f) {
    Lock l(M);
    return f();
  }
  PortState& Port(int index) { return Ports[index]; }  // its fields under the lock

  // With the lock held: queues bytes for the connection's writer.
  void Enqueue(Connection& c, OutItem item);
  // With the lock held: wakes whoever waits for a port's state to change.
  void NotifyChanged() { Changed.notify_all(); }
  // Marks the connection as ending and wakes both of its threads; the socket
  // stays open (shut down) until the threads are joined.
  void Drop(Connection& c);
  // Drops every connection of the port and waits (bounded) until their
  // threads have left the sockets.
  void DropAll(std::uint16_t port);
  void SetReading(std::uint16_t port, bool reading);

  // Every chunk received is kept while on.
  bool Recording = true;  // guarded by the lock

 private:
  static bool ValidPort(std::uint16_t port) {
    return port >= FirstPort && port < FirstPort + PortCount;
  }
  void DropLocked(Connection& c);
  std::vector<ConnectionPtr> TakeFinished(PortState& p);
  void AcceptLoop(int index);
  void ReadLoop(const ConnectionPtr& c);
  void WriteLoop(const ConnectionPtr& c);
  enum class Sent { Done, Dropped, Interrupted, Failed };
  Sent Transmit(Connection& c, const OutItem& item);
  bool Pause(Connection& c, int ms);
  void StopLocked();  // with StartStop held

  const std::string Addr;
  FrameHandler& Handler;
  std::uint32_t AddressNet = 0;

  std::mutex StartStop;  // serialises Start and Stop
  bool Started = false;

  mutable std::mutex M;
  mutable std::condition_variable Changed;
  bool Stopping = false;
  PortState Ports[PortCount];
};

}  // namespace velmora::sim
