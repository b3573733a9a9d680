// Fuzz target for the DIFF loaders: LoadFromString, LoadFromStream and
// ExtractChunk on both buffer kinds.
//
// Every input is used twice:
//  1. As raw bytes. They are loaded directly, through a stream and cut off
//     receive buffers fed in pieces; the three roads must agree, a failed load
//     must leave the chunk and the stream position as they were, and every chunk
//     that loads must survive a save and load unchanged.
//  2. As a recipe. The bytes build a chunk tree (tags, headers, children,
//     payloads, sometimes a chain around the nesting bound), which is saved and
//     must load back equal; then a few fuzz-chosen edits of the saved bytes
//     (flipped bytes, nudged length fields, cuts, insertions) go through the raw
//     checks. Raw bytes alone rarely get past the first length check; edited
//     well-framed chunks reach the deep parts of the loader.
//
// Equality (diff_chunk_equal.h) is tag, headers in order, children recursively
// and payload. A chunk loaded from any bytes is already in normal form: its tag
// is unpacked, empty-but-present blocks load as empty lists, and spare bytes
// inside blocks are dropped, so one save and load must reproduce it exactly.
//
// A broken invariant prints what broke and aborts. The standalone replay
// runner calls LLVMFuzzerTestOneInput for each corpus file without libFuzzer.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

#include "diff/byte_stream.h"
#include "diff/chunk_buffer.h"
#include "diff/diff_chunk.h"
#include "diff_chunk_equal.h"

namespace velmora::diff {
namespace {

[[noreturn]] void Broken(const char* what, const std::string& detail = std::string()) {
  std::fprintf(stderr, "DIFF fuzz invariant broken: %s\n", what);
  if (!detail.empty()) std::fprintf(stderr, "  %s\n", detail.c_str());
  std::abort();
}

std::string Shown(const std::string& message) {
  std::string s;
  for (char c : message) s += c == '\0' ? std::string("\\0") : std::string(1, c);
  return s;
}

// Saving a loaded chunk and loading the bytes back reproduces it, and saving
// again reproduces the bytes.
void CheckRoundTrip(const TDIFFChunk& loaded) {
  std::string bytes;
  try {
    bytes = loaded.SaveToString();
  } catch (const EDIFFError& e) {
    Broken("a loaded chunk does not save", Shown(e.Message));
  }
  if (CompleteFrameLength(bytes) != bytes.size()) Broken("a saved chunk is not one whole frame");
  auto back = TDIFFChunk::Make();
  try {
    back->LoadFromString(bytes);
  } catch (const EDIFFError& e) {
    Broken("a saved chunk does not load", Shown(e.Message));
  }
  const std::string d = ChunkDifference(loaded, *back);
  if (!d.empty()) Broken("save and load changed the chunk", d);
  if (back->SaveToString() != bytes) Broken("a second save gave other bytes");
}

// A chunk with something in every field, to load over, and one kept to
// compare with after a failed load.
std::unique_ptr<TDIFFChunk> Populated() {
  auto c = TDIFFChunk::Make();
  c->SetTag("RDATA");
  c->AddHeader("Time", IntToBytes(7));
  c->NewChunk()->SetTag("OLD01");
  c->Payload = "old";
  return c;
}
const TDIFFChunk& Untouched() {
  static const std::unique_ptr<TDIFFChunk> reference = Populated();
  return *reference;
}

struct Outcome {
  enum Kind { None, Loaded, Failed } What = None;
  std::string Bytes;  // the saved chunk, or the error message
  bool operator==(const Outcome& o) const { return What == o.What && Bytes == o.Bytes; }
};

Outcome LoadDirect(std::string_view bytes) {
  auto c = Populated();
  const TDIFFChunk* oldChild = c->Chunks[0].get();
  try {
    c->LoadFromString(bytes);
  } catch (const EDIFFBufferError& e) {
    const std::string d = ChunkDifference(*c, Untouched());
    if (!d.empty() || c->Chunks[0].get() != oldChild) Broken("a failed load changed the chunk", d);
    return {Outcome::Failed, e.Message};
  }
  CheckRoundTrip(*c);
  return {Outcome::Loaded, c->SaveToString()};
}

Outcome LoadThroughStream(std::string_view bytes, std::size_t lead) {
  TMemoryStream stream(std::string(lead, 'x') + std::string(bytes));
  stream.SetPosition(lead);
  auto c = Populated();
  try {
    c->LoadFromStream(stream);
  } catch (const EDIFFBufferError& e) {
    if (stream.GetPosition() != lead) Broken("a failed stream load moved the position");
    if (!ChunkDifference(*c, Untouched()).empty()) Broken("a failed stream load changed the chunk");
    return {Outcome::Failed, e.Message};
  }
  if (stream.GetPosition() != lead + CompleteFrameLength(bytes)) {
    Broken("a stream load did not end just past its chunk");
  }
  return {Outcome::Loaded, c->SaveToString()};
}

// Round trips are checked on the first road only; the others must agree with it.
template <class Buffer>
Outcome ExtractOne(Buffer& buffer, bool checkRoundTrip) {
  std::unique_ptr<TDIFFChunk> c;
  try {
    c = ExtractChunk(buffer);
  } catch (const EDIFFBufferError& e) {
    return {Outcome::Failed, e.Message};
  }
  if (!c) return {};
  const TDIFFChunk& got = *c;
  if (typeid(got) != typeid(TDIFFChunk)) Broken("ExtractChunk returned a derived class");
  if (checkRoundTrip) CheckRoundTrip(*c);
  return {Outcome::Loaded, c->SaveToString()};
}

// Feeds `bytes` into a TChunkBuffer in pieces, some moved in and some copied,
// and extracts after each piece until nothing complete is left; returns every
// outcome in order, then what is left.
std::vector<Outcome> ExtractInPieces(std::string_view bytes, std::uint32_t salt) {
  TChunkBuffer buffer;
  std::vector<Outcome> outcomes;
  std::size_t at = 0;
  std::string cut;  // what has left the buffer, for the no-byte-lost check
  do {
    salt = salt * 1103515245u + 12345u;
    const std::size_t n = std::min<std::size_t>(bytes.size() - at, 1 + (salt >> 16) % 64);
    std::string piece(bytes.substr(at, n));
    at += n;
    if (salt & 0x100) buffer.Append(std::move(piece)); else buffer.Append(std::string_view(piece));
    for (;;) {
      const std::size_t before = buffer.view().size();
      const std::size_t frame = CompleteFrameLength(buffer.view());
      cut.append(buffer.view().substr(0, frame));
      Outcome o = ExtractOne(buffer, false);
      if (buffer.view().size() != before - frame) Broken("ExtractChunk removed the wrong amount");
      if (o.What == Outcome::None) break;
      outcomes.push_back(std::move(o));
    }
  } while (at < bytes.size());
  if (cut + std::string(buffer.view()) != bytes) Broken("cutting lost or changed bytes");
  outcomes.push_back({Outcome::None, std::string(buffer.view())});
  return outcomes;
}

void CheckRaw(std::string_view bytes) {
  const Outcome direct = LoadDirect(bytes);
  // Not at position 0, so that a loader reading from the stream's start shows.
  if (!(LoadThroughStream(bytes, 3) == direct)) Broken("stream and string loads disagree");

  // The same bytes whole in a string, and in pieces into a TChunkBuffer:
  // framing must not depend on the buffer or on how the bytes arrive.
  std::uint32_t salt = static_cast<std::uint32_t>(bytes.size());
  for (std::size_t i = 0; i < bytes.size() && i < 8; ++i) salt = salt * 31 + std::uint8_t(bytes[i]);
  std::string whole(bytes);
  std::vector<Outcome> once;
  for (;;) {
    Outcome o = ExtractOne(whole, true);
    if (o.What == Outcome::None) break;
    once.push_back(std::move(o));
  }
  once.push_back({Outcome::None, whole});
  if (ExtractInPieces(bytes, salt) != once) Broken("TChunkBuffer and string disagree");

  // Loading ignores bytes after the body, so when the input starts with a
  // complete frame, loading it whole gives what the first extraction gave.
  if (CompleteFrameLength(bytes) != 0 && !(once.front() == direct)) {
    Broken("ExtractChunk and LoadFromString disagree");
  }
}

// Reads the recipe bytes; past the end it yields zeros.
class Recipe {
 public:
  Recipe(const std::uint8_t* data, std::size_t size) : P(data), N(size) {}
  bool Done() const { return N == 0; }
  std::uint8_t Byte() {
    if (N == 0) return 0;
    --N;
    return *P++;
  }
  std::uint32_t Word() {
    std::uint32_t w = 0;
    for (int i = 0; i < 4; ++i) w |= std::uint32_t(Byte()) << (8 * i);
    return w;
  }
  std::string Bytes(std::size_t n) {
    n = std::min(n, N);
    std::string s(reinterpret_cast<const char*>(P), n);
    P += n;
    N -= n;
    return s;
  }
  std::size_t Length() {
    const std::uint8_t b = Byte();
    return b < 0xF0 ? b % 12 : 12 + (b & 15) * 16;
  }

 private:
  const std::uint8_t* P;
  std::size_t N;
};

struct Built {
  std::unique_ptr<TDIFFChunk> Chunk;
  std::unique_ptr<TDIFFChunk> Expected;  // what loading the saved bytes must give
  int Depth = 0;
};

// Builds one chunk and, beside it, the chunk a load of its bytes must give
// (tags pass through the alphabet).
void BuildInto(Recipe& r, TDIFFChunk& c, TDIFFChunk& e, int depth, int& budget, int& deepest) {
  deepest = std::max(deepest, depth);
  std::string tag(5, '\0');
  const bool wild = (r.Byte() & 7) == 0;
  for (char& ch : tag) {
    const std::uint8_t b = r.Byte();
    ch = static_cast<char>(wild ? b : TagAlphabet[b & 63]);
  }
  c.SetTag(tag);
  e.SetTag(UnpackTag(PackTag(tag, false, false)).Tag);
  const std::uint8_t shape = r.Byte();
  for (int h = shape & 3; h > 0; --h) {
    std::string name = r.Bytes(r.Length());
    std::string value = r.Bytes(r.Length());
    c.AddHeader(name, value);
    e.AddHeader(name, value);
  }
  for (int k = (shape >> 2) & 3; k > 0 && budget > 0 && depth < 8; --k) {
    --budget;
    BuildInto(r, *c.NewChunk(), *e.NewChunk(), depth + 1, budget, deepest);
  }
  if (shape & 0x10) {
    c.Payload = r.Bytes(r.Length());
    e.Payload = c.Payload;
  }
}

Built Build(Recipe& r) {
  Built b{TDIFFChunk::Make(), TDIFFChunk::Make(), 1};
  // Sometimes wrap the tree in a chain that ends near the nesting bound.
  const std::uint8_t mode = r.Byte();
  int chain = (mode & 0xE0) == 0xE0 ? MaxNestingDepth - 8 + (mode & 15) : 0;
  TDIFFChunk* c = b.Chunk.get();
  TDIFFChunk* e = b.Expected.get();
  for (int i = 0; i < chain; ++i) {
    c->SetTag("CHAIN");
    e->SetTag("CHAIN");
    c = c->NewChunk();
    e = e->NewChunk();
  }
  if (chain > 0) {
    c->Create();
    e->Create();
  }
  int budget = 24;
  int deepest = 1;
  BuildInto(r, *c, *e, 1, budget, deepest);
  b.Depth = chain + deepest;
  return b;
}

void Edit(Recipe& r, std::string& s) {
  if (s.empty()) return;
  const std::size_t at = r.Word() % s.size();
  switch (r.Byte() % 6) {
    case 0:
      s[at] = static_cast<char>(s[at] ^ (r.Byte() | 1));
      break;
    case 1:
    case 2: {
      // Nudge or replace the 4-byte little-endian field at `at`.
      if (s.size() - at < 4) break;
      std::uint32_t v = ReadU32(&s[at]);
      const std::uint8_t how = r.Byte();
      static const std::uint32_t special[] = {0, 1, 3, 4, 7, 8, 0x7FFFFFFFu, 0xFFFFFFFFu};
      if (how & 0x80) v = special[how & 7];
      else v += std::uint32_t(how & 0x3F) - 32u;
      WriteU32(&s[at], v);
      break;
    }
    case 3:
      s.resize(at);
      break;
    case 4:
      s.insert(at, r.Bytes(1 + r.Byte() % 8));
      break;
    case 5:
      s.erase(at, 1 + r.Byte() % 16);
      break;
  }
}

void CheckRecipe(const std::uint8_t* data, std::size_t size) {
  Recipe r(data, size);
  Built b = Build(r);
  const std::string bytes = b.Chunk->SaveToString();
  if (CompleteFrameLength(bytes) != bytes.size()) Broken("a built chunk is not one whole frame");
  auto loaded = TDIFFChunk::Make();
  try {
    loaded->LoadFromString(bytes);
    if (b.Depth > MaxNestingDepth) Broken("a chunk nested beyond the bound loaded");
    const std::string d = ChunkDifference(*b.Expected, *loaded);
    if (!d.empty()) Broken("a built chunk did not load back equal", d);
    if (loaded->SaveToString() != b.Expected->SaveToString()) Broken("a reload saved other bytes");
  } catch (const EDIFFBufferError& e) {
    if (b.Depth <= MaxNestingDepth) Broken("a well-formed chunk did not load", Shown(e.Message));
    if (e.Message.find("nested more than") == std::string::npos) {
      Broken("deep nesting gave the wrong error", Shown(e.Message));
    }
  }
  // Edited copies, each through the raw checks, then two chunks back to back.
  std::string edited = bytes;
  for (int n = r.Byte() % 4; n >= 0 && !r.Done(); --n) Edit(r, edited);
  if (edited.size() <= 4096) CheckRaw(edited);
  if (bytes.size() <= 2048 && (size & 1)) CheckRaw(bytes + edited.substr(0, 64));
}

}  // namespace
}  // namespace velmora::diff

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velmora::diff;
  CheckRaw(std::string_view(reinterpret_cast<const char*>(data), size));
  CheckRecipe(data, size);
  return 0;
}
