#include "sim/network.h"

#include <algorithm>
#include <chrono>

#include "sim/receive_buffer.h"

namespace velmora::sim {

namespace {

// Replies waiting for the writer beyond this make the reader wait, as a
// real device's full send buffer would.
constexpr std::size_t MaxQueuedReplyBytes = 64u << 20;

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

Network::Network(std::string address, FrameHandler& handler)
    : Addr(std::move(address)), Handler(handler) {}

Network::~Network() { Stop(); }

void Network::Drop(Connection& c) {
  Lock l(M);
  DropLocked(c);
}

void Network::DropLocked(Connection& c) {
  c.Closing = true;
  platform::SocketShutdownBoth(c.Sock);
  c.Wake.notify_all();
  Changed.notify_all();
}

std::vector<ConnectionPtr> Network::TakeFinished(PortState& p) {
  std::vector<ConnectionPtr> finished;
  auto keep = std::partition(p.Live.begin(), p.Live.end(),
                             [](const ConnectionPtr& c) { return !(c->ReaderDone && c->WriterDone); });
  finished.assign(keep, p.Live.end());
  p.Live.erase(keep, p.Live.end());
  return finished;
}

void Network::AcceptLoop(int index) {
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

void Network::ReadLoop(const ConnectionPtr& c) {
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
        keep = Handler.OnFrame(c, frame);
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

bool Network::Pause(Connection& c, int ms) {
  Lock l(M);
  return !c.Wake.wait_for(l, std::chrono::milliseconds(ms), [&] { return c.Closing; });
}


Network::Sent Network::Transmit(Connection& c, const OutItem& item) {
  if (item.Shape.DelayMs > 0 && !Pause(c, item.Shape.DelayMs)) return Sent::Interrupted;
  const std::string& bytes = *item.Data;
  std::size_t limit = bytes.size();
  if (item.DropAfter >= 0) limit = std::min(limit, std::size_t(item.DropAfter));
  std::size_t offset = 0;
  while (offset < limit) {
    const std::size_t piece =
        item.Shape.PieceSize > 0 ? std::min(item.Shape.PieceSize, limit - offset) : limit - offset;
    if (!platform::SocketSendAll(c.Sock, bytes.data() + offset, piece)) return Sent::Failed;
    offset += piece;
    if (offset < limit && item.Shape.PauseMs > 0 && !Pause(c, item.Shape.PauseMs)) {
      return Sent::Interrupted;
    }
  }
  return item.DropAfter >= 0 ? Sent::Dropped : Sent::Done;
}

void Network::WriteLoop(const ConnectionPtr& c) {
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

void Network::Enqueue(Connection& c, OutItem item) {
  // Called with M held.
  c.OutBytes += item.Data->size();
  c.Out.push_back(std::move(item));
  c.Wake.notify_all();
}


bool Network::Start() {
  std::lock_guard<std::mutex> g(StartStop);
  if (Started) return true;
  AddressNet = platform::ParseDottedAddress(Addr.c_str());
  if (AddressNet == 0xFFFFFFFFu) return false;
  for (int i = 0; i < PortCount; ++i) {
    const std::uint16_t port = platform::PortToNetwork(std::uint16_t(FirstPort + i));
    Ports[i].Listener = platform::SocketListen(AddressNet, port, 16);
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

void Network::Stop() {
  std::lock_guard<std::mutex> g(StartStop);
  StopLocked();
}

// With StartStop held.
void Network::StopLocked() {
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
      const std::uint16_t port = platform::PortToNetwork(std::uint16_t(FirstPort + i));
      platform::Socket wake = platform::SocketCreateTcp();
      const bool woken =
          wake != platform::InvalidSocket && platform::SocketConnect(wake, AddressNet, port);
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

void Network::DropAll(std::uint16_t port) {
  if (!ValidPort(port)) return;
  PortState& p = Ports[port - FirstPort];
  Lock l(M);
  for (const auto& c : p.Live) DropLocked(*c);
  // Wait (bounded) until both threads have left the socket, so that the
  // drop has happened when this returns.
  Changed.wait_for(l, std::chrono::seconds(2), [&] {
    return std::all_of(p.Live.begin(), p.Live.end(),
                       [](const ConnectionPtr& c) { return c->ReaderDone && c->WriterDone; });
  });
}

void Network::SetReading(std::uint16_t port, bool reading) {
  AtPort(port, [&](PortState& p) {
    p.Reading = reading;
    for (const auto& c : p.Live) c->Wake.notify_all();
    Changed.notify_all();
  });
}

}  // namespace velmora::sim
