#include "diff/byte_stream.h"

#include <cstring>
#include <stdexcept>

namespace velmora::diff {

std::size_t TMemoryStream::Read(void* buffer, std::size_t count) {
  if (Position >= Bytes.size()) return 0;
  const std::size_t left = Bytes.size() - static_cast<std::size_t>(Position);
  const std::size_t n = count < left ? count : left;
  if (n > 0) std::memcpy(buffer, Bytes.data() + Position, n);
  Position += n;
  return n;
}

void TMemoryStream::Write(const void* buffer, std::size_t count) {
  if (count == 0) return;
  // The position may have been set anywhere; a write whose end the string
  // cannot address must fail rather than wrap round and land inside it.
  if (Position > Bytes.max_size() || count > Bytes.max_size() - Position) {
    throw std::length_error("TMemoryStream: write past the addressable range");
  }
  const std::size_t at = static_cast<std::size_t>(Position);
  if (Bytes.size() < at + count) Bytes.resize(at + count, '\0');
  std::memcpy(Bytes.data() + at, buffer, count);
  Position += count;
}

}  // namespace velmora::diff
