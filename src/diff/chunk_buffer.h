// An accumulating receive buffer that chunks are cut off the front of.
//
// It behaves as a byte string that grows at the back and shrinks at the front,
// but cutting is done by advancing a read offset, so cutting many small chunks
// costs time linear in the bytes cut, not in the bytes left behind. The spent
// front is compacted lazily, once it outweighs what is still unread.
// One thread at a time.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velmora::diff {

class TChunkBuffer {
 public:
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

  std::string Bytes;
  std::size_t Offset = 0;
};

// CutChunkBytes on a TChunkBuffer: the bytes of one complete framed chunk, or
// an empty string when none is complete yet (the buffer is then unchanged).
std::string CutChunkBytes(TChunkBuffer& buffer);

}  // namespace velmora::diff
