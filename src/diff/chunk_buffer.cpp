#include "diff/chunk_buffer.h"

#include <algorithm>
#include <utility>

#include "diff/diff_tags.h"

namespace velmora::diff {

void TChunkBuffer::Append(std::string&& bytes) {
  if (bytes.empty()) return;
  if (empty()) {
    Bytes = std::move(bytes);
    Offset = 0;
    return;
  }
  Append(std::string_view(bytes));
}

void TChunkBuffer::Append(std::string_view bytes) {
  if (bytes.empty()) return;
  if (Offset > 0 && Offset >= Bytes.size() - Offset) Compact();
  if (Bytes.capacity() - Bytes.size() < bytes.size()) Reserve(bytes);
  Bytes.append(bytes.data(), bytes.size());
}

void TChunkBuffer::Reserve(std::string_view more) {
  const std::size_t need = Bytes.size() + more.size();
  std::size_t want = std::max(need, 2 * Bytes.capacity());
  // The front frame's length is in its bytes 4 to 7, which may only now be
  // arriving.
  const std::size_t unread = size();
  if (unread + more.size() >= 8) {
    char frame[8];
    for (std::size_t i = 0; i < 8; ++i) frame[i] = i < unread ? Bytes[Offset + i] : more[i - unread];
    const std::size_t length = 8 + std::size_t(ReadU32(frame + 4));
    if (length <= FrameReserveLimit) want = std::max(need, Offset + length);
  }
  Bytes.reserve(want);
}

void TChunkBuffer::Consume(std::size_t n) {
  Offset += n;
  if (Offset == Bytes.size()) {
    // Keep the allocation: the next reply usually needs as much again.
    Bytes.clear();
    Offset = 0;
  }
}

std::string TChunkBuffer::Take(std::size_t n) {
  if (n == size()) {
    std::string whole = Offset == 0 ? std::move(Bytes) : Bytes.substr(Offset);
    Bytes = std::string();
    Offset = 0;
    return whole;
  }
  std::string front = Bytes.substr(Offset, n);
  Consume(n);
  return front;
}

void TChunkBuffer::Clear() {
  Bytes.clear();
  Offset = 0;
}

void TChunkBuffer::Compact() {
  Bytes.erase(0, Offset);
  Offset = 0;
}

std::string CutChunkBytes(TChunkBuffer& buffer) {
  const std::size_t n = CompleteFrameLength(buffer.view());
  if (n == 0) return std::string();
  return buffer.Take(n);
}

}  // namespace velmora::diff
