#include "diff/diff_chunk.h"

#include <algorithm>
#include <cstring>
#include <typeinfo>
#include <utility>

namespace velmora::diff {

namespace {

std::string Num(std::uint64_t n) { return std::to_string(n); }

std::string During(const ByteString& tag) { return " (During load of " + tag + " chunk.)"; }

[[noreturn]] void FrameTooShort(std::uint64_t n) {
  throw EDIFFBufferError("Error loading DIFF chunk: only " + Num(n) + " bytes were available.");
}

[[noreturn]] void PayloadTooLong(std::uint32_t claimed, std::uint64_t available,
                                 const ByteString& tag) {
  throw EDIFFBufferError("Claimed payload was " + Num(claimed) + " bytes, but only " +
                         Num(available) + " bytes were available." + During(tag));
}

// Reads 4-byte fields off a bounded block, keeping the running count of bytes
// still available. The caller checks that 4 bytes remain before each field.
struct Cursor {
  const char* Pos;
  std::uint32_t Available;

  std::uint32_t Field() {
    const std::uint32_t v = ReadU32(Pos);
    Pos += 4;
    Available -= 4;
    return v;
  }
  std::string_view Bytes(std::uint32_t n) {
    std::string_view b(Pos, n);
    Pos += n;
    Available -= n;
    return b;
  }
};

// A stream may hand out fewer bytes than asked for on each read; keep asking
// until it has given all of them or has nothing more.
std::size_t ReadFully(TStream& stream, char* out, std::size_t count) {
  std::size_t got = 0;
  while (got < count) {
    const std::size_t n = stream.Read(out + got, count - got);
    if (n == 0) break;
    got += n;
  }
  return got;
}

// Depth of LoadFromString calls on this thread, so that nesting is bounded
// without changing the virtual signatures.
thread_local int LoadDepth = 0;

struct DepthGuard {
  DepthGuard() { ++LoadDepth; }
  ~DepthGuard() { --LoadDepth; }
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;
};

// The name or the value of header entry i: its length field, then that many
// bytes, each checked against what is left of the header block. `field`
// names the length field in the message of a block that ends before it,
// `claimed` the bytes in the message of a length the block cannot hold.
std::string_view HeaderField(Cursor& block, std::uint32_t i, const char* field,
                             const char* claimed, const ByteString& tag) {
  if (block.Available < 4) {
    throw EDIFFBufferError("Header entry " + Num(i) + " needs a 4-byte " + field +
                           " length, but only " + Num(block.Available) +
                           " bytes were available in the header." + During(tag));
  }
  const std::uint32_t length = block.Field();
  if (length > block.Available) {
    throw EDIFFBufferError("Claimed header " + std::string(claimed) + " was " + Num(length) +
                           " bytes, but only " + Num(block.Available) +
                           " bytes were available in the header." + During(tag));
  }
  return block.Bytes(length);
}

void LoadHeaders(Cursor& body, const ByteString& tag, THeaderEntries& entries) {
  if (body.Available < 8) {
    throw EDIFFBufferError("Chunk claimed to have a header, but only " + Num(body.Available) +
                           " bytes were available." + During(tag));
  }
  const std::uint32_t h = body.Field();
  if (h > body.Available) {
    throw EDIFFBufferError("Claimed header was " + Num(h) + " bytes, but only " +
                           Num(body.Available) + " bytes were available." + During(tag));
  }
  Cursor block{body.Pos, h};
  body.Bytes(h);
  if (block.Available < 4) {
    throw EDIFFBufferError("Claimed header was " + Num(h) +
                           " bytes, too short to hold its entry count." + During(tag));
  }
  const std::uint32_t n = block.Field();
  // Every entry needs at least its two 4-byte length fields.
  if (n > block.Available / 8) {
    throw EDIFFBufferError("Claimed " + Num(n) + " header entries, but only " +
                           Num(block.Available) + " bytes were available for them." +
                           During(tag));
  }
  entries.resize(n);
  for (std::uint32_t i = 0; i < n; ++i) {
    entries[i].Name.assign(HeaderField(block, i, "name", "name", tag));
    entries[i].Value.assign(HeaderField(block, i, "value", "data", tag));
  }
}

// Loads the children of a chunk list exactly as CreateFromStream would on an
// in-memory stream over the list's bytes, but reads them in place.
void LoadChildren(std::string_view list, std::uint32_t count, TDIFFChunks& children) {
  children.reserve(count);
  std::size_t pos = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::size_t left = list.size() - pos;
    if (left < 8) FrameTooShort(left);
    const std::uint32_t body = ReadU32(list.data() + pos + 4);
    if (body > left - 8) PayloadTooLong(body, left - 8, UnpackTag(ReadU32(list.data() + pos)).Tag);
    auto child = std::make_unique<TDIFFChunk>();
    child->Create();
    child->LoadFromString(list.substr(pos, 8 + std::size_t(body)));
    children.push_back(std::move(child));
    pos += 8 + std::size_t(body);
  }
}

// Serialization runs in two passes over the tree. The sizing pass visits the
// tree in the order the serializer packs tags (children before their parent),
// so it raises exactly the error a recursive serializer would, and collects
// the bytes of children whose class overrides SaveToString. The writing pass
// then fills one pre-sized output and cannot fail.
bool IsPlainChunk(const TDIFFChunk& chunk) { return typeid(chunk) == typeid(TDIFFChunk); }

std::uint64_t PlanChunk(const TDIFFChunk& chunk, std::vector<ByteString>& foreign) {
  std::uint64_t body = chunk.Payload.size();
  if (!chunk.Headers.empty()) {
    body += 8;
    for (const auto& e : chunk.Headers) body += 8 + e.Name.size() + e.Value.size();
  }
  if (!chunk.Chunks.empty()) {
    body += 8;
    for (const auto& child : chunk.Chunks) {
      if (IsPlainChunk(*child)) {
        body += PlanChunk(*child, foreign);
      } else {
        foreign.push_back(child->SaveToString());
        body += foreign.back().size();
      }
    }
  }
  PackTag(chunk.Tag, false, false);  // raises for a tag that is not 5 bytes long
  if (body > 0xFFFFFFFFu) {
    throw EDIFFBufferError("DIFF chunk body of " + Num(body) +
                           " bytes does not fit its 32-bit length field.");
  }
  return 8 + body;
}

char* Put(char* out, const void* bytes, std::size_t n) {
  if (n > 0) std::memcpy(out, bytes, n);
  return out + n;
}

char* PutU32(char* out, std::uint64_t v) {
  WriteU32(out, static_cast<std::uint32_t>(v));
  return out + 4;
}

char* WriteChunk(const TDIFFChunk& chunk, char* out, std::vector<ByteString>& foreign,
                 std::size_t& nextForeign) {
  char* const start = out;
  out += 8;
  if (!chunk.Headers.empty()) {
    char* const blockLength = out;
    out = PutU32(out + 4, chunk.Headers.size());
    for (const auto& e : chunk.Headers) {
      out = Put(PutU32(out, e.Name.size()), e.Name.data(), e.Name.size());
      out = Put(PutU32(out, e.Value.size()), e.Value.data(), e.Value.size());
    }
    WriteU32(blockLength, static_cast<std::uint32_t>(out - blockLength - 4));
  }
  if (!chunk.Chunks.empty()) {
    char* const listLength = out;
    out = PutU32(out + 4, chunk.Chunks.size());
    for (const auto& child : chunk.Chunks) {
      if (IsPlainChunk(*child)) {
        out = WriteChunk(*child, out, foreign, nextForeign);
      } else {
        const ByteString& bytes = foreign[nextForeign++];
        out = Put(out, bytes.data(), bytes.size());
      }
    }
    WriteU32(listLength, static_cast<std::uint32_t>(out - listLength - 4));
  }
  out = Put(out, chunk.Payload.data(), chunk.Payload.size());
  WriteU32(start, PackTag(chunk.Tag, !chunk.Chunks.empty(), !chunk.Headers.empty()));
  WriteU32(start + 4, static_cast<std::uint32_t>(out - start - 8));
  return out;
}

}  // namespace

TDIFFChunk::~TDIFFChunk() {
  for (auto& child : Chunks) child.reset();
}

std::unique_ptr<TDIFFChunk> TDIFFChunk::NewInstance() const {
  return std::make_unique<TDIFFChunk>();
}

void TDIFFChunk::Create() {
  Tag.assign(5, '\0');
  Headers.clear();
  Chunks.clear();
  Payload.clear();
}

void TDIFFChunk::CreateFromStream(TStream& stream) {
  Create();
  LoadFromStream(stream);
}

void TDIFFChunk::CreateFromString(std::string_view bytes) {
  Create();
  LoadFromString(bytes);
}

void TDIFFChunk::LoadFromString(std::string_view bytes) {
  DepthGuard depth;
  if (bytes.size() < 8) FrameTooShort(bytes.size());
  const UnpackedTag unpacked = UnpackTag(ReadU32(bytes.data()));
  const std::uint32_t bodyLength = ReadU32(bytes.data() + 4);
  if (bodyLength > bytes.size() - 8) PayloadTooLong(bodyLength, bytes.size() - 8, unpacked.Tag);
  if (LoadDepth > MaxNestingDepth) {
    throw EDIFFBufferError("DIFF chunks were nested more than " + Num(MaxNestingDepth) +
                           " levels deep." + During(unpacked.Tag));
  }

  Cursor body{bytes.data() + 8, bodyLength};
  THeaderEntries headers;
  TDIFFChunks children;
  if (unpacked.HasHeader) LoadHeaders(body, unpacked.Tag, headers);
  if (unpacked.HasChunkList) {
    if (body.Available < 8) {
      throw EDIFFBufferError("Chunk claimed to have a chunk list, but only " +
                             Num(body.Available) + " bytes were available." +
                             During(unpacked.Tag));
    }
    const std::uint32_t k = body.Field();
    if (k > body.Available) {
      throw EDIFFBufferError("Claimed chunk list was " + Num(k) + " bytes, but only " +
                             Num(body.Available) + " bytes were available." +
                             During(unpacked.Tag));
    }
    Cursor list{body.Pos, k};
    body.Bytes(k);
    if (list.Available < 4) {
      throw EDIFFBufferError("Claimed chunk list was " + Num(k) +
                             " bytes, too short to hold its chunk count." + During(unpacked.Tag));
    }
    const std::uint32_t m = list.Field();
    // Every child needs at least its 8-byte frame.
    if (m > list.Available / 8) {
      throw EDIFFBufferError("Claimed " + Num(m) + " child chunks, but only " +
                             Num(list.Available) + " bytes were available for them." +
                             During(unpacked.Tag));
    }
    if (m > 0) LoadChildren(std::string_view(list.Pos, list.Available), m, children);
  }
  // Assigned in place, so the payload's present storage is reused when it is
  // large enough; the assignment is the last step that can fail, and it
  // leaves Payload as it was if it does.
  Payload.assign(body.Pos, body.Available);

  Tag = unpacked.Tag;
  Headers.swap(headers);
  Chunks.swap(children);
  // The previous children now sit in `children` and are destroyed on return.
}

void TDIFFChunk::LoadFromStream(TStream& stream) {
  const std::uint64_t start = stream.GetPosition();
  try {
    const std::uint64_t size = stream.GetSize();
    std::uint64_t available = size > start ? size - start : 0;
    if (available < 8) FrameTooShort(available);
    char frame[8];
    if (ReadFully(stream, frame, 8) != 8) FrameTooShort(available);
    available -= 8;
    const std::uint32_t bodyLength = ReadU32(frame + 4);
    if (bodyLength > available) PayloadTooLong(bodyLength, available, UnpackTag(ReadU32(frame)).Tag);
    stream.SetPosition(start);
    ByteString bytes(8 + std::size_t(bodyLength), '\0');
    const std::size_t got = ReadFully(stream, bytes.data(), bytes.size());
    bytes.resize(got);
    LoadFromString(bytes);
    stream.SetPosition(start + 8 + bodyLength);
  } catch (...) {
    stream.SetPosition(start);
    throw;
  }
}

void TDIFFChunk::SaveToStream(TStream& stream) const {
  const ByteString bytes = SaveToString();
  stream.Write(bytes.data(), bytes.size());
}

ByteString TDIFFChunk::SaveToString() const {
  std::vector<ByteString> foreign;
  const std::uint64_t size = PlanChunk(*this, foreign);
  ByteString out(static_cast<std::size_t>(size), '\0');
  std::size_t nextForeign = 0;
  WriteChunk(*this, out.data(), foreign, nextForeign);
  return out;
}

int TDIFFChunk::AddHeader(ByteString name, ByteString value) {
  Headers.push_back(THeaderEntry{std::move(name), std::move(value)});
  return static_cast<int>(Headers.size() - 1);
}

int TDIFFChunk::AddChunk(std::unique_ptr<TDIFFChunk> chunk) {
  Chunks.push_back(std::move(chunk));
  return static_cast<int>(Chunks.size() - 1);
}

TDIFFChunk* TDIFFChunk::NewChunk() {
  std::unique_ptr<TDIFFChunk> child = NewInstance();
  TDIFFChunk* raw = child.get();
  AddChunk(std::move(child));
  return raw;
}

THeaderEntry* TDIFFChunk::FindHeader(std::string_view name) {
  for (auto& e : Headers) {
    if (e.Name == name) return &e;
  }
  return nullptr;
}

void TDIFFChunk::RemoveHeader(std::string_view name) {
  Headers.erase(std::remove_if(Headers.begin(), Headers.end(),
                               [&](const THeaderEntry& e) { return e.Name == name; }),
                Headers.end());
}

ByteString TDIFFChunk::GetHeaderValue(std::string_view name) {
  const THeaderEntry* e = FindHeader(name);
  return e ? e->Value : ByteString();
}

void TDIFFChunk::SetTag(std::string_view tag) {
  if (tag.size() != 5) {
    throw EDIFFParseError("DIFF tag must be 5 characters; cannot set to " + Num(tag.size()) +
                          "-char string \"" + std::string(tag) + "\".");
  }
  Tag.assign(tag);
}

// Both buffer kinds parse the frame where it lies, so the payload is copied
// once, straight into the chunk; the frame leaves the buffer whatever the
// outcome, exactly as if CutChunkBytes had taken it first.
std::unique_ptr<TDIFFChunk> ExtractChunk(ByteString& buffer) {
  const std::size_t n = CompleteFrameLength(buffer);
  if (n == 0) return nullptr;
  struct EraseOnExit {
    ByteString& Buffer;
    std::size_t N;
    ~EraseOnExit() { Buffer.erase(0, N); }
  } erase{buffer, n};
  return TDIFFChunk::MakeFromString(std::string_view(buffer).substr(0, n));
}

std::unique_ptr<TDIFFChunk> ExtractChunk(TChunkBuffer& buffer) {
  ByteString storage;
  return ExtractChunk(buffer, storage);
}

std::unique_ptr<TDIFFChunk> ExtractChunk(TChunkBuffer& buffer, ByteString& payloadStorage) {
  const std::size_t n = CompleteFrameLength(buffer.view());
  if (n == 0) return nullptr;
  struct ConsumeOnExit {
    TChunkBuffer& Buffer;
    std::size_t N;
    ~ConsumeOnExit() { Buffer.Consume(N); }
  } consume{buffer, n};
  auto chunk = std::make_unique<TDIFFChunk>();
  chunk->Create();
  chunk->Payload.swap(payloadStorage);
  try {
    chunk->LoadFromString(buffer.view().substr(0, n));
  } catch (...) {
    payloadStorage.swap(chunk->Payload);  // a failed load left it as it was
    throw;
  }
  return chunk;
}

ByteString BareFrameHeader(std::string_view tag, std::uint32_t payloadLength) {
  ByteString header(8, '\0');
  WriteU32(header.data(), PackTag(tag, false, false));
  WriteU32(header.data() + 4, payloadLength);
  return header;
}

std::size_t PayloadOffset(std::uint32_t tagWord, std::size_t frameLength,
                          const std::function<std::uint32_t(std::size_t)>& u32At) {
  const UnpackedTag unpacked = UnpackTag(tagWord);
  std::size_t at = 8;
  // Each block is a length field and that many bytes.
  const auto skipBlock = [&]() -> bool {
    if (frameLength - at < 4) return false;
    const std::size_t length = u32At(at);
    if (length > frameLength - at - 4) return false;
    at += 4 + length;
    return true;
  };
  if (frameLength < 8) return 0;
  if (unpacked.HasHeader && !skipBlock()) return 0;
  if (unpacked.HasChunkList && !skipBlock()) return 0;
  return at;
}

}  // namespace velmora::diff
