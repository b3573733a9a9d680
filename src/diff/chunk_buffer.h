// An accumulating receive buffer that chunks are cut off the front of.
//
// It behaves as a byte string that grows at the back and shrinks at the front,
// but cutting is done by advancing a read offset, so cutting many small chunks
// costs time linear in the bytes cut, not in the bytes left behind. The spent
// front is compacted lazily, once it outweighs what is still unread.
//
// The storage is kept when the buffer empties, so a stream of replies of
// similar size reuses the same memory. Once the length of the frame at the
// front is known, appending makes room for the whole frame in one step
// (up to ReserveLimit) instead of growing by doubling and copying.
// One thread at a time.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velmora::diff {

class TChunkBuffer {
 public:
  // Frames claiming more than this grow by doubling as bytes arrive, so a
  // hostile length field cannot make the buffer reserve gigabytes up front.
  static constexpr std::size_t ReserveLimit = std::size_t(64) << 20;

  TChunkBuffer() = default;
  // A buffer that reserves whole frames only up to `reserveLimit` bytes, for
  // an owner that keeps larger frames elsewhere.
  explicit TChunkBuffer(std::size_t reserveLimit) : FrameReserveLimit(reserveLimit) {}

  bool empty() const { return Bytes.size() == Offset; }
  std::size_t size() const { return Bytes.size() - Offset; }
  std::string_view view() const { return std::string_view(Bytes).substr(Offset); }

  // Appends received bytes; an empty buffer takes them over without a copy.
  void Append(std::string&& bytes);
  void Append(std::string_view bytes);

  // Drops the first n bytes (n <= size()).
  void Consume(std::size_t n);

  // Removes and returns the first n bytes (n <= size()); the whole content is
  // handed over by move when n == size().
  std::string Take(std::size_t n);

  void Clear();

 private:
  void Compact();
  // Makes room for `more` bytes beyond the present ones.
  void Reserve(std::string_view more);

  std::string Bytes;
  std::size_t Offset = 0;
  std::size_t FrameReserveLimit = ReserveLimit;
};

// CutChunkBytes on a TChunkBuffer: the bytes of one complete framed chunk, or
// an empty string when none is complete yet (the buffer is then unchanged).
std::string CutChunkBytes(TChunkBuffer& buffer);

}  // namespace velmora::diff
