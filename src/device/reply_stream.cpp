#include "device/reply_stream.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "diff/wire_vocabulary.h"

namespace velmora::device {

namespace {

// The bytes of one frame, spread over a run of views.
class FramePieces {
 public:
  FramePieces(std::string_view first, const transport::TReceivedBlocks& rest, std::size_t length) {
    std::size_t left = length;
    const auto add = [&](std::string_view bytes) {
      if (left == 0 || bytes.empty()) return;
      bytes = bytes.substr(0, std::min(bytes.size(), left));
      Pieces.push_back(bytes);
      left -= bytes.size();
    };
    add(first);
    for (const transport::TReceivedBlock& block : rest) add(block.View());
  }

  // Copies `n` bytes from frame offset `from`; the caller keeps within the frame.
  void Copy(std::size_t from, std::size_t n, char* out) const {
    for (std::string_view piece : Pieces) {
      if (n == 0) return;
      if (from >= piece.size()) {
        from -= piece.size();
        continue;
      }
      const std::size_t take = std::min(n, piece.size() - from);
      std::copy_n(piece.data() + from, take, out);
      out += take;
      n -= take;
      from = 0;
    }
  }

  std::uint32_t U32At(std::size_t at) const {
    char bytes[4];
    Copy(at, 4, bytes);
    return diff::ReadU32(bytes);
  }

  // The views of the bytes from `from` on.
  std::vector<std::string_view> From(std::size_t from) const {
    std::vector<std::string_view> out;
    for (std::string_view piece : Pieces) {
      if (from >= piece.size()) {
        from -= piece.size();
        continue;
      }
      out.push_back(piece.substr(from));
      from = 0;
    }
    return out;
  }

 private:
  std::vector<std::string_view> Pieces;
};

}  // namespace

bool ReplyStream::TakeArrived(transport::TDClientSock& sock) {
  Settle();
  sock.TakeReceivedBlocks(Received, Spent);
  if (Received.empty()) return false;
  AbsorbReceived();
  // The rest of a large frame arrives in many blocks: one wake-up when it
  // is all there is enough.
  if (GatherLength != 0 && Buffer.size() + HeldBytes < GatherLength) {
    sock.NotifyOnceBuffered(GatherLength - Buffer.size() - HeldBytes);
  }
  return true;
}

void ReplyStream::AbsorbReceived() {
  Held.reserve(Held.size() + Received.size());  // so keeping a block cannot fail
  std::size_t done = 0;
  try {
    for (; done < Received.size(); ++done) {
      transport::TReceivedBlock& block = Received[done];
      std::string_view bytes = block.View();
      const std::size_t skip = std::size_t(std::min<std::uint64_t>(DiscardAhead, bytes.size()));
      Absorb(block, bytes.substr(skip));
      DiscardAhead -= skip;  // only once absorbed: a retry must skip the same bytes
    }
  } catch (...) {
    Received.erase(Received.begin(), Received.begin() + std::ptrdiff_t(done));
    throw;
  }
  Retire(Received);
}

void ReplyStream::Absorb(transport::TReceivedBlock& block, std::string_view bytes) {
  if (GatherLength != 0) {  // no bytes are being skipped while a frame is gathered
    HeldBytes += block.Length;
    Held.push_back(std::move(block));
    return;
  }
  Buffer.Append(bytes);
  CheckForLargeFrame();
}

void ReplyStream::CheckForLargeFrame() {
  if (GatherLength != 0 || Buffer.size() < 8) return;
  const std::uint32_t body = diff::ClaimedBodyLength(Buffer.view());
  if (body > wire::LargestFrameBody) return;  // refused by Next
  const std::size_t length = 8 + std::size_t(body);
  if (length >= GatherFrom && Buffer.size() < length) GatherLength = length;
}

void ReplyStream::Retire(transport::TReceivedBlocks& blocks) noexcept {
  if (Spent.empty()) {
    Spent.swap(blocks);
    return;
  }
  try {
    Spent.insert(Spent.end(), std::make_move_iterator(blocks.begin()),
                 std::make_move_iterator(blocks.end()));
  } catch (...) {
    // No room to hand them back: their storage is freed instead.
  }
  blocks.clear();
}

void ReplyStream::Settle() {
  if (!GatheredConsumed) return;
  // The frame's blocks are read again from the start, ahead of anything
  // taken after them, skipping the frame's own bytes.
  Held.insert(Held.end(), std::make_move_iterator(Received.begin()),
              std::make_move_iterator(Received.end()));
  Received.clear();
  Received.swap(Held);
  DiscardAhead = GatherLength - Buffer.size();
  Buffer.Clear();
  GatherLength = 0;
  HeldBytes = 0;
  GatheredConsumed = false;
  AbsorbReceived();
}

bool ReplyStream::FrameReady() {
  Settle();
  if (GatherLength != 0) return Buffer.size() + HeldBytes >= GatherLength;
  return diff::CompleteFrameLength(Buffer.view()) != 0 ||
         (Buffer.size() >= 8 && diff::ClaimedBodyLength(Buffer.view()) > wire::LargestFrameBody);
}

void ReplyStream::RefuseOversizedFrame() {
  const std::string_view front = Buffer.view();
  if (front.size() < 8 || diff::ClaimedBodyLength(front) <= wire::LargestFrameBody) return;
  const std::uint64_t frame = 8 + std::uint64_t(diff::ClaimedBodyLength(front));
  const std::size_t present = std::size_t(std::min<std::uint64_t>(front.size(), frame));
  Buffer.Consume(present);
  DiscardAhead = frame - present;
  throw diff::EDIFFBufferError("Frame body of " + std::to_string(frame - 8) +
                               " bytes exceeds the largest frame.");
}

bool ReplyStream::Next(TReply& reply) {
  Settle();
  if (GatherLength != 0) return NextGathered(reply);
  if (Buffer.empty()) return false;
  RefuseOversizedFrame();
  struct LookAheadOnExit {
    ReplyStream& Stream;
    ~LookAheadOnExit() { Stream.CheckForLargeFrame(); }
  } lookAhead{*this};
  reply.Chunk = diff::ExtractChunk(Buffer, SparePayload);
  if (reply.Chunk == nullptr) return false;
  reply.Payload.assign(1, reply.Chunk->Payload);
  reply.PayloadSize = reply.Chunk->Payload.size();
  reply.Gathered = false;
  return true;
}

bool ReplyStream::NextGathered(TReply& reply) {
  if (Buffer.size() + HeldBytes < GatherLength) return false;
  // Cut off whatever the parse says; the blocks stay until Settle.
  GatheredConsumed = true;
  const FramePieces frame(Buffer.view(), Held, GatherLength);
  auto chunk = std::make_unique<diff::TDIFFChunk>();
  chunk->Create();
  const std::size_t start = diff::PayloadOffset(
      frame.U32At(0), GatherLength, [&](std::size_t at) { return frame.U32At(at); });
  // A frame whose layout does not add up is parsed whole, so that the codec
  // reports it exactly as for any other frame.
  std::string head(start == 0 ? GatherLength : start, '\0');
  frame.Copy(0, head.size(), head.data());
  if (start != 0) diff::WriteU32(head.data() + 4, std::uint32_t(start - 8));
  chunk->LoadFromString(head);
  reply.Chunk = std::move(chunk);
  if (start == 0) {
    reply.Payload.assign(1, reply.Chunk->Payload);
    reply.PayloadSize = reply.Chunk->Payload.size();
  } else {
    reply.Payload = frame.From(start);
    reply.PayloadSize = GatherLength - start;
  }
  reply.Gathered = true;
  return true;
}

void ReplyStream::Recycle(TReply& reply) noexcept {
  if (reply.Chunk != nullptr && !reply.Gathered &&
      reply.Chunk->Payload.capacity() > SparePayload.capacity()) {
    SparePayload.swap(reply.Chunk->Payload);
  }
  reply.Chunk.reset();
  reply.Payload.clear();
  reply.PayloadSize = 0;
  reply.Gathered = false;
}

void ReplyStream::Clear() noexcept {
  Buffer.Clear();
  Received.clear();
  Retire(Held);
  HeldBytes = 0;
  GatherLength = 0;
  GatheredConsumed = false;
}

void ReplyStream::DiscardArrived(transport::TDClientSock& sock) {
  sock.TakeReceivedBlocks(Received, Spent);
  Retire(Received);
}

std::size_t ReplyStream::Buffered() {
  Settle();
  return Buffer.size() + HeldBytes;
}

}  // namespace velmora::device
