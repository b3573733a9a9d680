#include "diff/diff_tags.h"

#include <utility>

#include "diff/diff_errors.h"

namespace velmora::diff {

const unsigned char TagAlphabet[64] = {
    0x00, 0x20, 0x28, 0x29, 0x5B, 0x5D, 0x5C, 0x7C,  // NUL space ( ) [ ] \ |
    0x2F, 0x3F, 0x21, 0x95, 0x3B, 0x3A, 0x2C, 0x2E,  // / ? ! bullet ; : , .
    '0',  '1',  '2',  '3',  '4',  '5',  '6',  '7',  '8', '9',
    'A',  'B',  'C',  'D',  'E',  'F',  'G',  'H',  'I', 'J', 'K', 'L', 'M',
    'N',  'O',  'P',  'Q',  'R',  'S',  'T',  'U',  'V', 'W', 'X', 'Y', 'Z',
    0x2B, 0xB1, 0x2D, 0x3D,                          // + plus-minus - =
    0x7E, 0x7E, 0x7E, 0x7E, 0x7E, 0x7E, 0x7E, 0x7E,  // ~ eight times
};

namespace {
std::uint8_t ReverseTable[256];
}

void BuildReverseTable() {
  for (auto& code : ReverseTable) code = 0;
  // Ascending order on purpose: later codes overwrite earlier ones, so "~" maps to 63.
  for (int code = 0; code < 64; ++code) ReverseTable[TagAlphabet[code]] = std::uint8_t(code);
}

std::uint8_t TagCode(unsigned char byte) { return ReverseTable[byte]; }

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
