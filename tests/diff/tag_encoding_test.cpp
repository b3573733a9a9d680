#include <gtest/gtest.h>

#include "diff/diff_chunk.h"

using namespace velmora::diff;

TEST(TagEncoding, WorkedExampleRoundTrip) {
  auto c = TDIFFChunk::Make();
  c->SetTag("WFREQ");
  c->AddHeader("Hz", IntToBytes(1000));
  const std::string bytes = c->SaveToString();
  const std::string expected("\xC1\xDF\xEA\xA9\x16\0\0\0\x12\0\0\0\x01\0\0\0\x02\0\0\0Hz\x04\0\0\0\xE8\x03\0\0", 30);
  EXPECT_EQ(bytes, expected);
  auto back = TDIFFChunk::MakeFromString(bytes);
  EXPECT_EQ(back->Tag, "WFREQ");
  EXPECT_EQ(back->GetHeaderValue("Hz"), IntToBytes(1000));
}
