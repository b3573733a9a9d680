#include "diff/diff_tags.h"

#include <utility>

#include "diff/diff_errors.h"

namespace velmora::diff {

namespace {

// Byte to code, made by the compiler, so no start-up has to run before a
// tag is packed.
struct ReverseTable {
  std::uint8_t Code[256];
};

constexpr ReverseTable MakeReverseTable() {
  ReverseTable table{};
  // Ascending order on purpose: later codes overwrite earlier ones, so "~" maps to 63.
  for (int code = 0; code < 64; ++code) table.Code[TagAlphabet[code]] = std::uint8_t(code);
  return table;
}

constexpr ReverseTable Reverse = MakeReverseTable();

}  // namespace

std::uint8_t TagCode(unsigned char byte) { return Reverse.Code[byte]; }

std::uint32_t PackTag(std::string_view tag, bool hasChunkList, bool hasHeader) {
  if (tag.size() != 5) {
    throw EDIFFParseError("DIFF tag must be 5 characters; cannot pack from " +
                          std::to_string(tag.size()) + "-char string \"" + std::string(tag) +
                          "\".");
  }
  std::uint32_t word = 0;
  for (int i = 4; i >= 0; --i) word = (word << 6) | TagCode(static_cast<unsigned char>(tag[i]));
  word = (word << 1) | (hasChunkList ? 1u : 0u);
  word = (word << 1) | (hasHeader ? 1u : 0u);
  return word;
}

UnpackedTag UnpackTag(std::uint32_t word) {
  UnpackedTag result{ByteString(5, '\0'), (word & 2u) != 0, (word & 1u) != 0};
  word >>= 2;
  for (int i = 0; i < 5; ++i) {
    result.Tag[i] = static_cast<char>(TagAlphabet[word & 63u]);
    word >>= 6;
  }
  return result;
}

ByteString IntToBytes(std::int32_t value) {
  ByteString bytes(4, '\0');
  WriteU32(bytes.data(), static_cast<std::uint32_t>(value));
  return bytes;
}

ByteString LengthPrefixed(std::string_view bytes) {
  ByteString out(4 + bytes.size(), '\0');
  WriteU32(out.data(), static_cast<std::uint32_t>(bytes.size()));
  if (!bytes.empty()) out.replace(4, bytes.size(), bytes.data(), bytes.size());
  return out;
}

std::int32_t BytesToInt(std::string_view bytes) {
  const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
  switch (bytes.size()) {
    case 0: return 0;
    case 1: return b[0];
    case 2: return std::int32_t(b[0] | (b[1] << 8));
    case 3: return std::int32_t(b[0] | (b[1] << 8) | (b[2] << 16));
    default: return static_cast<std::int32_t>(ReadU32(bytes.data()));
  }
}

std::size_t CompleteFrameLength(std::string_view bytes) {
  if (bytes.size() < 8) return 0;
  const std::uint32_t body = ReadU32(bytes.data() + 4);
  // Compared as unsigned against what is present, so a claim near 4 GiB never overflows.
  if (bytes.size() - 8 < body) return 0;
  return 8 + static_cast<std::size_t>(body);
}

ByteString CutChunkBytes(ByteString& buffer) {
  const std::size_t n = CompleteFrameLength(buffer);
  if (n == 0) return ByteString();
  if (n == buffer.size()) return std::exchange(buffer, ByteString());
  ByteString chunk = buffer.substr(0, n);
  buffer.erase(0, n);
  return chunk;
}

}  // namespace velmora::diff
