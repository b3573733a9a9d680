// The DIFF chunk: a tag, name/value header entries, owned child chunks and a
// payload, with its serializer and its loaders.
//
// Wire layout (all integers unsigned 32-bit little-endian):
//   tag word | body length L | body
//   body = [header block] [chunk list] payload
//   header block = H | N | N x (name length, name, value length, value)
//   chunk list   = K | M | M serialized chunks
//
// Construction is two-step, as with a class reference: `new` gives a blank
// chunk of the wanted class (empty tag, nothing else), then one of the three
// virtual constructors Create, CreateFromStream or CreateFromString fills it.
// Make, MakeFromString and MakeFromStream do both and destroy the half-built
// chunk if loading fails.
//
// A chunk has no lock; one thread at a time may use it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "diff/byte_stream.h"
#include "diff/chunk_buffer.h"
#include "diff/diff_errors.h"
#include "diff/diff_tags.h"

namespace velmora::diff {

// Loading rejects chunks nested deeper than this (the top-level chunk is
// level 1). Device traffic never nests; the bound only keeps a hostile frame
// of a few megabytes from exhausting the host thread's stack.
constexpr int MaxNestingDepth = 128;

struct THeaderEntry {
  ByteString Name;
  ByteString Value;
};
using THeaderEntries = std::vector<THeaderEntry>;

class TDIFFChunk;
using TDIFFChunks = std::vector<std::unique_ptr<TDIFFChunk>>;

class TDIFFChunk {
 public:
  TDIFFChunk() = default;
  TDIFFChunk(const TDIFFChunk&) = delete;
  TDIFFChunk& operator=(const TDIFFChunk&) = delete;
  // Destroys every child, index 0 first.
  virtual ~TDIFFChunk();

  // Tag = five NUL bytes, no entries, no children, empty payload.
  virtual void Create();
  // Create, then load; an error passes to the caller.
  virtual void CreateFromStream(TStream& stream);
  virtual void CreateFromString(std::string_view bytes);
  // Reads one chunk at the stream's position and leaves the position just past
  // it. On failure the chunk and the position are exactly as they were.
  virtual void LoadFromStream(TStream& stream);
  // Replaces the whole content with the chunk at the start of `bytes`; bytes
  // after its body are ignored. On failure the chunk is unchanged.
  virtual void LoadFromString(std::string_view bytes);
  virtual void SaveToStream(TStream& stream) const;
  virtual ByteString SaveToString() const;
  // Appends an entry; returns its index.
  virtual int AddHeader(ByteString name, ByteString value);
  // Appends and takes ownership; returns its index.
  virtual int AddChunk(std::unique_ptr<TDIFFChunk> chunk);
  // A child of this chunk's class with an empty tag, appended through AddChunk
  // and still owned by this chunk. It needs SetTag before its parent is saved.
  virtual TDIFFChunk* NewChunk();
  // The first entry named exactly `name`, or null.
  virtual THeaderEntry* FindHeader(std::string_view name);
  // Removes every entry named `name`; the others keep their order.
  virtual void RemoveHeader(std::string_view name);

  // Value of FindHeader(name), or empty.
  ByteString GetHeaderValue(std::string_view name);
  // Raises EDIFFParseError unless `tag` is 5 bytes long.
  void SetTag(std::string_view tag);

  template <class T = TDIFFChunk>
  static std::unique_ptr<T> Make() {
    auto chunk = std::make_unique<T>();
    chunk->Create();
    return chunk;
  }
  template <class T = TDIFFChunk>
  static std::unique_ptr<T> MakeFromString(std::string_view bytes) {
    auto chunk = std::make_unique<T>();
    chunk->CreateFromString(bytes);
    return chunk;
  }
  template <class T = TDIFFChunk>
  static std::unique_ptr<T> MakeFromStream(TStream& stream) {
    auto chunk = std::make_unique<T>();
    chunk->CreateFromStream(stream);
    return chunk;
  }

  ByteString Tag;
  THeaderEntries Headers;
  TDIFFChunks Chunks;
  ByteString Payload;

 protected:
  // The class reference: a blank chunk of this chunk's own class. A derived
  // class overrides it so that NewChunk makes children of that class.
  virtual std::unique_ptr<TDIFFChunk> NewInstance() const;
};

// Cuts one complete framed chunk off the front of `buffer` and parses it.
// Returns null when no complete frame is present yet. The frame's bytes leave
// the buffer before parsing, so after a parse error the next call starts at
// the chunk behind the bad one.
std::unique_ptr<TDIFFChunk> ExtractChunk(ByteString& buffer);
std::unique_ptr<TDIFFChunk> ExtractChunk(TChunkBuffer& buffer);
// The same, loading the payload into the storage of `payloadStorage`, which
// the chunk takes over when one is extracted (the string is then left empty)
// and which stays as it was when none is complete or the frame fails to parse. A caller that hands the storage of each
// spent chunk's payload back this way copies every reply's payload into
// memory already in use instead of fresh pages.
std::unique_ptr<TDIFFChunk> ExtractChunk(TChunkBuffer& buffer, ByteString& payloadStorage);

// The first 8 bytes of a frame with no headers and no children: the tag
// word with both flags clear and the body length, which is then exactly the
// payload's. What SaveToString writes ahead of such a chunk's payload, for
// a sender that puts the payload behind it itself.
ByteString BareFrameHeader(std::string_view tag, std::uint32_t payloadLength);

// Where the payload of a complete frame of `frameLength` bytes begins: past
// the tag word, the body length, the header block and the chunk list that
// the tag word announces. `u32At` reads the 32-bit field at a frame offset.
// 0 when those blocks do not fit in the body; such a frame does not parse.
// Parsing the frame's bytes up to the payload, with the body length set to
// end there, accepts or refuses exactly what parsing the whole frame would.
std::size_t PayloadOffset(std::uint32_t tagWord, std::size_t frameLength,
                          const std::function<std::uint32_t(std::size_t)>& u32At);

}  // namespace velmora::diff
