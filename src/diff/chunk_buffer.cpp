#include "diff/chunk_buffer.h"

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
  Bytes.append(bytes.data(), bytes.size());
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
