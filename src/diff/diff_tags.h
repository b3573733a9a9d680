// Tag words and value encodings of the DIFF wire format.
//
// A tag word packs a 5-byte tag (6 bits per character through the tag
// alphabet) and two presence flags into 32 bits. All integers on the wire are
// little-endian. These functions are pure and thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace velmora::diff {

using ByteString = std::string;

// The 64 bytes of the tag alphabet, indexed by 6-bit code.
inline constexpr unsigned char TagAlphabet[64] = {
    0x00, 0x20, 0x28, 0x29, 0x5B, 0x5D, 0x5C, 0x7C,  // NUL space ( ) [ ] \ |
    0x2F, 0x3F, 0x21, 0x95, 0x3B, 0x3A, 0x2C, 0x2E,  // / ? ! bullet ; : , .
    '0',  '1',  '2',  '3',  '4',  '5',  '6',  '7',  '8', '9',
    'A',  'B',  'C',  'D',  'E',  'F',  'G',  'H',  'I', 'J', 'K', 'L', 'M',
    'N',  'O',  'P',  'Q',  'R',  'S',  'T',  'U',  'V', 'W', 'X', 'Y', 'Z',
    0x2B, 0xB1, 0x2D, 0x3D,                          // + plus-minus - =
    0x7E, 0x7E, 0x7E, 0x7E, 0x7E, 0x7E, 0x7E, 0x7E,  // ~ eight times
};

// Code of a byte in the tag alphabet; 0 (NUL) for bytes outside it.
std::uint8_t TagCode(unsigned char byte);

// Raises EDIFFParseError unless the tag is exactly 5 bytes long. Bytes outside
// the alphabet pack silently as code 0.
std::uint32_t PackTag(std::string_view tag, bool hasChunkList, bool hasHeader);

struct UnpackedTag {
  ByteString Tag;  // always 5 bytes
  bool HasChunkList;
  bool HasHeader;
};
UnpackedTag UnpackTag(std::uint32_t word);

ByteString IntToBytes(std::int32_t value);
ByteString LengthPrefixed(std::string_view bytes);

// 0 to 3 bytes: unsigned little-endian value; 4 or more: the first four as a
// signed 32-bit value.
std::int32_t BytesToInt(std::string_view bytes);

// Little-endian 32-bit field access; callers check bounds first.
inline std::uint32_t ReadU32(const char* p) {
  const auto* b = reinterpret_cast<const unsigned char*>(p);
  return std::uint32_t(b[0]) | (std::uint32_t(b[1]) << 8) | (std::uint32_t(b[2]) << 16) |
         (std::uint32_t(b[3]) << 24);
}
inline void WriteU32(char* p, std::uint32_t v) {
  p[0] = char(v & 0xFF);
  p[1] = char((v >> 8) & 0xFF);
  p[2] = char((v >> 16) & 0xFF);
  p[3] = char((v >> 24) & 0xFF);
}

// The body length a frame claims (its bytes 4 to 7); `bytes` holds at least 8.
inline std::uint32_t ClaimedBodyLength(std::string_view bytes) { return ReadU32(bytes.data() + 4); }

// Length of the complete frame at the front of `bytes` (8 + body length), or
// 0 when the bytes do not yet hold one. Looks only at bytes 4 to 7.
std::size_t CompleteFrameLength(std::string_view bytes);

// Cuts one complete framed chunk off the front of `buffer` and returns its
// bytes; returns an empty string and leaves `buffer` alone when no complete
// frame is present, however large the claimed length.
ByteString CutChunkBytes(ByteString& buffer);

}  // namespace velmora::diff
