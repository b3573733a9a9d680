// Byte-level helpers for the DIFF codec tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "diff/diff_chunk.h"
#include "diff_chunk_equal.h"

namespace velmora::diff::test {

// "C1 DF EA A9" -> the four bytes. Spaces are ignored.
inline std::string Hex(std::string_view text) {
  std::string out;
  int high = -1;
  for (char c : text) {
    int v;
    if (c >= '0' && c <= '9') v = c - '0';
    else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    else continue;
    if (high < 0) {
      high = v;
    } else {
      out.push_back(char(high * 16 + v));
      high = -1;
    }
  }
  return out;
}

inline std::string ToHex(std::string_view bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char b : bytes) {
    if (!out.empty()) out.push_back(' ');
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
  }
  return out;
}

inline std::string U32(std::uint32_t v) { return IntToBytes(static_cast<std::int32_t>(v)); }

// A frame: tag word, body length, body.
inline std::string Frame(std::uint32_t tagWord, std::string_view body) {
  return U32(tagWord) + U32(static_cast<std::uint32_t>(body.size())) + std::string(body);
}

// Tag words used throughout: WFREQ with has-header, and with both flags.
constexpr std::uint32_t kWfreqHeader = 0xA9EADFC1u;
constexpr std::uint32_t kWfreqList = 0xA9EADFC2u;
constexpr std::uint32_t kWfreqBoth = 0xA9EADFC3u;

// The two worked examples of the wire format.
inline std::string WfreqExample() {
  return Hex("C1 DF EA A9 16 00 00 00 12 00 00 00 01 00 00 00"
             "02 00 00 00 48 7A 04 00 00 00 E8 03 00 00");
}
inline std::string NestedExample() {
  return Hex("6A 9A A6 69 12 00 00 00 0E 00 00 00 01 00 00 00"
             "6C DB B6 6D 02 00 00 00 01 02");
}

// Loads from a heap copy of exactly the given size, so that a read past the
// end trips AddressSanitizer instead of landing in the string's spare capacity.
inline void LoadExact(TDIFFChunk& chunk, std::string_view bytes) {
  std::unique_ptr<char[]> copy(new char[bytes.size() ? bytes.size() : 1]);
  if (!bytes.empty()) std::memcpy(copy.get(), bytes.data(), bytes.size());
  chunk.LoadFromString(std::string_view(copy.get(), bytes.size()));
}

// The message of the EDIFFBufferError that loading `bytes` raises, or
// "(loaded)" when it loads.
inline std::string LoadError(std::string_view bytes) {
  auto chunk = TDIFFChunk::Make();
  try {
    LoadExact(*chunk, bytes);
  } catch (const EDIFFBufferError& e) {
    return e.Message;
  }
  return "(loaded)";
}

inline ::testing::AssertionResult SameChunk(const TDIFFChunk& a, const TDIFFChunk& b) {
  const std::string d = ChunkDifference(a, b);
  if (d.empty()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << d;
}

}  // namespace velmora::diff::test
