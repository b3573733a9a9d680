// The chunk object: building, serializing, header access, and the virtual
// operations a derived class can override.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "diff/byte_stream.h"
#include "diff/chunk_builder.h"
#include "diff/diff_chunk.h"
#include "diff_test_support.h"

namespace velmora::diff::test {
namespace {

std::unique_ptr<TDIFFChunk> WfreqChunk() {
  auto c = TDIFFChunk::Make();
  c->SetTag("WFREQ");
  c->AddHeader("Hz", IntToBytes(1000));
  return c;
}

std::unique_ptr<TDIFFChunk> NestedChunk() {
  auto c = TDIFFChunk::Make();
  c->SetTag("AAAAA");
  auto child = TDIFFChunk::Make();
  child->SetTag("BBBBB");
  child->Payload = Hex("01 02");
  c->AddChunk(std::move(child));
  return c;
}

std::string SaveError(const TDIFFChunk& c) {
  try {
    c.SaveToString();
  } catch (const EDIFFParseError& e) {
    return e.Message;
  }
  return "(saved)";
}

TEST(ChunkSave, FreshChunkIsEightZeroBytesAndLoadsBack) {
  auto c = TDIFFChunk::Make();
  EXPECT_EQ(c->Tag, std::string(5, '\0'));
  EXPECT_EQ(c->SaveToString(), std::string(8, '\0'));
  auto back = TDIFFChunk::MakeFromString(std::string(8, '\0'));
  EXPECT_TRUE(SameChunk(*back, *c));
}

TEST(ChunkSave, WorkedExampleWithOneHeader) {
  EXPECT_EQ(ToHex(WfreqChunk()->SaveToString()), ToHex(WfreqExample()));
  auto back = TDIFFChunk::MakeFromString(WfreqExample());
  EXPECT_TRUE(SameChunk(*back, *WfreqChunk()));
  EXPECT_EQ(back->GetHeaderValue("Hz"), Hex("E8 03 00 00"));
}

TEST(ChunkSave, WorkedExampleWithOneChild) {
  EXPECT_EQ(ToHex(NestedChunk()->SaveToString()), ToHex(NestedExample()));
  auto back = TDIFFChunk::MakeFromString(NestedExample());
  EXPECT_TRUE(SameChunk(*back, *NestedChunk()));
}

// The one builder that requests, scripted replies and fuzz inputs go through
// writes what the serializer writes, headers in the order given.
TEST(ChunkBuilder, BuildsTheWorkedExampleAndKeepsHeaderOrder) {
  EXPECT_EQ(ToHex(SerializeChunk("WFREQ", {{"Hz", IntToBytes(1000)}})), ToHex(WfreqExample()));
  EXPECT_EQ(ToHex(SerializeChunk("RDATA", {{"b", "2"}, {"a", "1"}}, "pp")),
            ToHex(Frame(PackTag("RDATA", false, true),
                        LengthPrefixed(U32(2) + LengthPrefixed("b") + LengthPrefixed("2") +
                                       LengthPrefixed("a") + LengthPrefixed("1")) +
                            "pp")));
  EXPECT_EQ(SerializeChunk("GOGO."), U32(PackTag("GOGO.", false, false)) + U32(0));
  EXPECT_THROW(SerializeChunk("ABCD"), EDIFFParseError);
}

TEST(ChunkSave, HeadersThenChildrenThenPayload) {
  auto c = TDIFFChunk::Make();
  c->SetTag("WFREQ");
  c->Payload = "pp";
  c->AddHeader("", "");
  c->AddHeader("a", "bc");
  TDIFFChunk* child = c->NewChunk();
  child->SetTag("RDATA");
  child->AddHeader("T", "1");
  const std::string childBytes = child->SaveToString();
  const std::string headers = U32(2) + U32(0) + U32(0) + U32(1) + "a" + U32(2) + "bc";
  const std::string list = U32(1) + childBytes;
  const std::string expected =
      Frame(kWfreqBoth, LengthPrefixed(headers) + LengthPrefixed(list) + "pp");
  EXPECT_EQ(ToHex(c->SaveToString()), ToHex(expected));
  EXPECT_TRUE(SameChunk(*TDIFFChunk::MakeFromString(expected), *c));
}

TEST(ChunkSave, EmptyNameAndValueTakeEightBytes) {
  auto c = TDIFFChunk::Make();
  c->SetTag("WFREQ");
  c->AddHeader("", "");
  EXPECT_EQ(c->SaveToString(), Frame(kWfreqHeader, U32(12) + U32(1) + U32(0) + U32(0)));
  auto back = TDIFFChunk::MakeFromString(c->SaveToString());
  ASSERT_EQ(back->Headers.size(), 1u);
  EXPECT_EQ(back->Headers[0].Name, "");
  EXPECT_EQ(back->Headers[0].Value, "");
}

TEST(ChunkSave, BytesOfAnyValueRoundTrip) {
  auto c = TDIFFChunk::Make();
  c->SetTag("WDATA");
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  c->AddHeader(all, all + all);
  c->Payload = all;
  EXPECT_TRUE(SameChunk(*TDIFFChunk::MakeFromString(c->SaveToString()), *c));
}

TEST(ChunkSave, UntaggedChildFailsTheParentsSave) {
  auto c = WfreqChunk();
  c->NewChunk();
  EXPECT_EQ(SaveError(*c), "DIFF tag must be 5 characters; cannot pack from 0-char string \"\".");
}

TEST(ChunkSave, ChildTagIsCheckedBeforeTheParents) {
  auto c = TDIFFChunk::Make();
  c->Tag = "P";
  TDIFFChunk* child = c->NewChunk();
  child->SetTag("CHILD");
  child->NewChunk()->Tag = "GC";
  c->NewChunk()->Tag = "SECOND";
  EXPECT_EQ(SaveError(*c), "DIFF tag must be 5 characters; cannot pack from 2-char string \"GC\".");
  child->Chunks[0]->SetTag("GRAND");
  EXPECT_EQ(SaveError(*c),
            "DIFF tag must be 5 characters; cannot pack from 6-char string \"SECOND\".");
  c->Chunks[1]->SetTag("SECND");
  EXPECT_EQ(SaveError(*c), "DIFF tag must be 5 characters; cannot pack from 1-char string \"P\".");
}

TEST(ChunkSave, SaveToStreamWritesAtThePosition) {
  TMemoryStream stream(std::string(40, '.'));
  stream.SetPosition(3);
  WfreqChunk()->SaveToStream(stream);
  EXPECT_EQ(stream.GetPosition(), 33u);
  EXPECT_EQ(stream.bytes(), "..." + WfreqExample() + ".......");
  // A second save continues where the first ended and grows the stream.
  NestedChunk()->SaveToStream(stream);
  EXPECT_EQ(stream.GetPosition(), 59u);
  EXPECT_EQ(stream.bytes(), "..." + WfreqExample() + NestedExample());
}

TEST(ChunkSave, StreamWriteAtAnUnaddressablePositionFailsCleanly) {
  TMemoryStream stream(std::string("abc"));
  stream.SetPosition(~std::uint64_t(0));
  EXPECT_THROW(WfreqChunk()->SaveToStream(stream), std::length_error);
  EXPECT_EQ(stream.bytes(), "abc");
}

TEST(ChunkTag, SetTagTakesExactlyFiveBytes) {
  auto c = TDIFFChunk::Make();
  try {
    c->SetTag("ABCD");
    FAIL();
  } catch (const EDIFFParseError& e) {
    EXPECT_EQ(e.Message, "DIFF tag must be 5 characters; cannot set to 4-char string \"ABCD\".");
  }
  EXPECT_EQ(c->Tag, std::string(5, '\0'));
  EXPECT_THROW(c->SetTag("ABCDEF"), EDIFFParseError);
  // Stored as given, bytes outside the alphabet included.
  c->SetTag(std::string("ab\0cd", 5));
  EXPECT_EQ(c->Tag, std::string("ab\0cd", 5));
}

TEST(ChunkHeaders, AddReturnsIndexAndKeepsOrder) {
  auto c = TDIFFChunk::Make();
  EXPECT_EQ(c->AddHeader("A", "1"), 0);
  EXPECT_EQ(c->AddHeader("B", "2"), 1);
  EXPECT_EQ(c->AddHeader("A", "3"), 2);
  EXPECT_EQ(c->AddChunk(TDIFFChunk::Make()), 0);
  EXPECT_EQ(c->AddChunk(TDIFFChunk::Make()), 1);
  ASSERT_EQ(c->Headers.size(), 3u);
  EXPECT_EQ(c->Headers[2].Value, "3");
}

TEST(ChunkHeaders, DuplicateNamesFindFirstAndRemoveAll) {
  auto c = TDIFFChunk::Make();
  c->AddHeader("Time", "first");
  c->AddHeader("Hz", "x");
  c->AddHeader("Time", "second");
  c->AddHeader("Status", "y");
  ASSERT_NE(c->FindHeader("Time"), nullptr);
  EXPECT_EQ(c->FindHeader("Time")->Value, "first");
  EXPECT_EQ(c->GetHeaderValue("Time"), "first");
  EXPECT_EQ(c->FindHeader("time"), nullptr);  // case-sensitive
  c->RemoveHeader("Time");
  ASSERT_EQ(c->Headers.size(), 2u);
  EXPECT_EQ(c->Headers[0].Name, "Hz");
  EXPECT_EQ(c->Headers[1].Name, "Status");
  c->RemoveHeader("Missing");
  EXPECT_EQ(c->Headers.size(), 2u);
}

TEST(ChunkHeaders, FoundEntryCanBeChangedInPlace) {
  auto c = WfreqChunk();
  c->FindHeader("Hz")->Value = IntToBytes(2000);
  EXPECT_EQ(BytesToInt(c->GetHeaderValue("Hz")), 2000);
}

TEST(ChunkHeaders, MissingAndEmptyValuesBothGiveEmpty) {
  auto c = TDIFFChunk::Make();
  c->AddHeader("Empty", "");
  EXPECT_EQ(c->GetHeaderValue("Empty"), "");
  EXPECT_NE(c->FindHeader("Empty"), nullptr);
  EXPECT_EQ(c->GetHeaderValue("Missing"), "");
  EXPECT_EQ(c->FindHeader("Missing"), nullptr);
  // A name holding NUL is compared byte for byte.
  c->AddHeader(std::string("a\0b", 3), "v");
  EXPECT_EQ(c->GetHeaderValue(std::string("a\0b", 3)), "v");
  EXPECT_EQ(c->GetHeaderValue("a"), "");
}

// A derived chunk that logs which virtual operations run, to show that the
// base class reaches them through the virtual table.
struct Log {
  std::vector<std::string> Calls;
  std::string Joined() const {
    std::string s;
    for (const auto& c : Calls) s += (s.empty() ? "" : ",") + c;
    return s;
  }
};

class TLoggingChunk : public TDIFFChunk {
 public:
  explicit TLoggingChunk(Log* log = nullptr) : L(log) {}
  ~TLoggingChunk() override { Note("destroy " + Tag); }

  void Create() override {
    Note("Create");
    TDIFFChunk::Create();
  }
  void LoadFromStream(TStream& s) override {
    Note("LoadFromStream");
    TDIFFChunk::LoadFromStream(s);
  }
  void LoadFromString(std::string_view b) override {
    Note("LoadFromString");
    TDIFFChunk::LoadFromString(b);
  }
  ByteString SaveToString() const override {
    Note("SaveToString");
    return SavedAs.empty() ? TDIFFChunk::SaveToString() : SavedAs;
  }
  int AddChunk(std::unique_ptr<TDIFFChunk> c) override {
    Note("AddChunk");
    return TDIFFChunk::AddChunk(std::move(c));
  }
  THeaderEntry* FindHeader(std::string_view name) override {
    Note("FindHeader");
    return TDIFFChunk::FindHeader(name);
  }

  std::string SavedAs;  // when set, SaveToString returns this

 protected:
  std::unique_ptr<TDIFFChunk> NewInstance() const override {
    return std::make_unique<TLoggingChunk>(L);
  }

 private:
  void Note(const std::string& what) const {
    if (L) L->Calls.push_back(what);
  }
  Log* L;
};

TEST(ChunkOverrides, CreateFromStringRunsCreateThenLoadFromString) {
  Log log;
  TLoggingChunk c(&log);
  c.CreateFromString(WfreqExample());
  EXPECT_EQ(log.Joined(), "Create,LoadFromString");
  EXPECT_EQ(c.Tag, "WFREQ");
}

TEST(ChunkOverrides, CreateFromStreamRunsCreateThenLoadFromStreamThenLoadFromString) {
  Log log;
  TLoggingChunk c(&log);
  TMemoryStream stream(WfreqExample());
  c.CreateFromStream(stream);
  EXPECT_EQ(log.Joined(), "Create,LoadFromStream,LoadFromString");
  EXPECT_EQ(stream.GetPosition(), 30u);
}

TEST(ChunkOverrides, SaveToStreamWritesWhatSaveToStringReturns) {
  Log log;
  TLoggingChunk c(&log);
  c.Create();
  c.SavedAs = "custom";
  TMemoryStream stream;
  c.SaveToStream(stream);
  EXPECT_EQ(stream.bytes(), "custom");
  EXPECT_EQ(log.Joined(), "Create,SaveToString");
}

TEST(ChunkOverrides, ParentEmbedsEachChildsOwnSaveToString) {
  Log log;
  auto parent = TDIFFChunk::Make();
  parent->SetTag("AAAAA");
  auto plain = TDIFFChunk::Make();
  plain->SetTag("BBBBB");
  auto custom = std::make_unique<TLoggingChunk>(&log);
  custom->Create();
  custom->SavedAs = Frame(0x6DB6DB6Cu, "zz");
  auto inner = std::make_unique<TLoggingChunk>(&log);
  inner->Create();
  inner->SetTag("CCCCC");
  inner->SavedAs = "";  // saved by the base class, which is still reached virtually
  parent->AddChunk(std::move(plain));
  parent->AddChunk(std::move(custom));
  parent->Chunks[0]->AddChunk(std::move(inner));
  log.Calls.clear();

  const std::string bytes = parent->SaveToString();
  EXPECT_EQ(log.Joined(), "SaveToString,SaveToString");  // inner (depth first), then custom
  const std::string innerBytes = Frame(PackTag("CCCCC", false, false), "");
  const std::string plainBytes =
      Frame(PackTag("BBBBB", true, false), LengthPrefixed(U32(1) + innerBytes));
  const std::string expected = Frame(
      PackTag("AAAAA", true, false), LengthPrefixed(U32(2) + plainBytes + Frame(0x6DB6DB6Cu, "zz")));
  EXPECT_EQ(ToHex(bytes), ToHex(expected));
}

TEST(ChunkOverrides, NewChunkMakesThisClassThroughAddChunk) {
  Log log;
  TLoggingChunk c(&log);
  c.Create();
  TDIFFChunk* child = c.NewChunk();
  EXPECT_EQ(log.Joined(), "Create,AddChunk");
  ASSERT_EQ(c.Chunks.size(), 1u);
  EXPECT_EQ(c.Chunks[0].get(), child);
  EXPECT_NE(dynamic_cast<TLoggingChunk*>(child), nullptr);
  // Not created: no tag, nothing else.
  EXPECT_EQ(child->Tag, "");
  EXPECT_TRUE(child->Headers.empty());
  EXPECT_TRUE(child->Payload.empty());
}

TEST(ChunkOverrides, GetHeaderValueAsksFindHeader) {
  Log log;
  TLoggingChunk c(&log);
  c.Create();
  c.AddHeader("Hz", "1");
  log.Calls.clear();
  EXPECT_EQ(c.GetHeaderValue("Hz"), "1");
  EXPECT_EQ(log.Joined(), "FindHeader");
}

TEST(ChunkOverrides, LoadedChildrenAreAlwaysPlainChunks) {
  Log log;
  TLoggingChunk c(&log);
  c.CreateFromString(NestedExample());
  ASSERT_EQ(c.Chunks.size(), 1u);
  EXPECT_EQ(typeid(*c.Chunks[0]), typeid(TDIFFChunk));
  std::string buffer = NestedExample();
  auto extracted = ExtractChunk(buffer);
  EXPECT_EQ(typeid(*extracted), typeid(TDIFFChunk));
}

TEST(ChunkLifetime, ChildrenAreDestroyedInIndexOrder) {
  Log log;
  {
    auto parent = TDIFFChunk::Make();
    for (const char* tag : {"AAAAA", "BBBBB", "CCCCC"}) {
      auto child = std::make_unique<TLoggingChunk>(&log);
      child->Create();
      child->SetTag(tag);
      parent->AddChunk(std::move(child));
    }
    log.Calls.clear();
  }
  EXPECT_EQ(log.Joined(), "destroy AAAAA,destroy BBBBB,destroy CCCCC");
}

}  // namespace
}  // namespace velmora::diff::test
