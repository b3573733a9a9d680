// The bytes a device has sent on one handle and not yet consumed as replies.
//
// Small frames are collected in one contiguous buffer and parsed from it.
// A frame of GatherFrom bytes or more stays in the receive blocks it
// arrived in: only its tag, headers and children are parsed, and its payload
// is handed out as the runs of bytes inside those blocks, so the one copy a
// caller makes of it is the only copy after the socket's. The blocks go back
// to the transport once the reply has been recycled.
//
// Only the thread running an exported call on the handle touches it, with
// the handle's lock held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "diff/chunk_buffer.h"
#include "diff/diff_chunk.h"
#include "transport/client_sock.h"

namespace velmora::device {

// One reply chunk. Its payload is read through Payload: for a frame kept in
// its receive blocks, Chunk->Payload stays empty.
struct TReply {
  std::unique_ptr<diff::TDIFFChunk> Chunk;
  std::vector<std::string_view> Payload;  // the payload's bytes, in order
  std::size_t PayloadSize = 0;
  bool Gathered = false;
};

class ReplyStream {
 public:
  // Frames from this length on are kept in their receive blocks.
  static constexpr std::size_t GatherFrom = std::size_t(256) << 10;

  // Takes every block the transport has received, in order. False when
  // nothing had arrived. On an exception (memory) no byte is lost: blocks
  // not yet absorbed are kept for the next take. While a large frame is
  // incomplete, asks the transport to wake the caller once when it is.
  bool TakeArrived(transport::TDClientSock& sock);

  // Whether the front already holds a whole frame to work on (or one to
  // refuse), so that taking more from the transport can wait.
  bool FrameReady();

  // The next complete reply at the front; false when none is complete yet.
  // A frame that does not parse, or claims more than the largest frame, is
  // cut off first and then reported by the codec's exception; the bytes of
  // an oversized frame still to come are dropped as they arrive.
  bool Next(TReply& reply);

  // Done with `reply` (which is left empty): its storage serves the replies
  // that follow. Call it before the next Next.
  void Recycle(TReply& reply) noexcept;

  // Drops everything buffered and taken so far.
  void Clear() noexcept;

  // Takes what the transport has received and drops it.
  void DiscardArrived(transport::TDClientSock& sock);

  // Bytes taken and not yet consumed as replies.
  std::size_t Buffered();

  // The frame length being gathered in blocks, 0 when none.
  std::size_t GatheringFrame() const { return GatherLength; }

 private:
  // Settles a recycled gathered reply: what followed it in its blocks is
  // read again, from the first byte after the frame.
  void Settle();
  // Takes in every block of Received, in order, after dropping DiscardAhead
  // bytes; on an exception the blocks not yet taken in stay in Received.
  void AbsorbReceived();
  // Takes in one block's bytes from `bytes` on: copied to Buffer, or, while
  // a large frame is gathered, the block itself kept in Held.
  void Absorb(transport::TReceivedBlock& block, std::string_view bytes);
  // Hands blocks back to the reader at the next take.
  void Retire(transport::TReceivedBlocks& blocks) noexcept;
  // Starts gathering when the front frame is a large one not yet complete.
  void CheckForLargeFrame();
  void RefuseOversizedFrame();
  bool NextGathered(TReply& reply);

  diff::TChunkBuffer Buffer{GatherFrom - 1};
  // Blocks taken and not yet absorbed, and blocks to hand back to the reader.
  transport::TReceivedBlocks Received;
  transport::TReceivedBlocks Spent;
  // The blocks of the frame being gathered, after the part of it in Buffer.
  transport::TReceivedBlocks Held;
  std::size_t HeldBytes = 0;
  std::size_t GatherLength = 0;
  bool GatheredConsumed = false;
  std::string SparePayload;
  // Bytes still to drop from the incoming stream: the rest of a refused
  // oversized frame, or the part of a consumed gathered frame in its blocks.
  std::uint64_t DiscardAhead = 0;
};

}  // namespace velmora::device
