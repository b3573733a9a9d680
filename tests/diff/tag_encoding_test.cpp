// Tag words, the tag alphabet and the small integer encodings.
#include <gtest/gtest.h>

#include <string>

#include "diff/diff_errors.h"
#include "diff/diff_tags.h"
#include "diff_test_support.h"

namespace velmora::diff::test {
namespace {

std::string PackError(const std::string& tag) {
  try {
    PackTag(tag, false, false);
  } catch (const EDIFFParseError& e) {
    return e.Message;
  }
  return "(packed)";
}

TEST(TagWord, KnownTagsPackToTheirWords) {
  EXPECT_EQ(PackTag("WFREQ", false, true), 0xA9EADFC1u);
  EXPECT_EQ(PackTag("RREQA", false, false), 0x6AA7ABACu);
  EXPECT_EQ(PackTag("RREQ?", false, true), 0x26A7ABADu);
  EXPECT_EQ(PackTag("AAAAA", true, false), 0x69A69A6Au);
  EXPECT_EQ(PackTag("BBBBB", false, false), 0x6DB6DB6Cu);
  EXPECT_EQ(PackTag(std::string(5, '\0'), false, false), 0u);
  EXPECT_EQ(PackTag("~~~~~", false, false), 0xFFFFFFFCu);
}

TEST(TagWord, UnpackGivesTagAndFlags) {
  UnpackedTag u = UnpackTag(0xA9EADFC1u);
  EXPECT_EQ(u.Tag, "WFREQ");
  EXPECT_TRUE(u.HasHeader);
  EXPECT_FALSE(u.HasChunkList);

  u = UnpackTag(0x26A7ABADu);
  EXPECT_EQ(u.Tag, "RREQ?");

  u = UnpackTag(0);
  EXPECT_EQ(u.Tag, std::string(5, '\0'));
  EXPECT_FALSE(u.HasHeader);
  EXPECT_FALSE(u.HasChunkList);

  // Code 56 is one of the eight "~" entries.
  u = UnpackTag(0xE3u);
  EXPECT_EQ(u.Tag, std::string("~\0\0\0\0", 5));
  EXPECT_TRUE(u.HasHeader);
  EXPECT_TRUE(u.HasChunkList);
}

TEST(TagWord, BytesOutsideTheAlphabetPackAsNul) {
  EXPECT_EQ(PackTag("wfreq", false, false), 0u);
  EXPECT_EQ(UnpackTag(PackTag("Wfr#Q", false, false)).Tag, std::string("W\0\0\0Q", 5));
}

TEST(TagWord, HighBytesOfTheAlphabetPackByTheirCode) {
  // 0x95 and 0xB1 are negative as plain char; they must still index the table.
  EXPECT_EQ(PackTag("\x95\xB1\x95\xB1\x95", false, false) >> 2,
            11u | 53u << 6 | 11u << 12 | 53u << 18 | 11u << 24);
  EXPECT_EQ(UnpackTag(PackTag("\x95\xB1\x95\xB1\x95", false, false)).Tag, "\x95\xB1\x95\xB1\x95");
}

TEST(TagWord, EveryAlphabetByteSurvivesPacking) {
  for (int code = 0; code < 64; ++code) {
    const char c = static_cast<char>(TagAlphabet[code]);
    const std::string tag = {c, 'A', c, 'Z', c};
    EXPECT_EQ(UnpackTag(PackTag(tag, false, false)).Tag, tag) << "code " << code;
    // "~" is stored eight times; the reverse table keeps the last code.
    EXPECT_EQ(TagCode(TagAlphabet[code]), code < 56 ? code : 63) << "code " << code;
  }
  int inAlphabet = 0;
  for (int b = 0; b < 256; ++b) {
    if (TagCode(static_cast<unsigned char>(b)) != 0) ++inAlphabet;
  }
  EXPECT_EQ(inAlphabet, 56);  // 63 distinct non-NUL bytes less the seven extra "~"
}

TEST(TagWord, UnpackThenPackKeepsTheWordExceptSpareTildeCodes) {
  for (std::uint32_t code = 0; code < 64; ++code) {
    const std::uint32_t word = code << 26 | code << 8 | 3u;
    const std::uint32_t expected = code >= 56 && code <= 62 ? (63u << 26 | 63u << 8 | 3u) : word;
    const UnpackedTag u = UnpackTag(word);
    EXPECT_EQ(PackTag(u.Tag, u.HasChunkList, u.HasHeader), expected) << "code " << code;
  }
}

TEST(TagWord, WrongLengthRaisesParseError) {
  EXPECT_EQ(PackError("ABC"), "DIFF tag must be 5 characters; cannot pack from 3-char string \"ABC\".");
  EXPECT_EQ(PackError("ABCDEF"),
            "DIFF tag must be 5 characters; cannot pack from 6-char string \"ABCDEF\".");
  EXPECT_EQ(PackError("ABCD"), "DIFF tag must be 5 characters; cannot pack from 4-char string \"ABCD\".");
  EXPECT_EQ(PackError(""), "DIFF tag must be 5 characters; cannot pack from 0-char string \"\".");
}

TEST(IntEncoding, IntToBytesIsLittleEndianTwosComplement) {
  EXPECT_EQ(IntToBytes(1000), Hex("E8 03 00 00"));
  EXPECT_EQ(IntToBytes(-1), Hex("FF FF FF FF"));
  EXPECT_EQ(IntToBytes(INT32_MIN), Hex("00 00 00 80"));
  EXPECT_EQ(IntToBytes(0), std::string(4, '\0'));
}

TEST(IntEncoding, LengthPrefixedCountsTheBytes) {
  EXPECT_EQ(LengthPrefixed("Hz"), Hex("02 00 00 00 48 7A"));
  EXPECT_EQ(LengthPrefixed(""), Hex("00 00 00 00"));
  EXPECT_EQ(LengthPrefixed(std::string("\0\0\0", 3)), Hex("03 00 00 00 00 00 00"));
  const std::string big(300, 'x');
  EXPECT_EQ(LengthPrefixed(big), Hex("2C 01 00 00") + big);
}

TEST(IntEncoding, BytesToIntByLength) {
  EXPECT_EQ(BytesToInt(""), 0);
  EXPECT_EQ(BytesToInt(Hex("80")), 128);
  EXPECT_EQ(BytesToInt(Hex("FF")), 255);
  EXPECT_EQ(BytesToInt(Hex("34 12")), 4660);
  EXPECT_EQ(BytesToInt(Hex("FF FF")), 65535);
  EXPECT_EQ(BytesToInt(Hex("01 02 03")), 197121);
  EXPECT_EQ(BytesToInt(Hex("FF FF FF")), 16777215);
  EXPECT_EQ(BytesToInt(Hex("FF FF FF FF")), -1);
  EXPECT_EQ(BytesToInt(Hex("00 00 00 80")), INT32_MIN);
  EXPECT_EQ(BytesToInt(Hex("E8 03 00 00 99")), 1000);
  EXPECT_EQ(BytesToInt(IntToBytes(-123456)), -123456);
}

}  // namespace
}  // namespace velmora::diff::test
