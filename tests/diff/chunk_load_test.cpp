// Loading chunks: every message of the loaders, all-or-nothing failure, the
// stream loader's position, and the limits that keep hostile frames harmless.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "diff/byte_stream.h"
#include "diff/diff_chunk.h"
#include "diff_test_support.h"

namespace velmora::diff::test {
namespace {

const std::string kDuring = " (During load of WFREQ chunk.)";

// A WFREQ chunk whose body is the given header block (has-header only).
std::string WithHeaderBlock(const std::string& block, const std::string& after = "") {
  return Frame(kWfreqHeader, block + after);
}
// A WFREQ chunk whose body is the given chunk list (has-chunk-list only).
std::string WithChunkList(const std::string& list, const std::string& after = "") {
  return Frame(kWfreqList, list + after);
}

TEST(ChunkLoad, WholeBodyIsPayloadWithoutFlags) {
  auto c = TDIFFChunk::MakeFromString(Frame(PackTag("RDATA", false, false), std::string("a\0b", 3)));
  EXPECT_EQ(c->Tag, "RDATA");
  EXPECT_EQ(c->Payload, std::string("a\0b", 3));
  EXPECT_TRUE(c->Headers.empty());
  EXPECT_TRUE(c->Chunks.empty());
}

TEST(ChunkLoad, BytesAfterTheBodyAreIgnored) {
  auto c = TDIFFChunk::MakeFromString(WfreqExample() + "trailing");
  EXPECT_TRUE(SameChunk(*c, *TDIFFChunk::MakeFromString(WfreqExample())));
}

TEST(ChunkLoad, PresentBlocksWithZeroCountLoadEmptyAndAreNotWrittenBack) {
  const std::string bytes =
      Frame(kWfreqBoth, LengthPrefixed(U32(0)) + LengthPrefixed(U32(0)) + "pay");
  auto c = TDIFFChunk::MakeFromString(bytes);
  EXPECT_TRUE(c->Headers.empty());
  EXPECT_TRUE(c->Chunks.empty());
  EXPECT_EQ(c->Payload, "pay");
  EXPECT_EQ(c->SaveToString(), Frame(PackTag("WFREQ", false, false), "pay"));
}

TEST(ChunkLoad, SpareBytesInsideBlocksAreIgnored) {
  const std::string headers = LengthPrefixed(U32(1) + LengthPrefixed("a") + LengthPrefixed("b") + "junk");
  const std::string list = LengthPrefixed(U32(1) + Frame(0x6DB6DB6Cu, "x") + "more");
  auto c = TDIFFChunk::MakeFromString(Frame(kWfreqBoth, headers + list + "pay"));
  ASSERT_EQ(c->Headers.size(), 1u);
  EXPECT_EQ(c->Headers[0].Value, "b");
  ASSERT_EQ(c->Chunks.size(), 1u);
  EXPECT_EQ(c->Chunks[0]->Tag, "BBBBB");
  EXPECT_EQ(c->Chunks[0]->Payload, "x");
  EXPECT_EQ(c->Payload, "pay");
}

TEST(ChunkLoad, UnpackedTagIsWhatLoads) {
  // Codes 56 to 62 all read back as "~".
  auto c = TDIFFChunk::MakeFromString(Frame(0xE0u, ""));
  EXPECT_EQ(c->Tag, std::string("~\0\0\0\0", 5));
}

struct BadInput {
  const char* Name;
  std::string Bytes;
  std::string Message;
};

std::vector<BadInput> TabledFailures() {
  const std::string child = Frame(0x6DB6DB6Cu, "xy");  // BBBBB
  return {
      {"empty", "", "Error loading DIFF chunk: only 0 bytes were available."},
      {"frame too short", Hex("C1 DF EA A9 10"),
       "Error loading DIFF chunk: only 5 bytes were available."},
      {"payload too long", Hex("C1 DF EA A9 10 00 00 00 01 02 03 04"),
       "Claimed payload was 16 bytes, but only 4 bytes were available." + kDuring},
      {"payload claims 4 GiB", Hex("C1 DF EA A9 FF FF FF FF"),
       "Claimed payload was 4294967295 bytes, but only 0 bytes were available." + kDuring},
      {"header missing", Hex("C1 DF EA A9 07 00 00 00 01 02 03 04 05 06 07"),
       "Chunk claimed to have a header, but only 7 bytes were available." + kDuring},
      {"header too long", WithHeaderBlock(U32(9) + U32(0) + "1234"),
       "Claimed header was 9 bytes, but only 8 bytes were available." + kDuring},
      {"name too long", WithHeaderBlock(LengthPrefixed(U32(1) + U32(5) + "abcd")),
       "Claimed header name was 5 bytes, but only 4 bytes were available in the header." +
           kDuring},
      {"value too long",
       WithHeaderBlock(LengthPrefixed(U32(1) + LengthPrefixed("Hz") + U32(3) + "ab"),
                       "payload after the block"),
       "Claimed header data was 3 bytes, but only 2 bytes were available in the header." +
           kDuring},
      {"second entry's name too long",
       WithHeaderBlock(LengthPrefixed(U32(2) + U32(0) + U32(0) + U32(9) + "12345678")),
       "Claimed header name was 9 bytes, but only 8 bytes were available in the header." +
           kDuring},
      {"list missing", Frame(kWfreqList, "1234567"),
       "Chunk claimed to have a chunk list, but only 7 bytes were available." + kDuring},
      {"list missing after header",
       Frame(kWfreqBoth, LengthPrefixed(U32(0)) + "1234"),
       "Chunk claimed to have a chunk list, but only 4 bytes were available." + kDuring},
      {"list too long", WithChunkList(U32(5) + U32(0)),
       "Claimed chunk list was 5 bytes, but only 4 bytes were available." + kDuring},
      {"second child frame too short", WithChunkList(LengthPrefixed(U32(2) + child + "1234567")),
       "Error loading DIFF chunk: only 7 bytes were available."},
      {"child payload too long",
       WithChunkList(LengthPrefixed(U32(1) + U32(0x6DB6DB6Cu) + U32(3) + "xy"), "payload"),
       "Claimed payload was 3 bytes, but only 2 bytes were available. "
       "(During load of BBBBB chunk.)"},
      {"grandchild header missing",
       WithChunkList(LengthPrefixed(
           U32(1) + Frame(PackTag("AAAAA", true, false),
                          LengthPrefixed(U32(1) + Frame(PackTag("RDATA", false, true), "abc"))))),
       "Chunk claimed to have a header, but only 3 bytes were available. "
       "(During load of RDATA chunk.)"},
  };
}

TEST(ChunkLoadFailure, EachCheckRaisesItsMessage) {
  for (const BadInput& in : TabledFailures()) {
    EXPECT_EQ(LoadError(in.Bytes), in.Message) << in.Name;
  }
}

// A chunk with something in every field, and the same again to compare with.
std::unique_ptr<TDIFFChunk> Populated() {
  auto c = TDIFFChunk::Make();
  c->SetTag("RDATA");
  c->AddHeader("Time", IntToBytes(7));
  c->Payload = "old payload";
  c->NewChunk()->SetTag("OLD01");
  c->NewChunk()->SetTag("OLD02");
  return c;
}

TEST(ChunkLoadFailure, FailedLoadLeavesTheChunkAsItWas) {
  for (const BadInput& in : TabledFailures()) {
    auto c = Populated();
    const TDIFFChunk* child0 = c->Chunks[0].get();
    const TDIFFChunk* child1 = c->Chunks[1].get();
    EXPECT_THROW(LoadExact(*c, in.Bytes), EDIFFBufferError) << in.Name;
    EXPECT_TRUE(SameChunk(*c, *Populated())) << in.Name;
    // The very same children, not copies.
    ASSERT_EQ(c->Chunks.size(), 2u);
    EXPECT_EQ(c->Chunks[0].get(), child0) << in.Name;
    EXPECT_EQ(c->Chunks[1].get(), child1) << in.Name;
  }
}

TEST(ChunkLoadFailure, FailureAfterSomeChildrenLoadedKeepsTheOldOnes) {
  // Two good children, then a third whose frame is cut short.
  const std::string good = Frame(0x6DB6DB6Cu, "xy");
  const std::string bytes = WithChunkList(LengthPrefixed(U32(3) + good + good + "short"));
  auto c = Populated();
  EXPECT_THROW(c->LoadFromString(bytes), EDIFFBufferError);
  EXPECT_TRUE(SameChunk(*c, *Populated()));
}

TEST(ChunkLoadFailure, FailedCreateFromStringRaises) {
  EXPECT_THROW(TDIFFChunk::MakeFromString(Hex("00 00")), EDIFFBufferError);
  std::string buffer = Frame(kWfreqHeader, "");
  EXPECT_THROW(ExtractChunk(buffer), EDIFFBufferError);
  EXPECT_EQ(buffer, "");
}

TEST(ChunkLoad, SuccessfulLoadReplacesEverything) {
  auto c = Populated();
  c->LoadFromString(NestedExample());
  EXPECT_TRUE(SameChunk(*c, *TDIFFChunk::MakeFromString(NestedExample())));
  // Loading a chunk's own serialization into itself is safe.
  c->LoadFromString(c->SaveToString());
  EXPECT_TRUE(SameChunk(*c, *TDIFFChunk::MakeFromString(NestedExample())));
  // Even when the bytes live in the chunk's own payload.
  c->Payload = WfreqExample();
  c->LoadFromString(c->Payload);
  EXPECT_TRUE(SameChunk(*c, *TDIFFChunk::MakeFromString(WfreqExample())));
}

TEST(ChunkLoadStream, ConsecutiveChunksLoadOneAfterAnother) {
  TMemoryStream stream(WfreqExample() + NestedExample());
  auto first = TDIFFChunk::MakeFromStream(stream);
  EXPECT_EQ(first->Tag, "WFREQ");
  EXPECT_EQ(stream.GetPosition(), 30u);
  auto second = TDIFFChunk::MakeFromStream(stream);
  EXPECT_EQ(second->Tag, "AAAAA");
  EXPECT_EQ(stream.GetPosition(), 56u);
  try {
    TDIFFChunk::MakeFromStream(stream);
    FAIL();
  } catch (const EDIFFBufferError& e) {
    EXPECT_EQ(e.Message, "Error loading DIFF chunk: only 0 bytes were available.");
  }
  EXPECT_EQ(stream.GetPosition(), 56u);
}

TEST(ChunkLoadStream, FailureRestoresThePositionAndTheChunk) {
  struct Case {
    std::string Bytes;
    std::string Message;
  };
  const std::vector<Case> cases = {
      {"xyz" + Hex("C1 DF EA A9 10 00 00 00 01 02 03 04"),
       "Claimed payload was 16 bytes, but only 4 bytes were available." + kDuring},
      {"xyz" + Hex("C1 DF EA A9 10 00"), "Error loading DIFF chunk: only 6 bytes were available."},
      // Framed correctly, fails inside the string loader.
      {"xyz" + Frame(kWfreqHeader, "1234567") + WfreqExample(),
       "Chunk claimed to have a header, but only 7 bytes were available." + kDuring},
  };
  for (const Case& k : cases) {
    TMemoryStream stream(k.Bytes);
    stream.SetPosition(3);
    auto c = Populated();
    try {
      c->LoadFromStream(stream);
      FAIL() << k.Message;
    } catch (const EDIFFBufferError& e) {
      EXPECT_EQ(e.Message, k.Message);
    }
    EXPECT_EQ(stream.GetPosition(), 3u) << k.Message;
    EXPECT_TRUE(SameChunk(*c, *Populated())) << k.Message;
  }
}

// A stream that hands out at most three bytes per read, as a file or pipe may.
class TTrickleStream : public TMemoryStream {
 public:
  using TMemoryStream::TMemoryStream;
  std::size_t Read(void* buffer, std::size_t count) override {
    return TMemoryStream::Read(buffer, count < 3 ? count : 3);
  }
};

TEST(ChunkLoadStream, ShortReadsAreCompletedNotMistakenForAShortStream) {
  TTrickleStream stream(WfreqExample() + NestedExample());
  auto first = TDIFFChunk::MakeFromStream(stream);
  EXPECT_TRUE(SameChunk(*first, *TDIFFChunk::MakeFromString(WfreqExample())));
  EXPECT_EQ(stream.GetPosition(), 30u);
  auto second = TDIFFChunk::MakeFromStream(stream);
  EXPECT_TRUE(SameChunk(*second, *TDIFFChunk::MakeFromString(NestedExample())));
  EXPECT_EQ(stream.GetPosition(), 56u);
}

TEST(ChunkLoadStream, PositionPastTheEndIsAShortFrame) {
  TMemoryStream stream(WfreqExample());
  stream.SetPosition(100);
  EXPECT_THROW(TDIFFChunk::MakeFromStream(stream), EDIFFBufferError);
  EXPECT_EQ(stream.GetPosition(), 100u);
}

// Fields that would start past the end of their block: the loader must not
// read them from the bytes that follow the block. The bytes after each block
// below would make a plausible field, so reading on would load "successfully".
TEST(ChunkLoadLimits, BlockTooShortForItsCountIsRejected) {
  for (std::uint32_t h = 0; h < 4; ++h) {
    const std::string bytes = WithHeaderBlock(U32(h) + std::string(h, '\0'), U32(0) + "pay");
    const std::string message = LoadError(bytes);
    EXPECT_NE(message, "(loaded)") << h;
    EXPECT_NE(message.find("header"), std::string::npos) << message;
    EXPECT_NE(message.find(kDuring), std::string::npos) << message;
  }
  for (std::uint32_t k = 0; k < 4; ++k) {
    const std::string bytes = WithChunkList(U32(k) + std::string(k, '\0'), U32(0) + "pay");
    const std::string message = LoadError(bytes);
    EXPECT_NE(message, "(loaded)") << k;
    EXPECT_NE(message.find("chunk list"), std::string::npos) << message;
  }
}

TEST(ChunkLoadLimits, LengthFieldInTheLastThreeBytesOfTheBlockIsRejected) {
  // Two entries fit the count check (16 bytes), but the first entry takes 13,
  // leaving 3 where the second name length would start.
  const std::string nameCut = LengthPrefixed(U32(2) + LengthPrefixed("abcde") + U32(0) + std::string(3, '\0'));
  // Here the first entry takes 9 and the second name 4 + 0, leaving 3 for the value length.
  const std::string valueCut =
      LengthPrefixed(U32(2) + LengthPrefixed("a") + U32(0) + U32(0) + std::string(3, '\0'));
  for (const std::string& block : {nameCut, valueCut}) {
    const std::string message = LoadError(WithHeaderBlock(block, U32(0) + U32(0)));
    EXPECT_NE(message, "(loaded)");
    EXPECT_NE(message.find("only 3 bytes were available in the header"), std::string::npos)
        << message;
  }
}

TEST(ChunkLoadLimits, CountTheBlockCannotHoldFailsBeforeAnyStorage) {
  // 20 bytes claiming 4,294,967,295 header entries or child chunks.
  const std::string entries = WithHeaderBlock(U32(8) + U32(0xFFFFFFFFu) + "1234");
  const std::string children = WithChunkList(U32(8) + U32(0xFFFFFFFFu) + "1234");
  ASSERT_EQ(entries.size(), 20u);
  for (const std::string& bytes : {entries, children}) {
    const auto start = std::chrono::steady_clock::now();
    const std::string message = LoadError(bytes);
    EXPECT_NE(message, "(loaded)");
    EXPECT_NE(message.find("4294967295"), std::string::npos) << message;
    // Reserving ~4 billion entries would take far longer than this (or fail).
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  }
  // Exactly as many as fit still load: two empty entries in 16 bytes.
  auto c = TDIFFChunk::MakeFromString(WithHeaderBlock(LengthPrefixed(U32(2) + U32(0) + U32(0) + U32(0) + U32(0))));
  EXPECT_EQ(c->Headers.size(), 2u);
}

// A chain of chunks, each the only child of the one before, `depth` levels in
// all; the innermost carries the payload "end". Built front to back in one
// pass so that a very deep chain costs linear time.
std::string Chain(std::size_t depth) {
  const std::uint32_t listWord = PackTag("AAAAA", true, false);
  const std::size_t innermost = 8 + 3;
  std::string out;
  out.reserve(16 * depth + 3);
  for (std::size_t level = 1; level < depth; ++level) {
    const std::size_t inner = innermost + 16 * (depth - level - 1);
    out += U32(listWord) + U32(static_cast<std::uint32_t>(8 + inner)) +
           U32(static_cast<std::uint32_t>(4 + inner)) + U32(1);
  }
  return out + Frame(PackTag("BBBBB", false, false), "end");
}

std::size_t DepthOf(const TDIFFChunk& c) {
  std::size_t d = 1;
  for (const TDIFFChunk* p = &c; !p->Chunks.empty(); p = p->Chunks[0].get()) ++d;
  return d;
}

TEST(ChunkLoadLimits, NestingUpToTheBoundLoads) {
  auto c = TDIFFChunk::MakeFromString(Chain(MaxNestingDepth));
  EXPECT_EQ(DepthOf(*c), static_cast<std::size_t>(MaxNestingDepth));
  EXPECT_EQ(c->SaveToString(), Chain(MaxNestingDepth));
}

TEST(ChunkLoadLimits, DeeperNestingIsRejected) {
  static_assert(MaxNestingDepth >= 64, "device peers may nest this far");
  for (std::size_t depth : {std::size_t(MaxNestingDepth) + 1, std::size_t(100000)}) {
    const std::string bytes = Chain(depth);
    const std::string message = LoadError(bytes);
    EXPECT_NE(message.find("nested more than " + std::to_string(MaxNestingDepth)),
              std::string::npos)
        << depth << ": " << message;
    // And through the receive buffer: the frame is gone afterwards.
    TChunkBuffer buffer;
    buffer.Append(bytes + NestedExample());
    EXPECT_THROW(ExtractChunk(buffer), EDIFFBufferError);
    EXPECT_EQ(buffer.view(), NestedExample());
  }
  // The depth count unwinds with the error: a deep but legal load still works.
  EXPECT_EQ(DepthOf(*TDIFFChunk::MakeFromString(Chain(MaxNestingDepth))),
            static_cast<std::size_t>(MaxNestingDepth));
}

}  // namespace
}  // namespace velmora::diff::test
