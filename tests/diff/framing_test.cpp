// Cutting complete frames off a receive buffer, as a std::string and as a
// TChunkBuffer, and ExtractChunk on top of it.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <type_traits>
#include <vector>

#include "diff/chunk_buffer.h"
#include "diff/diff_chunk.h"
#include "diff_test_support.h"

namespace velmora::diff::test {
namespace {

// The two buffer kinds behind one face.
template <class B>
struct Buf;
template <>
struct Buf<std::string> {
  std::string b;
  void Append(const std::string& s) { b += s; }
  std::string Content() const { return b; }
};
template <>
struct Buf<TChunkBuffer> {
  TChunkBuffer b;
  void Append(const std::string& s) { b.Append(std::string_view(s)); }
  std::string Content() const { return std::string(b.view()); }
};

template <class B>
class Framing : public ::testing::Test {};
using BufferKinds = ::testing::Types<std::string, TChunkBuffer>;
TYPED_TEST_SUITE(Framing, BufferKinds);

TYPED_TEST(Framing, FewerThanEightBytesIsNotYetAFrame) {
  Buf<TypeParam> buf;
  buf.Append(Hex("00 00 00 00 00 00 00"));
  EXPECT_EQ(CutChunkBytes(buf.b), "");
  EXPECT_EQ(buf.Content(), Hex("00 00 00 00 00 00 00"));
  EXPECT_EQ(ExtractChunk(buf.b), nullptr);
  EXPECT_EQ(buf.Content().size(), 7u);
}

TYPED_TEST(Framing, EmptyBodyFrameIsCutWhole) {
  Buf<TypeParam> buf;
  buf.Append(std::string(8, '\0'));
  EXPECT_EQ(CutChunkBytes(buf.b), std::string(8, '\0'));
  EXPECT_EQ(buf.Content(), "");
}

TYPED_TEST(Framing, TwoFramesAreCutOneAtATime) {
  Buf<TypeParam> buf;
  buf.Append(WfreqExample() + NestedExample());
  EXPECT_EQ(CutChunkBytes(buf.b), WfreqExample());
  EXPECT_EQ(buf.Content(), NestedExample());
  EXPECT_EQ(CutChunkBytes(buf.b), NestedExample());
  EXPECT_EQ(CutChunkBytes(buf.b), "");
  EXPECT_EQ(buf.Content(), "");
}

TYPED_TEST(Framing, OnlyTheFrameIsInspected) {
  // Nonsense body, and a tag word that does not match it: still one frame.
  Buf<TypeParam> buf;
  const std::string frame = Frame(0xFFFFFFFFu, "\x01\x02\x03");
  buf.Append(frame + "tail");
  EXPECT_EQ(CutChunkBytes(buf.b), frame);
  EXPECT_EQ(buf.Content(), "tail");
}

TYPED_TEST(Framing, ClaimedLengthBeyondTheBytesKeepsEverything) {
  for (std::uint32_t claimed : {1u, 100u, 0x7FFFFFFFu, 0xFFFFFFF8u, 0xFFFFFFFFu}) {
    Buf<TypeParam> buf;
    const std::string bytes = U32(kWfreqHeader) + U32(claimed);
    buf.Append(bytes);
    EXPECT_EQ(CutChunkBytes(buf.b), "") << claimed;
    EXPECT_EQ(ExtractChunk(buf.b), nullptr) << claimed;
    EXPECT_EQ(buf.Content(), bytes) << claimed;
  }
  // One byte short of the claim, then the byte arrives.
  Buf<TypeParam> buf;
  buf.Append(U32(0) + U32(5) + "abcd");
  EXPECT_EQ(CutChunkBytes(buf.b), "");
  buf.Append("e");
  EXPECT_EQ(CutChunkBytes(buf.b), U32(0) + U32(5) + "abcde");
}

TYPED_TEST(Framing, FrameArrivingByteByByteIsCutOnceComplete) {
  Buf<TypeParam> buf;
  const std::string frame = WfreqExample();
  for (std::size_t i = 0; i + 1 < frame.size(); ++i) {
    buf.Append(frame.substr(i, 1));
    ASSERT_EQ(ExtractChunk(buf.b), nullptr) << i;
  }
  buf.Append(frame.substr(frame.size() - 1));
  auto chunk = ExtractChunk(buf.b);
  ASSERT_NE(chunk, nullptr);
  EXPECT_EQ(chunk->Tag, "WFREQ");
  EXPECT_EQ(buf.Content(), "");
}

TYPED_TEST(Framing, ExtractChunkLeavesBytesAfterTheFrame) {
  Buf<TypeParam> buf;
  buf.Append(NestedExample() + Hex("01 02 03"));
  auto chunk = ExtractChunk(buf.b);
  ASSERT_NE(chunk, nullptr);
  EXPECT_EQ(chunk->Tag, "AAAAA");
  ASSERT_EQ(chunk->Chunks.size(), 1u);
  EXPECT_EQ(chunk->Chunks[0]->Payload, Hex("01 02"));
  EXPECT_EQ(buf.Content(), Hex("01 02 03"));
}

TYPED_TEST(Framing, BadFrameIsRemovedSoTheNextChunkIsReached) {
  Buf<TypeParam> buf;
  // Has-header with a 7-byte body, then a good chunk.
  buf.Append(Frame(kWfreqHeader, "1234567") + WfreqExample());
  try {
    ExtractChunk(buf.b);
    FAIL() << "a bad frame loaded";
  } catch (const EDIFFBufferError& e) {
    EXPECT_EQ(e.Message,
              "Chunk claimed to have a header, but only 7 bytes were available. "
              "(During load of WFREQ chunk.)");
  }
  EXPECT_EQ(buf.Content(), WfreqExample());
  auto next = ExtractChunk(buf.b);
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(next->GetHeaderValue("Hz"), IntToBytes(1000));
  EXPECT_EQ(buf.Content(), "");
}

TYPED_TEST(Framing, ManySmallChunksAreCutInOrder) {
  // Chunks of varying size in one buffer, cut one by one. A std::string moves
  // what is left on every cut, so it gets fewer.
  const int count = std::is_same_v<TypeParam, TChunkBuffer> ? 10000 : 1000;
  Buf<TypeParam> buf;
  std::vector<std::string> frames;
  std::string all;
  for (int i = 0; i < count; ++i) {
    auto c = TDIFFChunk::Make();
    c->SetTag("RDATA");
    c->Payload.assign(static_cast<std::size_t>(i % 37), static_cast<char>(i));
    c->AddHeader("Time", IntToBytes(i));
    frames.push_back(c->SaveToString());
    all += frames.back();
  }
  buf.Append(all);
  for (int i = 0; i < count; ++i) {
    if (i % 2 == 0) {
      ASSERT_EQ(CutChunkBytes(buf.b), frames[i]) << i;
    } else {
      auto c = ExtractChunk(buf.b);
      ASSERT_NE(c, nullptr) << i;
      ASSERT_EQ(BytesToInt(c->GetHeaderValue("Time")), i);
      ASSERT_EQ(c->Payload.size(), static_cast<std::size_t>(i % 37));
    }
  }
  EXPECT_EQ(buf.Content(), "");
  EXPECT_EQ(CutChunkBytes(buf.b), "");
}

// TChunkBuffer on its own: appends interleaved with cuts must keep the bytes
// exactly as a plain string would, whatever compaction does underneath.
TEST(ChunkBuffer, InterleavedAppendsAndCutsMatchAPlainString) {
  TChunkBuffer buf;
  std::string model;
  std::uint32_t salt = 12345;
  auto next = [&salt] { return salt = salt * 1103515245u + 12345u, salt >> 16; };
  for (int round = 0; round < 2000; ++round) {
    const std::size_t body = next() % 50;
    std::string frame = U32(next()) + U32(static_cast<std::uint32_t>(body));
    for (std::size_t i = 0; i < body; ++i) frame.push_back(static_cast<char>(next()));
    // Deliver it in up to three pieces, some by move.
    std::size_t at = 0;
    while (at < frame.size()) {
      const std::size_t n = std::min<std::size_t>(frame.size() - at, 1 + next() % 40);
      std::string piece = frame.substr(at, n);
      model += piece;
      if (next() % 2) buf.Append(std::move(piece)); else buf.Append(std::string_view(piece));
      at += n;
    }
    for (unsigned cuts = next() % 3; cuts > 0; --cuts) {
      const std::string fromModel = CutChunkBytes(model);
      ASSERT_EQ(CutChunkBytes(buf), fromModel) << round;
      ASSERT_EQ(buf.view(), model) << round;
    }
  }
  while (!model.empty()) ASSERT_EQ(CutChunkBytes(buf), CutChunkBytes(model));
  EXPECT_TRUE(buf.empty());
}

// A stream of frames of every kind the device sends, delivered in two pieces
// split at every offset, or in the receive-sized pieces of a large reply,
// must give exactly the chunks each frame gives on its own.
std::string MixedStream(std::vector<std::string>& frames) {
  auto withHeaders = TDIFFChunk::Make();
  withHeaders->SetTag("RDATA");
  withHeaders->AddHeader("Time", std::string(8, '\x07'));
  withHeaders->AddHeader("Packet", U32(3) + U32(0));
  for (int i = 0; i < 300; ++i) withHeaders->Payload.push_back(char(i * 7));
  frames = {WfreqExample(), NestedExample(), withHeaders->SaveToString(), U32(0) + U32(0),
            Frame(0, "abc")};
  std::string all;
  for (const auto& f : frames) all += f;
  return all;
}

void ExpectSameChunks(std::vector<std::unique_ptr<TDIFFChunk>>& got,
                      const std::vector<std::string>& frames, std::size_t split) {
  ASSERT_EQ(got.size(), frames.size()) << "split at " << split;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(got[i]->SaveToString(), TDIFFChunk::MakeFromString(frames[i])->SaveToString())
        << "frame " << i << ", split at " << split;
  }
}

TEST(ChunkBuffer, FramesSplitAtEveryOffsetGiveTheSameChunks) {
  std::vector<std::string> frames;
  const std::string stream = MixedStream(frames);
  for (std::size_t split = 0; split <= stream.size(); ++split) {
    TChunkBuffer buf;
    std::string storage;  // reused across the chunks, as the exchange does
    std::vector<std::unique_ptr<TDIFFChunk>> got;
    auto drain = [&] {
      while (auto chunk = ExtractChunk(buf, storage)) {
        got.push_back(TDIFFChunk::MakeFromString(chunk->SaveToString()));
        storage.swap(chunk->Payload);
      }
    };
    buf.Append(std::string_view(stream).substr(0, split));
    drain();
    buf.Append(std::string_view(stream).substr(split));
    drain();
    ExpectSameChunks(got, frames, split);
    EXPECT_TRUE(buf.empty());
  }
}

TEST(ChunkBuffer, LargeFrameInReceiveSizedPiecesBehindASmallOne) {
  auto big = TDIFFChunk::Make();
  big->SetTag("RDATA");
  big->Payload.resize(300000);
  for (std::size_t i = 0; i < big->Payload.size(); ++i) big->Payload[i] = char(i * 31 + i / 251);
  const std::vector<std::string> frames = {WfreqExample(), big->SaveToString(), WfreqExample()};
  std::string stream;
  for (const auto& f : frames) stream += f;
  for (std::size_t piece : {std::size_t(65536), std::size_t(4093), std::size_t(1)}) {
    TChunkBuffer buf;
    std::string storage(1000, 's');  // stale bytes in reused storage must not show
    std::vector<std::unique_ptr<TDIFFChunk>> got;
    for (std::size_t at = 0; at < stream.size(); at += piece) {
      buf.Append(std::string_view(stream).substr(at, piece));
      while (auto chunk = ExtractChunk(buf, storage)) {
        EXPECT_TRUE(storage.empty());
        got.push_back(TDIFFChunk::MakeFromString(chunk->SaveToString()));
        storage.swap(chunk->Payload);
      }
    }
    ExpectSameChunks(got, frames, piece);
  }
}

TEST(ChunkBuffer, PayloadStorageStaysWhenNoChunkIsTaken) {
  TChunkBuffer buf;
  std::string storage = "kept";
  buf.Append(std::string_view(WfreqExample()).substr(0, 10));
  EXPECT_EQ(ExtractChunk(buf, storage), nullptr);
  EXPECT_EQ(storage, "kept");
  // A complete frame that does not parse: the frame goes, the storage stays.
  TChunkBuffer bad;
  bad.Append(Frame(PackTag("RDATA", false, true), U32(100)));
  EXPECT_THROW(ExtractChunk(bad, storage), EDIFFBufferError);
  EXPECT_TRUE(bad.empty());
  EXPECT_EQ(storage, "kept");
}

TEST(ChunkBuffer, HugeClaimedLengthIsNotReservedAndStillFrames) {
  TChunkBuffer buf;
  buf.Append(U32(0) + U32(0xFFFFFFF0u) + "abc");
  EXPECT_EQ(CutChunkBytes(buf), "");
  EXPECT_EQ(buf.size(), 11u);
}

TEST(ChunkBuffer, TakeAndConsumeAndClear) {
  TChunkBuffer buf;
  buf.Append(std::string("abcdef"));
  EXPECT_EQ(buf.Take(2), "ab");
  buf.Consume(1);
  EXPECT_EQ(buf.view(), "def");
  EXPECT_EQ(buf.size(), 3u);
  EXPECT_EQ(buf.Take(3), "def");
  EXPECT_TRUE(buf.empty());
  buf.Append(std::string_view("xyz"));
  buf.Clear();
  EXPECT_TRUE(buf.empty());
  EXPECT_EQ(buf.view(), "");
}

}  // namespace
}  // namespace velmora::diff::test

TEST(BareFrameHeader, IsWhatSaveToStringPutsAheadOfAPayloadAlone) {
  for (const std::string& payload : {std::string(), std::string("x"), std::string(70000, '\x81')}) {
    auto chunk = velmora::diff::TDIFFChunk::Make();
    chunk->SetTag("WDATA");
    chunk->Payload = payload;
    EXPECT_EQ(velmora::diff::BareFrameHeader("WDATA", std::uint32_t(payload.size())) + payload,
              chunk->SaveToString());
  }
}
