#include "transport/client_sock.h"

#include <chrono>
#include <iterator>
#include <new>
#include <utility>

#include "transport/result_numbers.h"

namespace velmora::transport {

void TDClientSockEvent::Notify(TDClientSock* sock) const noexcept {
  if (!IsSet()) return;
  try {
    Code(Data, sock);
  } catch (...) {
    // A notification must never take the transport down with it.
  }
}

TDClientSock::TDClientSock() = default;

TDClientSock::~TDClientSock() {
  Shutdown();
  // The reader's teardown wakes the writer, so waiting for the reader first
  // and then the writer never blocks forever once the socket is shut down.
  ReadThread.reset();
  WriteThread.reset();
  // Strings still queued are dropped with SendQueue; the locks and the
  // semaphore close with their members.
}

bool TDClientSock::Valid() const {
  return RecvMutex.Valid() && SendMutex.Valid() && SendSemaphore.Valid() && SocketMutex.Valid() &&
         RecvSpace.Valid() && ReaderWake.Valid();
}

std::uint32_t TDClientSock::ResolveHost(const ByteString& host) {
  const std::uint32_t parsed = platform::ParseDottedAddress(host.c_str());
  if (parsed != 0xFFFFFFFFu) return parsed;
  const std::uint32_t looked = platform::LookupFirstIPv4(host.c_str());
  return looked == 0 ? 0xFFFFFFFFu : looked;
}

int TDClientSock::Connect(const ByteString& host, std::int32_t port) {
  if (!Valid()) return ErrorNoSystemResources;
  // The reader's first block is reserved here, on the caller's thread: a lack
  // of memory then fails the connect instead of ending, moments later, a
  // reader this call has already reported as running.
  {
    std::unique_ptr<char[]> first(new char[ReceiveBlockSize]);
    platform::MutexLock hold(RecvMutex);
    FreeBlocks.push_back(std::move(first));
  }
  SocketHandle = platform::SocketCreateTcp();
  if (SocketHandle == platform::InvalidSocket) return ErrorNoNetwork;
  {
    platform::MutexLock hold(SocketMutex);
    SocketClosed = false;
  }
  const std::uint16_t portNet = platform::PortToNetwork(static_cast<std::uint16_t>(port & 0xFFFF));
  if (!platform::SocketConnect(SocketHandle, ResolveHost(host), portNet, ConnectTimeoutMs)) {
    platform::MutexLock hold(SocketMutex);
    platform::SocketClose(SocketHandle);
    SocketClosed = true;
    return ErrorNoNetOrBadPath;
  }
  // Requests are small and the caller waits for each reply: without this a
  // request that follows a command waits out the peer's delayed ACK.
  platform::SocketSetNoDelay(SocketHandle);

  {
    platform::MutexLock hold(SocketMutex);
    SocketUsers = 2;  // the reader and the writer
  }
  {
    platform::MutexLock hold(RecvMutex);
    LastArrival = std::chrono::steady_clock::now();
  }
  Connected = true;
  ReadThread.reset(new (std::nothrow) TDClientReadThread(this));
  if (ReadThread == nullptr || !ReadThread->Started()) {
    ReadThread.reset();
    Connected = false;
    ReleaseSocketUse();
    ReleaseSocketUse();
    return ErrorNoSystemResources;
  }
  WriteThread.reset(new (std::nothrow) TDClientWriteThread(this));
  if (WriteThread == nullptr || !WriteThread->Started()) {
    WriteThread.reset();
    // The reader is running: stop it the ordinary way and wait for it.
    Shutdown();
    ReleaseSocketUse();
    ReadThread.reset();
    Connected = false;
    return ErrorNoSystemResources;
  }
  OnConnect.Notify(this);
  return 0;
}

void TDClientSock::Shutdown() {
  Stopping = true;
  if (RecvSpace.Valid()) RecvSpace.Release();
  if (ReaderWake.Valid()) ReaderWake.Release();
  if (!SocketMutex.Valid()) return;
  platform::MutexLock hold(SocketMutex);
  if (!SocketClosed) platform::SocketShutdownBoth(SocketHandle);
}

bool TDClientSock::WaitForRecvSpace() {
  for (;;) {
    // After a shutdown a receive would still hand over what the socket holds
    // (on Linux the peer may even go on sending): nobody is left to take it.
    if (Stopping) return false;
    {
      platform::MutexLock hold(RecvMutex);
      ReaderPaused = RecvBytes >= UndeliveredCap;
      if (!ReaderPaused) return true;
    }
    RecvSpace.Wait();
  }
}

bool TDClientSock::ResumeReaderLocked() {
  const bool paused = ReaderPaused;
  ReaderPaused = false;
  return paused;
}

void TDClientSock::ReleaseSocketUse() {
  platform::MutexLock hold(SocketMutex);
  if (SocketUsers > 0 && --SocketUsers == 0 && !SocketClosed) {
    platform::SocketClose(SocketHandle);
    SocketClosed = true;
  }
}

bool TDClientSock::TakeSocketUse() {
  platform::MutexLock hold(SocketMutex);
  if (SocketClosed || SocketUsers == 0) return false;
  ++SocketUsers;
  return true;
}

void TDClientSock::QueueSend(ByteString data) {
  if (data.empty()) return;
  // The use keeps the descriptor from being closed, and so reused, while this
  // thread sends on it; it is taken before SendMutex so that the two locks
  // are never held together.
  const bool mayUseSocket = TakeSocketUse();
  bool whole = false;
  {
    platform::MutexLock hold(SendMutex);
    std::size_t sent = 0;
    if (mayUseSocket && SendQueue.empty() && !Sending) {
      // Holding SendMutex keeps the writer from starting a string meanwhile,
      // so the order on the wire stays the order of the calls. A failed send
      // leaves the string to the writer, whose own send then reports the
      // broken link as before.
      const long n = platform::SocketSendNoWait(SocketHandle, data.data(), data.size());
      if (n > 0) sent = static_cast<std::size_t>(n);
    }
    whole = sent == data.size();
    if (!whole) QueueRestLocked(std::move(data), sent, false);
  }
  if (mayUseSocket) ReleaseSocketUse();
  if (!whole) SendSemaphore.Release();
}

bool TDClientSock::QueueSendFrom(std::string_view head, const void* body, std::size_t length,
                                 CopyFunction copyRest) {
  const std::size_t total = head.size() + length;
  if (total == 0) return true;
  ByteString rest;
  rest.reserve(total);  // untouched unless needed; reserved before anything is sent
  const bool mayUseSocket = TakeSocketUse();
  std::size_t sent = 0;
  bool direct = false;
  {
    platform::MutexLock hold(SendMutex);
    if (mayUseSocket && SendQueue.empty() && !Sending) {
      const long n = platform::SocketSendNoWait(SocketHandle, head.data(), head.size(), body, length);
      if (n > 0) sent = static_cast<std::size_t>(n);
      // What the socket did not take at once: this thread goes on sending
      // it from where it lies, as the writer would, instead of copying it
      // for the writer (for 16 MiB the copy into fresh memory cost a third
      // of the transfer). Sending keeps the writer's own sends out meanwhile.
      direct = n >= 0 && sent < total && platform::SocketSendNoWaitWorks();
      if (direct) Sending = true;
    }
  }
  bool failed = false;
  if (direct) sent = SendRestFromHere(head, body, length, sent, failed);
  bool copied = true, cut = false, queued = false;
  if (failed) {
    cut = true;  // the link broke mid-frame, as a failed writer send would find it
  } else if (sent < total) {
    platform::MutexLock hold(SendMutex);
    // Built under SendMutex, so nothing can be queued between the part
    // that went out and its rest.
    if (sent < head.size()) rest.append(head.substr(sent));
    const std::size_t from = sent > head.size() ? sent - head.size() : 0;
    const std::size_t at = rest.size();
    rest.resize(at + (length - from));
    copied = copyRest(rest.data() + at, static_cast<const char*>(body) + from, length - from);
    if (copied) {
      QueueRestLocked(std::move(rest), 0, direct);
      queued = true;
    } else {
      cut = sent > 0;
    }
  }
  if (direct) {
    platform::MutexLock hold(SendMutex);
    Sending = false;
  }
  if (mayUseSocket) ReleaseSocketUse();
  if (queued) SendSemaphore.Release();
  if (cut) Shutdown();
  return copied;
}

void TDClientSock::QueueRestLocked(ByteString data, std::size_t alreadySent, bool sentHere) {
  if (sentHere) {
    // Ahead of anything queued while this thread was sending: the rest of a
    // string already begun on the wire must follow it directly.
    SendQueue.push_front(std::move(data));
    FrontAlreadySent = alreadySent;
    return;
  }
  if (SendQueue.empty()) FrontAlreadySent = alreadySent;
  SendQueue.push_back(std::move(data));
}

std::size_t TDClientSock::SendRestFromHere(std::string_view head, const void* body,
                                           std::size_t length, std::size_t sent, bool& failed) {
  const std::size_t total = head.size() + length;
  while (sent < total) {
    const int ready = platform::SocketWaitWritable(SocketHandle, SendStallMs);
    if (ready == 0) break;  // the peer takes nothing: the writer carries the rest
    const std::string_view headRest = sent < head.size() ? head.substr(sent) : std::string_view();
    const std::size_t from = sent > head.size() ? sent - head.size() : 0;
    const long n = ready < 0 ? -1
                             : platform::SocketSendNoWait(SocketHandle, headRest.data(), headRest.size(),
                                                          static_cast<const char*>(body) + from,
                                                          length - from);
    if (n < 0) {
      failed = true;
      break;
    }
    sent += static_cast<std::size_t>(n);
  }
  return sent;
}

ByteString TDClientSock::DequeueSend(std::size_t& alreadySent) {
  SendSemaphore.Wait();
  platform::MutexLock hold(SendMutex);
  alreadySent = 0;
  if (SendQueue.empty()) return ByteString();
  ByteString front = std::move(SendQueue.front());
  SendQueue.pop_front();
  alreadySent = FrontAlreadySent;
  FrontAlreadySent = 0;
  Sending = true;
  return front;
}

bool TDClientSock::WaitUntilSent(std::uint32_t timeoutMs) {
  // Polled in short sleeps: a close is rare, and this keeps the writer's hot
  // path free of any extra signalling. The clock, not the count of sleeps,
  // bounds the wait (a 1 ms sleep can take a whole timer tick).
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    {
      platform::MutexLock hold(SendMutex);
      if (SendQueue.empty() && !Sending) return true;
    }
    if (!Connected || std::chrono::steady_clock::now() >= deadline) return false;
    platform::SleepMs(1);
  }
}

ByteString TDClientSock::TakeReceived() {
  // Room for everything is reserved before anything is taken, so running out
  // of memory loses no byte; blocks that arrive in between only ask again.
  ByteString joined;
  TReceivedBlocks taken;
  bool resume = false;
  for (;;) {
    std::size_t bytes, blocks;
    {
      platform::MutexLock hold(RecvMutex);
      bytes = RecvBytes;
      blocks = RecvBuffer.size();
    }
    if (bytes == 0) return joined;
    joined.reserve(bytes);
    taken.reserve(blocks);
    platform::MutexLock hold(RecvMutex);
    if (RecvBytes <= joined.capacity() && RecvBuffer.size() <= taken.capacity()) {
      taken.swap(RecvBuffer);
      RecvBytes = 0;
      NotifyAfter = 0;
      resume = ResumeReaderLocked();
      break;
    }
  }
  if (resume) RecvSpace.Release();
  for (const TReceivedBlock& block : taken) joined.append(block.Storage.get(), block.Length);
  platform::MutexLock hold(RecvMutex);
  RecycleLocked(taken);
  return joined;
}

void TDClientSock::TakeReceivedBlocks(TReceivedBlocks& into, TReceivedBlocks& spent) {
  bool resume;
  {
    platform::MutexLock hold(RecvMutex);
    RecycleLocked(spent);
    if (into.empty()) {
      into.swap(RecvBuffer);
    } else {
      // Moving blocks cannot throw, so a failed growth of `into` changes nothing.
      into.insert(into.end(), std::make_move_iterator(RecvBuffer.begin()),
                  std::make_move_iterator(RecvBuffer.end()));
      RecvBuffer.clear();
    }
    RecvBytes = 0;
    NotifyAfter = 0;
    resume = ResumeReaderLocked();
  }
  if (resume) RecvSpace.Release();
}

void TDClientSock::NotifyOnceBuffered(std::size_t bytes) {
  platform::MutexLock hold(RecvMutex);
  NotifyAfter = bytes;
}

std::uint32_t TDClientSock::QuietMs() {
  std::chrono::steady_clock::time_point last;
  {
    platform::MutexLock hold(RecvMutex);
    last = LastArrival;
  }
  const auto quiet = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - last);
  return quiet.count() >= 0xFFFFFFFF ? 0xFFFFFFFFu : std::uint32_t(quiet.count());
}

void TDClientSock::AppendReceivedLocked(std::unique_ptr<char[]> block, std::size_t length) {
  RecvBuffer.push_back(TReceivedBlock{std::move(block), length});
  RecvBytes += length;
  LastArrival = std::chrono::steady_clock::now();
}

std::unique_ptr<char[]> TDClientSock::TakeFreeBlockLocked() {
  if (FreeBlocks.empty()) return nullptr;
  std::unique_ptr<char[]> next = std::move(FreeBlocks.back());
  FreeBlocks.pop_back();
  return next;
}

bool TDClientSock::StepAsideWhileCallersReceive() {
  for (;;) {
    bool steppedAside = false;
    {
      platform::MutexLock hold(RecvMutex);
      if (Stopping) return false;
      const auto now = std::chrono::steady_clock::now();
      if (Receiving == Receiver::Reader) {
        if (!AsideWanted) return true;
        Receiving = Receiver::ReaderAside;
        LastHereReceive = now;
        steppedAside = true;
      } else if (Receiving == Receiver::ReaderAside && !AsideHeld &&
                 now - LastHereReceive >= std::chrono::milliseconds(ReaderAsideMs)) {
        Receiving = Receiver::Reader;
        AsideWanted = false;
        return true;
      }
    }
    // The caller that asked may be asleep on a notification: for a reply
    // this reader will now never receive, or held back for a large frame.
    // Woken, it finds the reader aside and receives the rest itself.
    if (steppedAside) OnReceive.Notify(this);
    ReaderWake.WaitFor(ReaderAsideMs);
  }
}

void TDClientSock::HoldReaderAside(bool hold) {
  platform::MutexLock lock(RecvMutex);
  AsideHeld = hold;
  LastHereReceive = std::chrono::steady_clock::now();
}

TDClientSock::HereResult TDClientSock::ReceiveHere(std::uint32_t timeoutMs) {
  std::unique_ptr<char[]> block;
  std::uint32_t firstWaitMs = timeoutMs;
  for (;;) {
    {
      platform::MutexLock hold(RecvMutex);
      if (Receiving == Receiver::Reader) AsideWanted = true;
      // What is here already comes first, whoever received it: a reader
      // paused at UndeliveredCap goes on only once it is taken.
      if (RecvBytes > 0 || Receiving != Receiver::ReaderAside || Stopping) {
        if (block != nullptr) RecycleBlockLocked(std::move(block));
        if (RecvBytes == 0) return HereResult::ReaderReceives;
        LastHereReceive = std::chrono::steady_clock::now();
        return HereResult::Received;
      }
      // Room for the block's entry first, so that a received block can
      // always be kept: a lack of memory then throws before anything is
      // received.
      RecvBuffer.reserve(RecvBuffer.size() + 1);
      if (block == nullptr) block = TakeFreeBlockLocked();
      if (block != nullptr) {
        Receiving = Receiver::Caller;
        // The rest of a large frame is usually there already: asked for at
        // once, it spares the wait's own system call.
        firstWaitMs = LastHereFilled ? 0 : timeoutMs;
        break;
      }
    }
    // None to reuse: allocated outside the lock, then everything above is
    // looked at again.
    block.reset(new char[ReceiveBlockSize]);
  }
  // The use keeps the descriptor from being closed and reused meanwhile.
  const bool mayUseSocket = TakeSocketUse();
  long n = -1;
  if (mayUseSocket) {
    n = platform::SocketRecvWithin(SocketHandle, block.get(), ReceiveBlockSize, firstWaitMs);
    if (n == platform::ReceiveNothingYet && firstWaitMs != timeoutMs) {
      n = platform::SocketRecvWithin(SocketHandle, block.get(), ReceiveBlockSize, timeoutMs);
    }
  }
  if (mayUseSocket) ReleaseSocketUse();
  HereResult result = HereResult::Received;
  {
    platform::MutexLock hold(RecvMutex);
    if (n == platform::ReceiveNothingYet) {
      RecycleBlockLocked(std::move(block));
      Receiving = Receiver::ReaderAside;
      result = HereResult::Quiet;
    } else if (n > 0) {
      AppendReceivedLocked(std::move(block), static_cast<std::size_t>(n));
      Receiving = Receiver::ReaderAside;
    } else {
      // The reader's own receive then finds the end too, and tears the
      // connection down as it always does.
      RecycleBlockLocked(std::move(block));
      Receiving = Receiver::Reader;
      AsideWanted = false;
      result = HereResult::Ended;
    }
    LastHereReceive = std::chrono::steady_clock::now();
    LastHereFilled = n == long(ReceiveBlockSize);
  }
  if (result == HereResult::Ended) {
    Connected = false;
    ReaderWake.Release();
  }
  return result;
}

void TDClientSock::RecycleBlockLocked(std::unique_ptr<char[]> block) noexcept {
  if (FreeBlocks.size() >= MaxFreeBlocks) return;
  try {
    FreeBlocks.push_back(std::move(block));
  } catch (...) {
    // No room to keep it: the storage is simply freed.
  }
}

void TDClientSock::RecycleLocked(TReceivedBlocks& spent) noexcept {
  for (TReceivedBlock& block : spent) {
    if (block.Storage != nullptr) RecycleBlockLocked(std::move(block.Storage));
  }
  spent.clear();
}

void TDClientSock::HoldSocketStateForFork() { SocketMutex.Lock(); }

void TDClientSock::ReleaseSocketStateAfterFork() { SocketMutex.Unlock(); }

void TDClientSock::ForgetInForkChild() {
  SocketMutex.ResetInForkChild();
  if (!SocketClosed) platform::SocketClose(SocketHandle);
  SocketClosed = true;
  SocketUsers = 0;
}

}  // namespace velmora::transport
