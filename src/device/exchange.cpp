#include "device/exchange.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "diff/chunk_builder.h"
#include "diff/wire_vocabulary.h"

namespace velmora::device {

std::string BuildRequest(std::string_view tag, std::string_view headerName,
                         std::string headerValue, bool withHeader, std::string payload) {
  diff::HeaderList headers;
  if (withHeader) headers.emplace_back(std::string(headerName), std::move(headerValue));
  return diff::SerializeChunk(tag, std::move(headers), std::move(payload));
}

namespace {

// How long a caller watches for its reply before it goes to sleep, when the
// handle's last reply came within that time. A device on this machine or a
// near network answers in tens of microseconds, and waking a sleeping caller
// on another CPU costs about as much again; watching (giving the CPU away at
// every turn, so the threads that produce the reply are never held up)
// spares that wake-up. Slower devices are never watched for.
constexpr std::uint32_t ReplyWatchUs = 100;
// Only a call that entered the library within this time of the handle's
// last exchange, and whose last reply was small, watches (time spent waiting
// for the library lock does not count: that host is waiting on the device).
// A host that paused in between (a stream that found nothing new) is not
// held up by a wake-up, and the time of a large reply goes to moving its
// bytes: either way watching would only cost CPU time, a stream's most of all.
constexpr auto WatchAfterGap = std::chrono::microseconds(100);
constexpr std::size_t LargeReplyBytes = 4096;
// How long a wait for the reader's signal lasts before it looks again.
constexpr std::uint32_t SignalSliceMs = 10;

using Here = transport::TDClientSock::HereResult;

std::uint32_t MicrosecondsSince(std::chrono::steady_clock::time_point start) {
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count();
  return us >= std::int64_t(UINT32_MAX) ? UINT32_MAX : std::uint32_t(us);
}

// Watches for up to ReplyWatchUs: bytes received on this thread, or the
// reader's hint. Quiet when neither came; ReaderReceives when the reader
// signalled (the wait then consumes its signal at once).
Here WatchForReply(TVClientSock& h, std::chrono::steady_clock::time_point start) {
  for (;;) {
    const Here here = h.Sock->ReceiveHere(0);
    const bool hinted =
        here == Here::ReaderReceives && h.ReplyHint.exchange(false, std::memory_order_acquire);
    if (here == Here::Received || here == Here::Ended || hinted) {
      return here;
    }
    if (MicrosecondsSince(start) >= ReplyWatchUs) return Here::Quiet;
    platform::YieldTimeSlice();
  }
}

// Waits for received bytes: on this thread when the reader has stepped
// aside, else for ReplySignal. False once a whole TimeoutMs has passed
// without a received block, or once the link has ended. Blocks of a large
// frame are not signalled one by one, so a wait that ran out while they were
// arriving goes on until TimeoutMs after the last of them.
bool WaitForReply(TVClientSock& h, bool mayWatch) {
  const auto start = std::chrono::steady_clock::now();
  const auto timeout = static_cast<std::uint32_t>(h.TimeoutMs);
  Here watched = Here::Quiet;
  if (mayWatch && h.LastReplyWaitUs < ReplyWatchUs) watched = WatchForReply(h, start);
  std::uint32_t wait = timeout;
  for (;;) {
    // Read before the look: a reader that ended kept every byte it received
    // before it marked the link down, so the look finds them.
    const bool looked = watched == Here::Quiet;
    const bool linkUp = h.Sock->Connected;
    const Here here = looked ? h.Sock->ReceiveHere(wait) : watched;
    watched = Here::Quiet;
    bool arrived = here == Here::Received;
    // A reader that met the end installs no notification, so its ending is
    // seen here, at the latest one slice later, rather than at the time-out.
    if (here == Here::Ended || (looked && here == Here::ReaderReceives && !linkUp)) {
      h.LastReplyWaitUs = UINT32_MAX;
      return false;
    }
    if (here == Here::ReaderReceives) {
      // In slices: the reader may step aside or pause meanwhile, and the
      // next look then finds the bytes or receives them here.
      const std::uint32_t slice = std::min(wait, SignalSliceMs);
      arrived = h.ReplySignal.WaitFor(slice) == platform::Semaphore::WaitResult::Signaled;
      if (!arrived && slice < wait) {
        wait -= slice;
        continue;
      }
    }
    if (arrived) {
      h.LastReplyWaitUs = MicrosecondsSince(start);
      return true;
    }
    h.LastReplyWaitUs = UINT32_MAX;
    if (h.Replies.GatheringFrame() == 0) return false;
    const std::uint32_t quiet = h.Sock->QuietMs();
    if (quiet >= timeout) return false;
    wait = timeout - quiet;
  }
}

}  // namespace

void Resync(TVClientSock& h) {
  h.Replies.Clear();
  std::string retry = BuildRequest(wire::tag::Retry);
  for (int i = 0; i < 4; ++i) {
    platform::YieldTimeSlice();
    h.Sock->ReceiveHere(0);
    h.Replies.DiscardArrived(*h.Sock);
  }
  h.Sock->QueueSend(std::move(retry));
}

std::int32_t Exchange(TVClientSock& h, std::string request, std::string_view successTag,
                      SuccessAction& action, const OutputCells& cells) {
  struct QueueString : RequestSender {
    std::string& Request;
    explicit QueueString(std::string& request) : Request(request) {}
    std::int32_t Send(TVClientSock& h) override {
      h.Sock->QueueSend(std::move(Request));
      return ErrorSuccess;
    }
  } sender(request);
  return ExchangeSent(h, sender, successTag, action, cells);
}

std::int32_t ExchangeSent(TVClientSock& h, RequestSender& sender, std::string_view successTag,
                          SuccessAction& action, const OutputCells& cells) {
  // Drain, then take what was received: a block that lands between the two
  // is taken before any wait, and its signal only costs one empty wake-up.
  // Nothing more is taken while a frame is ready: the bytes behind it wait in
  // the transport, whose cap then bounds what a device can make us hold.
  const bool mayWatch = h.CallEntered - h.LastExchangeEnd < WatchAfterGap && !h.LastReplyLarge;
  struct DuringExchange {
    TVClientSock& Handle;
    explicit DuringExchange(TVClientSock& handle) : Handle(handle) { Handle.Sock->HoldReaderAside(true); }
    ~DuringExchange() {
      Handle.Sock->HoldReaderAside(false);
      Handle.LastExchangeEnd = std::chrono::steady_clock::now();
    }
  } during(h);
  h.ReplyHint.store(false, std::memory_order_relaxed);
  while (h.ReplySignal.WaitFor(0) == platform::Semaphore::WaitResult::Signaled) {
  }
  if (!h.Replies.FrameReady()) h.Replies.TakeArrived(*h.Sock);
  if (const std::int32_t failed = sender.Send(h); failed != ErrorSuccess) return cells.Refuse(failed);

  bool retried = false;
  bool wokeNext = false;  // once per exchange: a "RETRY" reply needs no second wake
  std::int32_t result = ErrorTimeout;
  // Each pass takes received bytes, waits a full TimeoutMs or consumes a
  // chunk, and at most two chunks are consumed, so the loop ends once the
  // device falls silent; a trickle of bytes that never completes a chunk
  // keeps the call alive.
  for (;;) {
    TReply reply;
    try {
      if (!h.Replies.Next(reply)) {
        if (h.Replies.TakeArrived(*h.Sock)) continue;
        if (!WaitForReply(h, mayWatch)) break;
        continue;
      }
    } catch (const diff::EDIFFError&) {
      result = ErrorReadFault;
      break;
    }
    struct RecycleOnExit {
      ReplyStream& Replies;
      TReply& Reply;
      ~RecycleOnExit() { Replies.Recycle(Reply); }
    } recycle{h.Replies, reply};
    const std::string& tag = reply.Chunk->Tag;
    h.LastReplyLarge = reply.PayloadSize >= LargeReplyBytes;
    if (!wokeNext && LibraryMutex != nullptr && LibraryMutex->Valid()) LibraryMutex->WakeNextInLine();
    wokeNext = true;

    if (tag == successTag) {
      result = action.OnSuccess(reply);
      if (result != ErrorSuccess) cells.Clear();
      break;
    }
    if (tag == wire::tag::NoWork) {
      result = ErrorBadNetResp;
      cells.Clear();
      platform::SetLastError(
          static_cast<std::uint32_t>(diff::BytesToInt(reply.Chunk->GetHeaderValue(wire::header::Status))));
      break;
    }
    if (tag == wire::tag::IoError) {
      result = ErrorBadDevType;
      cells.Clear();
      break;
    }
    if (!retried) {
      retried = true;
      Resync(h);
      continue;
    }
    result = ErrorInvalidData;
    cells.Clear();
    h.Replies.Clear();
    break;
  }
  if (result == ErrorTimeout || result == ErrorReadFault) cells.Clear();
  return result;
}

}  // namespace velmora::device
