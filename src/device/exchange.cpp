#include "device/exchange.h"

#include <algorithm>
#include <memory>
#include <string>
#include <utility>

#include "diff/chunk_builder.h"
#include "diff/wire_vocabulary.h"

namespace velmora::device {

namespace {

// A frame at the front that claims more than the largest frame is cut off
// at once, the bytes of it still to come included, rather than collected.
void RefuseOversizedFrame(TVClientSock& h) {
  const std::string_view front = h.ReplyBuffer.view();
  if (front.size() < 8 || diff::ClaimedBodyLength(front) <= wire::LargestFrameBody) return;
  const std::uint64_t frame = 8 + std::uint64_t(diff::ClaimedBodyLength(front));
  const std::size_t present = std::size_t(std::min<std::uint64_t>(front.size(), frame));
  h.ReplyBuffer.Consume(present);
  h.DiscardAhead = frame - present;
  throw diff::EDIFFBufferError("Frame body of " + std::to_string(frame - 8) +
                               " bytes exceeds the largest frame.");
}

// The next complete chunk at the front of ReplyBuffer, or null. Throws the
// codec's error for a frame that does not parse (already cut off).
std::unique_ptr<diff::TDIFFChunk> NextChunk(TVClientSock& h) {
  if (h.ReplyBuffer.empty()) return nullptr;
  RefuseOversizedFrame(h);
  return diff::ExtractChunk(h.ReplyBuffer, h.SparePayload);
}

// The payload's storage serves the next reply; the chunk itself still goes.
void Recycle(TVClientSock& h, diff::TDIFFChunk& chunk) {
  if (chunk.Payload.capacity() > h.SparePayload.capacity()) h.SparePayload.swap(chunk.Payload);
}

// Everything received so far, appended to ReplyBuffer in order; false when
// nothing had arrived. Blocks whose bytes are in ReplyBuffer go back to the
// reader at the next take; if memory runs out part way, the blocks not yet
// appended stay first in line.
bool TakeIntoReplyBuffer(TVClientSock& h) {
  h.Sock->TakeReceivedBlocks(h.Received, h.Spent);
  if (h.Received.empty()) return false;
  std::size_t done = 0;
  try {
    for (; done < h.Received.size(); ++done) {
      std::string_view bytes = h.Received[done].View();
      if (h.DiscardAhead > 0) {
        const std::size_t skip = std::size_t(std::min<std::uint64_t>(h.DiscardAhead, bytes.size()));
        h.ReplyBuffer.Append(bytes.substr(skip));
        h.DiscardAhead -= skip;  // only once appended: a retry must skip the same bytes
      } else {
        h.ReplyBuffer.Append(bytes);
      }
    }
  } catch (...) {
    h.Received.erase(h.Received.begin(), h.Received.begin() + std::ptrdiff_t(done));
    throw;
  }
  h.Spent.swap(h.Received);
  return true;
}

// Whether ReplyBuffer already holds a frame to work on, so that taking more
// from the transport can wait.
bool FrameAtFront(const TVClientSock& h) {
  return diff::CompleteFrameLength(h.ReplyBuffer.view()) != 0 ||
         (h.ReplyBuffer.size() >= 8 &&
          diff::ClaimedBodyLength(h.ReplyBuffer.view()) > wire::LargestFrameBody);
}

}  // namespace

std::string BuildRequest(std::string_view tag, std::string_view headerName,
                         std::string headerValue, bool withHeader, std::string payload) {
  diff::HeaderList headers;
  if (withHeader) headers.emplace_back(std::string(headerName), std::move(headerValue));
  return diff::SerializeChunk(tag, std::move(headers), std::move(payload));
}

void Resync(TVClientSock& h) {
  h.ReplyBuffer.Clear();
  std::string retry = BuildRequest(wire::tag::Retry);
  h.Received.clear();  // blocks not yet appended are discarded with the rest
  for (int i = 0; i < 4; ++i) {
    platform::YieldTimeSlice();
    h.Sock->TakeReceivedBlocks(h.Received, h.Spent);
    h.Spent.swap(h.Received);
  }
  h.Sock->QueueSend(std::move(retry));
}

std::int32_t Exchange(TVClientSock& h, std::string request, std::string_view successTag,
                      SuccessAction& action, const OutputCells& cells) {
  // Drain, then take what was received: a block that lands between the two
  // is taken before any wait, and its signal only costs one empty wake-up.
  // Nothing more is taken while a frame is ready: the bytes behind it wait in
  // the transport, whose cap then bounds what a device can make us hold.
  while (h.ReplySignal.WaitFor(0) == platform::Semaphore::WaitResult::Signaled) {
  }
  if (!FrameAtFront(h)) TakeIntoReplyBuffer(h);
  h.Sock->QueueSend(std::move(request));

  bool retried = false;
  std::int32_t result = ErrorTimeout;
  // Each pass takes received bytes, waits a full TimeoutMs or consumes a
  // chunk, and at most two chunks are consumed, so the loop ends once the
  // device falls silent; a trickle of bytes that never completes a chunk
  // keeps the call alive.
  for (;;) {
    std::unique_ptr<diff::TDIFFChunk> chunk;
    try {
      chunk = NextChunk(h);
      if (chunk == nullptr) {
        if (TakeIntoReplyBuffer(h)) continue;
        if (h.ReplySignal.WaitFor(static_cast<std::uint32_t>(h.TimeoutMs)) !=
            platform::Semaphore::WaitResult::Signaled) {
          break;
        }
        continue;
      }
    } catch (const diff::EDIFFError&) {
      result = ErrorReadFault;
      break;
    }
    struct RecycleOnExit {
      TVClientSock& H;
      diff::TDIFFChunk& Chunk;
      ~RecycleOnExit() { Recycle(H, Chunk); }
    } recycle{h, *chunk};

    if (chunk->Tag == successTag) {
      result = action.OnSuccess(*chunk);
      if (result != ErrorSuccess) cells.Clear();
      break;
    }
    if (chunk->Tag == wire::tag::NoWork) {
      result = ErrorBadNetResp;
      cells.Clear();
      platform::SetLastError(
          static_cast<std::uint32_t>(diff::BytesToInt(chunk->GetHeaderValue(wire::header::Status))));
      break;
    }
    if (chunk->Tag == wire::tag::IoError) {
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
    h.ReplyBuffer.Clear();
    break;
  }
  if (result == ErrorTimeout || result == ErrorReadFault) cells.Clear();
  return result;
}

}  // namespace velmora::device
